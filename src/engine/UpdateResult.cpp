#include "engine/UpdateResult.h"

QString outcomeName(UpdateOutcome outcome)
{
    switch (outcome) {
    case UpdateOutcome::Succeeded:
        return QStringLiteral("succeeded");
    case UpdateOutcome::BadInput:
        return QStringLiteral("bad-input");
    case UpdateOutcome::FileError:
        return QStringLiteral("file-error");
    case UpdateOutcome::MalformedFile:
        return QStringLiteral("malformed-file");
    case UpdateOutcome::FileChanged:
        return QStringLiteral("file-changed");
    case UpdateOutcome::NoConnection:
        return QStringLiteral("no-connection");
    case UpdateOutcome::Refused:
        return QStringLiteral("refused");
    case UpdateOutcome::UnknownReply:
        return QStringLiteral("unknown-reply");
    case UpdateOutcome::NoReply:
        return QStringLiteral("no-reply");
    case UpdateOutcome::ConnectionLost:
        return QStringLiteral("connection-lost");
    case UpdateOutcome::TooMuchData:
        return QStringLiteral("too-much-data");
    case UpdateOutcome::Cancelled:
        return QStringLiteral("cancelled");
    }
    return QStringLiteral("unknown");
}

QString refusalCodeText(const UpdateResult& result)
{
    if (result.outcome != UpdateOutcome::Refused)
        return {};
    return QStringLiteral("%1").arg(result.refusalCode, 2, 16, QLatin1Char('0')).toUpper();
}
