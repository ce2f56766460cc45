#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace unitsim {

// The unit models; each one answers only to its own product-code frame.
enum class Model { Tessera, Caldera16, VireoGrand, Marlin, Quill, Osprey };

QList<Model> allModels();

// Display name, e.g. "Caldera 16".
QString modelName(Model model);

// Accepts the short names (tessera, caldera16, vireogrand, marlin, quill, osprey) and the display
// names, case-insensitively; spaces, '-' and '_' are ignored.
std::optional<Model> modelFromName(QStringView name);

// The 7-byte frame FE 55 AA 01 p1 p2 check the tool sends to identify the product.
QByteArray productCodeFrame(Model model);

} // namespace unitsim
