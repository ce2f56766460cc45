#include "unitsim/Model.h"

namespace unitsim {

namespace {

struct ModelInfo
{
    Model model;
    const char* name;
    const char* shortName;
    const char* frame;
};

// Osprey's check byte is C9, not the zero-sum value: the unit compares the frame byte for byte.
constexpr ModelInfo kModels[] = {
    {Model::Tessera, "Tessera", "tessera", "\xFE\x55\xAA\x01\x01\x2D\xD4"},
    {Model::Caldera16, "Caldera 16", "caldera16", "\xFE\x55\xAA\x01\x02\x2D\xD3"},
    {Model::VireoGrand, "Vireo Grand", "vireogrand", "\xFE\x55\xAA\x01\x01\x31\xD0"},
    {Model::Marlin, "Marlin", "marlin", "\xFE\x55\xAA\x01\x00\x36\xCC"},
    {Model::Quill, "Quill", "quill", "\xFE\x55\xAA\x01\x00\x37\xCB"},
    {Model::Osprey, "Osprey", "osprey", "\xFE\x55\xAA\x01\x00\x38\xC9"},
};

const ModelInfo& info(Model model)
{
    for (const ModelInfo& m : kModels) {
        if (m.model == model)
            return m;
    }
    return kModels[0];
}

QString normalized(QStringView name)
{
    QString out;
    for (QChar c : name) {
        if (c != u' ' && c != u'-' && c != u'_')
            out.append(c.toLower());
    }
    return out;
}

} // namespace

QList<Model> allModels()
{
    QList<Model> out;
    for (const ModelInfo& m : kModels)
        out.append(m.model);
    return out;
}

QString modelName(Model model)
{
    return QString::fromLatin1(info(model).name);
}

std::optional<Model> modelFromName(QStringView name)
{
    const QString wanted = normalized(name);
    for (const ModelInfo& m : kModels) {
        if (wanted == QLatin1String(m.shortName))
            return m.model;
    }
    return std::nullopt;
}

QByteArray productCodeFrame(Model model)
{
    return QByteArray(info(model).frame, 7);
}

} // namespace unitsim
