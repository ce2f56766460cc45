#pragma once

#include <QString>

// How an update ended, as UpdateHistory::finish records it.
struct UpdateEnd
{
    QString outcome;     // the engine's outcome name: "succeeded", "refused", "interrupted", ...
    QString refusalCode; // "01".."03" when refused, else empty
    QString reason;      // the first line that says why; empty on success
    double elapsedSeconds = 0;
    qint64 recordsSent = 0;
};
