// The firmware line reader over arbitrary bytes and chunk sizes, against a reference reader that
// splits the whole file at once.
//
// Input: byte 0 is the chunk size (0: the reader's default); byte 1 says, bit by bit in turn,
// whether a step asks atEnd() before readLine() (as the engine does) or calls readLine() alone
// (which also returns blank lines). The rest is the file.

#include "engine/FirmwareFile.h"
#include "engine/RecordRules.h"

#include "FuzzCheck.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>


namespace {

struct Line
{
    QByteArray text;
    qint64 start; // offset of the line's first byte
    qint64 end;   // offset just past its terminator
};

// Lines end at CR LF, CR or LF; a last line without a terminator still counts when not empty.
QList<Line> referenceLines(const QByteArray& contents)
{
    QList<Line> lines;
    qsizetype start = 0;
    while (start < contents.size()) {
        qsizetype i = start;
        while (i < contents.size() && contents[i] != '\r' && contents[i] != '\n')
            ++i;
        qsizetype end = i;
        if (i < contents.size())
            end = (contents[i] == '\r' && i + 1 < contents.size() && contents[i + 1] == '\n') ? i + 2 : i + 1;
        lines.append({contents.mid(start, i - start), start, end});
        start = end;
    }
    return lines;
}

bool referenceBlank(const QByteArray& line)
{
    for (char c : line) {
        if (c != ' ' && c != '\t')
            return false;
    }
    return true;
}

// One anonymous in-memory file for the whole run, rewritten for each input.
const QString& scratchPath()
{
    static const QString path = [] {
        const int fd = memfd_create("fuzz_firmware_lines", 0);
        CHECK(fd >= 0);
        return QStringLiteral("/proc/self/fd/%1").arg(fd);
    }();
    return path;
}

void writeScratch(const uint8_t* data, size_t size)
{
    static const int fd = scratchPath().mid(QStringLiteral("/proc/self/fd/").size()).toInt();
    CHECK(ftruncate(fd, 0) == 0);
    size_t written = 0;
    while (written < size) {
        const ssize_t n = pwrite(fd, data + written, size - written, off_t(written));
        CHECK(n > 0);
        written += size_t(n);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const qint64 chunkSize = data[0] == 0 ? FirmwareFile::ChunkSize : data[0];
    const uint8_t steps = data[1];
    const QByteArray contents(reinterpret_cast<const char*>(data + 2), qsizetype(size - 2));
    writeScratch(data + 2, size - 2);

    const QList<Line> lines = referenceLines(contents);
    FirmwareFile file(chunkSize);
    CHECK(file.open(scratchPath()));
    CHECK(file.size() == contents.size());

    qsizetype next = 0; // the reference's next line
    for (unsigned step = 0;; ++step) {
        if ((steps >> (step % 8)) & 1) {
            while (next < lines.size() && referenceBlank(lines[next].text))
                ++next;
            const bool end = next == lines.size();
            CHECK(file.atEnd() == end);
            CHECK(file.atEnd() == end); // asking again changes nothing
            CHECK(file.position() == (end ? contents.size() : lines[next].start));
            if (end)
                break;
        }
        const QByteArray line = file.readLine();
        if (next == lines.size()) {
            CHECK(line.isEmpty());
            CHECK(file.position() == contents.size());
            break;
        }
        CHECK(line == lines[next].text);
        CHECK(file.position() == lines[next].end);
        ++next;
        // What the engine asks of every line it reads.
        if (RecordRules::isEndOfFileRecord(line))
            CHECK(line.size() >= 9);
        RecordRules::skipReason(line);
        CHECK(RecordRules::address(line).size() <= 4);
    }
    CHECK(file.atEnd());
    CHECK(file.readLine().isEmpty());
    CHECK(file.position() == contents.size());
    CHECK(!file.hasError());
    return 0;
}
