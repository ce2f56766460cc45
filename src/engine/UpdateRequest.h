#pragma once

#include <QString>

#include <chrono>
#include <optional>

struct ProductVariant;

// How long an update waits for each thing, in program time. `scale` turns program time into real
// time: the programs always run at 1; tests that drive jobs in their own process shrink it so that
// reboot waits of seconds take milliseconds, and elapsed times are reported in program time
// either way.
struct UpdateTimings
{
    static constexpr std::chrono::milliseconds ConnectLimit{3300};
    static constexpr std::chrono::milliseconds ConnectPoll{100};
    static constexpr std::chrono::milliseconds SlowPause{30};
    static constexpr std::chrono::milliseconds Settle{100};
    static constexpr std::chrono::milliseconds WriteStart{1000};
    // A unit may erase its flash when it accepts the product code, which takes far longer than
    // writing one record.
    static constexpr std::chrono::milliseconds ProductCodeReplyTimeout{60000};
    static constexpr std::chrono::milliseconds RecordReplyTimeout{15000};

    std::chrono::milliseconds connectLimit = ConnectLimit;
    std::chrono::milliseconds productCodeReplyTimeout = ProductCodeReplyTimeout;
    std::chrono::milliseconds recordReplyTimeout = RecordReplyTimeout;
    double scale = 1.0;

    // Real time for a program duration, rounded up so a wait never ends early; at least 0.
    std::chrono::milliseconds real(std::chrono::milliseconds program) const;
    // Program milliseconds for real nanoseconds, rounded half up.
    qint64 programMs(qint64 realNs) const;
};

// Everything one update needs to know when it starts.
struct UpdateRequest
{
    // The unit: a host name or address (IPv6 without brackets) and its TCP port. Each front end
    // reads them from its own input and says what is wrong with that input in its own words; a
    // request without a host, a port or a product ends at once as bad input, and nothing is sent.
    QString host;
    quint16 port = 0;
    QString firmwarePath;
    const ProductVariant* product = nullptr;
    // 64 hex digits: the file must have this SHA-256, or it is refused like a malformed file.
    QString expectedSha256;
    // How long an update that stalled on the unit's unknown reply keeps its connection before it
    // ends as that reply: nothing (std::nullopt) holds it until abort(), for an operator who
    // decides; zero ends it at once, for callers nobody attends.
    std::optional<std::chrono::milliseconds> stalledHold = std::chrono::milliseconds(0);
    // Live options: the update reads them again at each use (see UpdateJob::setDebug).
    bool debug = false;
    bool slow = false;
    UpdateTimings timings;
};
