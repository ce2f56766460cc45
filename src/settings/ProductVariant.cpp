#include "settings/ProductVariant.h"

#include <array>

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
        {"Tessera",     "Programming Tessera",     frame({0xFE, 0x55, 0xAA, 0x01, 0x01, 0x2D, 0xD4}), false, 2333, 3333, false, {},                {},     false},
        {"Caldera 16",  "Programming Caldera 16",  frame({0xFE, 0x55, 0xAA, 0x01, 0x02, 0x2D, 0xD3}), true,  2333, 3333, true,  "192.168.254.102", "23",   false},
        {"Vireo Grand", "Programming Vireo Grand", frame({0xFE, 0x55, 0xAA, 0x01, 0x01, 0x31, 0xD0}), false, 2333, 3333, true,  "192.168.11.2",    "5000", true},
        {"Marlin",      "Programming Marlin/ARC",  frame({0xFE, 0x55, 0xAA, 0x01, 0x00, 0x36, 0xCC}), false, 3666, 3666, true,  "192.168.10.11",   "23",   false},
        {"Quill",       "Programming Quill",       frame({0xFE, 0x55, 0xAA, 0x01, 0x00, 0x37, 0xCB}), false, 1500, 1500, true,  "192.168.11.10",   "5000", false},
        {"Osprey",      "Programming Osprey",      frame({0xFE, 0x55, 0xAA, 0x01, 0x00, 0x38, 0xC9}), false, 1500, 1500, true,  "192.168.11.10",   "5000", false},
    }};
    // clang-format on
    return rows;
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

} // namespace ProductVariants
