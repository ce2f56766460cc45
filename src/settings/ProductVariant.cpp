#include "settings/ProductVariant.h"

#include <QStringList>

#include <array>

using namespace Qt::Literals::StringLiterals;

namespace {

QByteArray frame(std::initializer_list<unsigned char> bytes)
{
    QByteArray result;
    for (unsigned char byte : bytes)
        result.append(char(byte));
    return result;
}

const std::array<ProductVariant, 6>& table()
{
    // clang-format off
    static const std::array<ProductVariant, 6> rows{{
        {u"Tessera"_s,     u"Programming Tessera"_s,     frame({0xFE, 0x55, 0xAA, 0x01, 0x01, 0x2D, 0xD4}), false, 2333, 3333, false, {},                {},     false},
        {u"Caldera 16"_s,  u"Programming Caldera 16"_s,  frame({0xFE, 0x55, 0xAA, 0x01, 0x02, 0x2D, 0xD3}), true,  2333, 3333, true,  u"192.168.254.102"_s, u"23"_s,   false},
        {u"Vireo Grand"_s, u"Programming Vireo Grand"_s, frame({0xFE, 0x55, 0xAA, 0x01, 0x01, 0x31, 0xD0}), false, 2333, 3333, true,  u"192.168.11.2"_s,    u"5000"_s, true},
        {u"Marlin"_s,      u"Programming Marlin/ARC"_s,  frame({0xFE, 0x55, 0xAA, 0x01, 0x00, 0x36, 0xCC}), false, 3666, 3666, true,  u"192.168.10.11"_s,   u"23"_s,   false},
        {u"Quill"_s,       u"Programming Quill"_s,       frame({0xFE, 0x55, 0xAA, 0x01, 0x00, 0x37, 0xCB}), false, 1500, 1500, true,  u"192.168.11.10"_s,   u"5000"_s, false},
        {u"Osprey"_s,      u"Programming Osprey"_s,      frame({0xFE, 0x55, 0xAA, 0x01, 0x00, 0x38, 0xC9}), false, 1500, 1500, true,  u"192.168.11.10"_s,   u"5000"_s, false},
    }};
    // clang-format on
    return rows;
}

QString squeezed(QString name)
{
    return name.remove(u' ').remove(u'-').remove(u'_').toLower();
}

} // namespace

namespace ProductVariants {

std::span<const ProductVariant> all()
{
    return table();
}

const ProductVariant* forTitle(const QString& applicationTitle)
{
    for (const ProductVariant& variant : table()) {
        if (applicationTitle.startsWith(variant.modelName, Qt::CaseSensitive))
            return &variant;
    }
    return nullptr;
}

const ProductVariant* named(const QString& name)
{
    const QString wanted = squeezed(name);
    for (const ProductVariant& variant : table())
        if (!wanted.isEmpty() && squeezed(variant.modelName) == wanted)
            return &variant;
    return nullptr;
}

QString namesForCommandLine()
{
    QStringList names;
    for (const ProductVariant& variant : table())
        names << (variant.modelName.contains(u' ') ? u'"' + variant.modelName + u'"' : variant.modelName);
    return names.join(QStringLiteral(", "));
}

} // namespace ProductVariants
