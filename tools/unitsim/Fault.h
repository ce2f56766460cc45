#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace unitsim {

// A scripted misbehaviour of the unit.
//
// Messages are counted per connection among the ones the unit replies to: 0 is normally the
// product-code frame, 1 the first record line, and so on. Command frames (F0 ... F7) and garbage
// get no reply and are not counted.
struct Fault
{
    enum class Kind
    {
        Refuse,        // reply FD 55 AA <code> + 4 bytes instead of the real reply
        UnknownReply,  // reply FD 55 AA FF 00 00 (6 bytes)
        UnknownHeader, // reply FD 55 AA 04 + 4 bytes
        StrayBytes,    // write `bytes` in front of the reply, in the same write
        SplitReply,    // write the reply one byte at a time, `ms` apart (3 ms if 0)
        // Write the reply followed by a surplus acknowledgement in one write (16 bytes), so the
        // tool holds an acknowledgement it did not ask for. Holding a reply back to pair it with
        // the next one would deadlock: the tool sends nothing new until it has a reply.
        DoubleReply,
        Silence, // no reply to this message or any later one; the connection stays open
        Drop,    // close the connection (orderly FIN) instead of replying
        Reset,   // abort the connection (RST where the platform allows) instead of replying
        Latency, // wait `ms` before every reply from this message on
        // Instead of the reply, stream FD 55 AA 04 00 00 00 00 and then zero bytes, `mebibytes` MiB
        // in all (header included; 0 = until the connection closes).
        FloodHeader,
        // Stream `mebibytes` MiB of bytes that are never FD (0 = until the connection closes),
        // then the reply, so the tool has to wade through them to reach it.
        FloodStray,
        TrailBytes, // write `bytes` right after the reply, in the same write
        // Write `bytes` right after every reply from `atMessage` on, in the same write: a unit that
        // ends each reply with a line end (0D 0A), as line-oriented devices often do.
        SuffixBytes,
    };

    Kind kind = Kind::Refuse;
    int connection = 0; // 0 = every connection, 1 = the first one accepted, ...
    int atMessage = 0;
    quint8 code = 0x01;
    QByteArray bytes;
    double ms = 0;
    int mebibytes = 300; // flood size; 0 = endless

    // Flood size in bytes, 0 = endless.
    qint64 floodBytes() const { return qint64(mebibytes) * 1024 * 1024; }

    // Whether the fault shapes the reply to `message` of `connection`. Silence, Latency and
    // SuffixBytes last from `atMessage` on; the others hit exactly that message.
    bool appliesTo(int connectionNumber, int message) const;

    // Text form used on the command line: KIND[:ARG][@MESSAGE][#CONNECTION], e.g. "refuse:02@0",
    // "stray:AA55@3#2", "split:5@1", "latency:0.5", "silence@10". Kinds: refuse (ARG = code 01,
    // 02 or 03, default 01), unknown-reply, unknown-header, stray (ARG = hex bytes, no FD),
    // split (ARG = gap in ms), double, silence, drop, reset, latency (ARG = ms, required),
    // flood-header and flood-stray (ARG = MiB, decimal, default 300, 0 = endless), trail and
    // suffix (ARG = hex bytes, any).
    QString toString() const;
    static std::optional<Fault> parse(QStringView text, QString* error = nullptr);
};

} // namespace unitsim
