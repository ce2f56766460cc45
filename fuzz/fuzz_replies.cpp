// Reply recognition over arbitrary byte streams, split into arrivals at arbitrary points.
//
// Input: byte 0 selects how many split bytes follow (0-7); each split byte is the size of one
// arrival (0-32 bytes), used in turn until the stream runs out (no split bytes, or only zero
// sizes: the whole stream arrives at once). The rest of the input is the stream from the unit.
//
// Every arrival goes through the reader the update uses (ReplyReader): append, stop below
// MinimumBuffered, drop stray bytes, then take at most one reply of each code in
// RecognitionOrder. The outcome is compared with a reference that tracks a read position in the
// whole stream instead of a buffer.

#include "engine/Frames.h"
#include "engine/ReplyReader.h"
#include "engine/UnitReplies.h"

#include "FuzzCheck.h"

#include <QByteArray>
#include <QList>

#include <array>
#include <cstddef>
#include <iterator>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using UnitReplies::Code;


namespace {

struct Arrival
{
    QList<Code> taken;
    int stray = 0;
};

// One arrival through the reader the update uses, with what each step may do checked.
Arrival recognise(ReplyReader& reader, const QByteArray& bytes)
{
    Arrival result;
    const QByteArray before = reader.held() + bytes;
    reader.append(bytes);
    CHECK(reader.held() == before);
    const ReplyReader::Arrival arrival = reader.takeReplies();
    CHECK(arrival.incomplete == (before.size() < UnitReplies::MinimumBuffered));
    result.stray = arrival.strayBytes;
    CHECK(result.stray >= 0 && (result.stray == 0 || result.stray < before.size())); // the last byte always stays
    CHECK(!QByteArrayView(before).first(result.stray).contains(char(0xFD)));
    for (Code code : arrival.replies())
        result.taken.append(code);
    return result;
}

int orderOf(Code code)
{
    // The engine acts on an acknowledgement (sends the next record) before it looks at refusals.
    constexpr Code engineOrder[] = {Code::Ack, Code::ChecksumRefusal, Code::ProductCodeRefusal,
                                    Code::RecordTypeRefusal, Code::Unknown};
    for (int i = 0; i < 5; ++i) {
        if (engineOrder[i] == code)
            return i;
    }
    return -1;
}

// The reference: the unread part of the stream is stream[cursor, received).
struct Reference
{
    const uint8_t* stream;
    size_t cursor = 0;
    size_t received = 0;

    Arrival arrive(size_t count)
    {
        static constexpr struct {
            Code code;
            uint8_t byte;
            size_t length;
        } replies[] = {{Code::Ack, 0x00, 8},
                       {Code::ChecksumRefusal, 0x01, 8},
                       {Code::ProductCodeRefusal, 0x02, 8},
                       {Code::RecordTypeRefusal, 0x03, 8},
                       {Code::Unknown, 0xFF, 6}};
        Arrival result;
        received += count;
        if (received - cursor < 8)
            return result;
        while (received - cursor > 1 && stream[cursor] != 0xFD) {
            ++cursor;
            ++result.stray;
        }
        for (const auto& r : replies) {
            const uint8_t* p = stream + cursor;
            if (received - cursor >= r.length && p[0] == 0xFD && p[1] == 0x55 && p[2] == 0xAA && p[3] == r.byte) {
                cursor += r.length;
                result.taken.append(r.code);
            }
        }
        return result;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    size_t splitCount = data[0] % 8;
    if (splitCount > size - 1)
        splitCount = size - 1;
    const uint8_t* splits = data + 1;
    const uint8_t* stream = splits + splitCount;
    const size_t streamSize = size - 1 - splitCount;

    size_t splitSum = 0;
    for (size_t i = 0; i < splitCount; ++i)
        splitSum += splits[i] % 33;
    if (splitSum == 0)
        splitCount = 0;

    ReplyReader reader;
    Reference reference{stream};
    size_t offset = 0;
    size_t consumed = 0;
    for (size_t arrival = 0; offset < streamSize || arrival == 0; ++arrival) {
        size_t count = splitCount == 0 ? streamSize : splits[arrival % splitCount] % 33;
        if (count > streamSize - offset)
            count = streamSize - offset;
        const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(stream + offset), qsizetype(count));
        offset += count;

        const qsizetype held = reader.held().size();
        const Arrival got = recognise(reader, bytes);
        const QByteArray& buffer = reader.held();
        for (int i = 1; i < got.taken.size(); ++i)
            CHECK(orderOf(got.taken[i - 1]) < orderOf(got.taken[i])); // each code once, in order
        if (held + qsizetype(count) < UnitReplies::MinimumBuffered)
            CHECK(got.taken.isEmpty() && got.stray == 0 && buffer.size() == held + qsizetype(count));

        qsizetype recognised = 0;
        for (Code code : got.taken)
            recognised += UnitReplies::length(code);
        CHECK(buffer.size() == held + qsizetype(count) - got.stray - recognised);
        consumed += size_t(got.stray + recognised);

        const Arrival expected = reference.arrive(count);
        CHECK(got.taken == expected.taken);
        CHECK(got.stray == expected.stray);
        CHECK(reference.cursor == consumed);
        CHECK(buffer == QByteArray::fromRawData(reinterpret_cast<const char*>(stream + reference.cursor),
                                                qsizetype(reference.received - reference.cursor)));
    }
    // The debug log shows the buffer after each arrival.
    CHECK(Frames::hexDump(reader.held()).size() == 3 * reader.held().size());
    return 0;
}
