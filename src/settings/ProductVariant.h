#pragma once

#include <QByteArray>
#include <QString>

#include <span>

// Everything that differs between the product lines. One build serves the line whose model name
// begins its application title.
struct ProductVariant
{
    QString modelName;
    // Logged (Debug only) when the product-code frame is chosen.
    QString debugLine;
    // FE 55 AA 01 p1 p2 check, stored whole: the check byte is a constant of the row.
    QByteArray productCodeFrame;
    // The unit's display shows "Updating firmware..." / "Do not press any buttons!".
    bool sendsDisplayFrames = false;
    // Waits after "Writing firmware, DO NOT REMOVE POWER!" and after "Waiting for unit to reboot....".
    int writeWaitMs = 0;
    int rebootWaitMs = 0;
    // Connection defaults; a variant without them starts with empty boxes.
    bool hasConnectionDefaults = false;
    QString defaultAddress;
    QString defaultPort;
    // The unit's Ethernet interface must be set up as a TCP server; remind the operator on a refusal.
    bool showsTcpServerHint = false;
};

namespace ProductVariants {

std::span<const ProductVariant> all();

// The variant whose model name equals the start of the title (exact, case-sensitive), or nullptr.
// No model name is a prefix of another, so at most one matches.
const ProductVariant* forTitle(const QString& applicationTitle);

// The variant a person names: case-insensitive, spaces, '-' and '_' optional ("caldera16"); nullptr
// when no variant has that name.
const ProductVariant* named(const QString& name);
// Every model name as a person types it on a command line: "Tessera, \"Caldera 16\", ...".
QString namesForCommandLine();

} // namespace ProductVariants
