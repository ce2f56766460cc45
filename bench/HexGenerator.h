#pragma once

// Intel HEX firmware files for the benchmarks, in plain C++.
//
// Data records of 16 bytes run up from address 0, with an extended linear address record at the
// start of every 64 KiB page and the end-of-file record last; lines end in CR LF. Load addresses
// FC00-FCFF of every page hold the unit's boot code, which the tool never sends, so the files
// leave them out: every record line in them goes to the unit.

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

namespace HexGenerator {

struct File
{
    std::string path;
    long long recordLines = 0; // lines sent to the unit, end-of-file record included
    long long dataRecords = 0;
    long long bytes = 0;
};

namespace detail {

inline std::string record(uint8_t type, uint16_t address, const uint8_t* data, int count)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string line = ":";
    uint8_t sum = 0;
    auto put = [&](uint8_t byte) {
        line += digits[byte >> 4];
        line += digits[byte & 0x0F];
        sum = uint8_t(sum + byte);
    };
    put(uint8_t(count));
    put(uint8_t(address >> 8));
    put(uint8_t(address & 0xFF));
    put(type);
    for (int i = 0; i < count; ++i)
        put(data[i]);
    put(uint8_t(-sum));
    line += "\r\n";
    return line;
}

} // namespace detail

// Stops after maxDataRecords data records or once the file has reached minBytes, whichever
// comes first (0 = no limit of that kind).
inline File write(const std::string& path, long long maxDataRecords, long long minBytes)
{
    File file;
    file.path = path;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    auto emit = [&](const std::string& line) {
        out << line;
        file.bytes += (long long)line.size();
        ++file.recordLines;
    };
    for (uint64_t address = 0;; address += 16) {
        if ((maxDataRecords > 0 && file.dataRecords >= maxDataRecords) || (minBytes > 0 && file.bytes >= minBytes))
            break;
        if ((address & 0xFFFF) == 0) {
            const uint8_t upper[2] = {uint8_t(address >> 24), uint8_t(address >> 16)};
            emit(detail::record(0x04, 0, upper, 2));
        }
        if (((address >> 8) & 0xFF) == 0xFC)
            continue; // boot code
        uint8_t data[16];
        for (int b = 0; b < 16; ++b)
            data[b] = uint8_t(file.dataRecords * 31 + b * 7);
        emit(detail::record(0x00, uint16_t(address & 0xFFFF), data, 16));
        ++file.dataRecords;
    }
    emit(detail::record(0x01, 0, nullptr, 0));
    out.close();
    if (!out)
        file.recordLines = 0;
    return file;
}

} // namespace HexGenerator
