#pragma once

#include <QString>

// An address as people type it: HOST, HOST:PORT, [IPV6] or [IPV6]:PORT. Only splits it; what a
// host and a port may be is the caller's to say (a unit's port, a listening port, a filter).
struct HostPortText
{
    QString host; // without the brackets
    QString port; // as typed; empty when none was given
    bool bracketed = false;

    // False, with a reason, for "[" without "]", anything after "]" but ":PORT", or a ":" with no
    // port after it. Text with several ':' and no brackets stays whole in `host`: whether that is
    // an IPv6 address is for the caller to judge.
    static bool split(const QString& text, HostPortText* out, QString* error);
};
