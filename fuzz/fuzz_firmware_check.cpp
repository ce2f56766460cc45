// The firmware check over arbitrary files, read in slices of arbitrary sizes, against a reference
// that holds the whole file in memory, splits it with FirmwareFile (the upload's reader) and
// checks each line in the plainest way.
//
// Input: byte 0 picks the mode and byte 1 the slice sizes; the rest is
//  - bit 0 of byte 0 clear: the file itself;
//  - bit 0 set: a recipe for a file of well-formed records (data, address, start address, all-FF
//    and boot code records, blank lines, upper or lower case, CR, LF or CR LF), which must pass
//    with exactly the counts and ranges the recipe put in.

#include "engine/ElapsedFormat.h"
#include "engine/FirmwareCheck.h"
#include "engine/FirmwareFile.h"
#include "engine/RecordRules.h"
#include "engine/Sha256Hash.h"

#include "FuzzCheck.h"

#include <QByteArray>
#include <QList>
#include <QLocale>
#include <QString>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Expected
{
    FirmwareCheckResult::Kind kind = FirmwareCheckResult::Kind::Ok;
    qint64 line = 0;
    FirmwareSummary summary; // ranges stay empty: allRanges holds them, unbounded
    std::vector<AddressRange> allRanges;
};

std::vector<AddressRange> merged(std::vector<AddressRange> ranges)
{
    std::sort(ranges.begin(), ranges.end(),
              [](const AddressRange& a, const AddressRange& b) { return a.first < b.first; });
    std::vector<AddressRange> out;
    for (const AddressRange& r : ranges) {
        if (!out.empty() && r.first <= out.back().last + 1)
            out.back().last = std::max(out.back().last, r.last);
        else
            out.push_back(r);
    }
    return out;
}

// A well-formed record's bytes, or empty.
QByteArray recordBytes(const QByteArray& line)
{
    if (line.size() < 11 || line[0] != ':' || (line.size() - 1) % 2 != 0)
        return {};
    for (qsizetype i = 1; i < line.size(); ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(line[i])))
            return {};
    }
    const QByteArray bytes = QByteArray::fromHex(line.mid(1));
    const int count = quint8(bytes[0]);
    const int type = quint8(bytes[3]);
    if (count != bytes.size() - 5 || type > 5)
        return {};
    const int needed[] = {count, 0, 2, 4, 2, 4};
    if (count != needed[type])
        return {};
    quint8 sum = 0;
    for (char b : bytes)
        sum = quint8(sum + quint8(b));
    return sum == 0 ? bytes : QByteArray();
}

Expected reference(const QString& path)
{
    Expected expected;
    FirmwareFile file(1 + std::rand() % 70);
    CHECK(file.open(path));
    auto malformed = [&](qint64 line) {
        expected.kind = FirmwareCheckResult::Kind::Malformed;
        expected.line = line;
        expected.summary = {};
        expected.allRanges.clear();
        return expected;
    };
    FirmwareSummary& s = expected.summary;
    QByteArray line;
    qint64 lineNo = 0;
    qint64 endLine = 0;
    quint64 base = 0;
    while (file.nextLine(line)) {
        ++lineNo;
        if (FirmwareFile::isBlank(line))
            continue;
        if (endLine > 0) {
            qsizetype i = 0;
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\x1A'))
                ++i;
            if (i < line.size() && line[i] == ':')
                return malformed(lineNo);
            ++s.linesAfterEnd;
            continue;
        }
        const QByteArray bytes = recordBytes(line);
        if (bytes.isEmpty())
            return malformed(lineNo);
        ++s.records;
        const int type = quint8(bytes[3]);
        const RecordRules::Skip skip = RecordRules::skipReason(line);
        if (type == 1) {
            if (skip != RecordRules::Skip::None)
                return malformed(lineNo);
            endLine = lineNo;
            ++s.recordsToSend;
            continue;
        }
        if (skip == RecordRules::Skip::NoData) {
            ++s.skippedNoData;
            continue;
        }
        if (skip == RecordRules::Skip::BootCode) {
            ++s.skippedBootCode;
            continue;
        }
        ++s.recordsToSend;
        const quint64 value = bytes.size() >= 7 ? (quint64(quint8(bytes[4])) << 8 | quint8(bytes[5])) : 0;
        if (type == 0 && bytes.size() > 5) {
            const quint64 first = base + (quint64(quint8(bytes[1])) << 8 | quint8(bytes[2]));
            s.dataBytes += bytes.size() - 5;
            expected.allRanges.push_back({first, first + quint64(bytes.size() - 5) - 1});
        } else if (type == 2) {
            base = value * 16;
        } else if (type == 4) {
            base = value << 16;
        }
    }
    CHECK(!file.hasError());
    if (endLine == 0)
        return malformed(0);
    expected.allRanges = merged(expected.allRanges);
    return expected;
}

// Builds a file of well-formed records from the recipe and says what the check must report.
QByteArray build(const uint8_t* data, size_t size, Expected& expected)
{
    size_t at = 0;
    auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
    QByteArray file;
    FirmwareSummary& s = expected.summary;
    quint64 base = 0;
    auto addRecord = [&](uint8_t flags, quint8 type, quint16 address, const QByteArray& bytes) {
        QByteArray raw;
        raw.append(char(bytes.size())).append(char(address >> 8)).append(char(address)).append(char(type));
        raw.append(bytes);
        quint8 sum = 0;
        for (char b : raw)
            sum = quint8(sum + quint8(b));
        raw.append(char(quint8(-sum)));
        QByteArray line = ":" + raw.toHex();
        const bool upper = !(flags & 0x20);
        if (upper)
            line = line.toUpper();
        const char* ends[] = {"\r\n", "\n", "\r", "\r\n"};
        file += line + ends[(flags >> 3) & 3];
        ++s.records;
        const bool allFF = upper && bytes == QByteArray(32, char(0xFF));
        const bool boot = upper && (address >> 8) == 0xFC;
        if (allFF) {
            ++s.skippedNoData;
        } else if (boot) {
            ++s.skippedBootCode;
        } else {
            ++s.recordsToSend;
            if (type == 0 && !bytes.isEmpty()) {
                s.dataBytes += bytes.size();
                expected.allRanges.push_back({base + address, base + address + quint64(bytes.size()) - 1});
            } else if (type == 2 || type == 4) {
                const quint64 value = quint64(quint8(bytes[0])) << 8 | quint8(bytes[1]);
                base = type == 2 ? value * 16 : value << 16;
            }
        }
    };
    while (at < size) {
        const uint8_t flags = next();
        const quint16 address = quint16(next() << 8 | next());
        QByteArray bytes;
        switch (flags & 7) {
        case 0:
        case 1: {
            const int n = next() % 17;
            for (int i = 0; i < n; ++i)
                bytes.append(char(next()));
            addRecord(flags, 0x00, address, bytes);
            break;
        }
        case 2:
            bytes.append(char(next())).append(char(next()));
            addRecord(flags, (flags & 0x40) ? 0x04 : 0x02, 0, bytes);
            break;
        case 3:
            for (int i = 0; i < 4; ++i)
                bytes.append(char(next()));
            addRecord(flags, (flags & 0x40) ? 0x05 : 0x03, address, bytes);
            break;
        case 4:
            addRecord(flags, 0x00, address, QByteArray(32, char(0xFF)));
            break;
        case 5:
            bytes.append(char(next()));
            addRecord(flags, 0x00, quint16(0xFC00 | (address & 0xFF)), bytes);
            break;
        case 6:
            file += (flags & 0x40) ? " \t\r\n" : "\n";
            break;
        case 7:
            file += (flags & 0x40) ? "\x1A\r\n" : "";
            if (flags & 0x40)
                ++s.linesAfterEnd;
            at = size; // the end: the recipe's remaining bytes are not used
            break;
        }
    }
    // The end-of-file record goes before the trailing 0x1A line, if any.
    const qsizetype trailer = file.endsWith("\x1A\r\n") ? 3 : 0;
    QByteArray eof = ":00000001FF\r\n";
    file.insert(file.size() - trailer, eof);
    ++s.records;
    ++s.recordsToSend;
    expected.allRanges = merged(expected.allRanges);
    return file;
}

const QString& scratchPath()
{
    static const QString path = [] {
        const int fd = memfd_create("fuzz_firmware_check", 0);
        CHECK(fd >= 0);
        return QStringLiteral("/proc/self/fd/%1").arg(fd);
    }();
    return path;
}

void writeScratch(const QByteArray& contents)
{
    static const int fd = scratchPath().mid(QStringLiteral("/proc/self/fd/").size()).toInt();
    CHECK(ftruncate(fd, 0) == 0);
    qsizetype written = 0;
    while (written < contents.size()) {
        const ssize_t n =
            pwrite(fd, contents.constData() + written, size_t(contents.size() - written), off_t(written));
        CHECK(n > 0);
        written += n;
    }
}

FirmwareCheckResult inSlices(const QString& path, qint64 fileSize, uint8_t seed)
{
    FirmwareCheck check(path);
    CHECK(check.fileSize() == fileSize);
    unsigned state = seed;
    qint64 before = 0;
    for (;;) {
        state = state * 1103515245u + 12345u;
        const qint64 slice = 1 + qint64((state >> 16) % (seed % 4 == 0 ? 3 : 200));
        const bool done = check.step(slice);
        CHECK(done == check.finished());
        CHECK(check.bytesChecked() >= before && check.bytesChecked() - before <= slice);
        CHECK(done || check.bytesChecked() > before);
        before = check.bytesChecked();
        if (done)
            return check.result();
    }
}

void compare(const FirmwareCheckResult& got, const Expected& expected)
{
    CHECK(got.kind == expected.kind);
    CHECK(got.line == expected.line);
    CHECK(!got.problem.contains(QLatin1Char('\n')) && !got.problem.contains(QLatin1Char('\r')));
    if (got.kind != FirmwareCheckResult::Kind::Ok) {
        CHECK(got.summary == FirmwareSummary{});
        const QString where = QStringLiteral("line ") + ElapsedFormat::thousands(expected.line, QLocale::c());
        if (expected.line > 0)
            CHECK(got.problem.startsWith(where + QLatin1Char(':')) ||
                  got.problem.startsWith(where + QLatin1Char(',')));
        else
            CHECK(got.problem == QStringLiteral("the file ends without an end-of-file record (:00000001FF)"));
        return;
    }
    FirmwareSummary counts = got.summary;
    counts.ranges = {};
    CHECK(counts == expected.summary);
    CHECK(got.summary.recordsToSend + got.summary.skippedNoData + got.summary.skippedBootCode ==
          got.summary.records);
    const QList<AddressRange>& kept = got.summary.ranges.kept();
    CHECK(kept.size() <= AddressRanges::MaxKept);
    for (qsizetype i = 1; i < kept.size(); ++i)
        CHECK(kept[i - 1].last + 1 < kept[i].first); // sorted, apart
    if (got.summary.ranges.more() == 0) {
        CHECK(std::equal(kept.begin(), kept.end(), expected.allRanges.begin(), expected.allRanges.end()));
    } else {
        CHECK(kept.size() + got.summary.ranges.more() >= qsizetype(expected.allRanges.size()));
        for (const AddressRange& r : kept) { // every kept range lies within one true range
            CHECK(std::any_of(expected.allRanges.begin(), expected.allRanges.end(),
                              [&](const AddressRange& t) { return t.first <= r.first && r.last <= t.last; }));
        }
    }
    CHECK(got.logLines().size() == 3);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const bool recipe = data[0] & 1;
    const uint8_t seed = data[1];
    std::srand(seed);
    Expected built;
    const QByteArray contents =
        recipe ? build(data + 2, size - 2, built)
               : QByteArray(reinterpret_cast<const char*>(data + 2), qsizetype(size - 2));
    writeScratch(contents);

    const FirmwareCheckResult whole = FirmwareCheck::checkFile(scratchPath());
    CHECK(inSlices(scratchPath(), contents.size(), seed) == whole);
    const Expected expected = reference(scratchPath());
    compare(whole, expected);
    // The file's SHA-256 comes from the same pass, whole or in slices.
    if (whole.kind == FirmwareCheckResult::Kind::Ok)
        CHECK(whole.sha256 == Sha256Hash::of(contents));
    if (recipe) {
        CHECK(whole.kind == FirmwareCheckResult::Kind::Ok);
        compare(whole, built);
    }
    return 0;
}
