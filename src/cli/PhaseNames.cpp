#include "cli/PhaseNames.h"

QString phaseName(UpdateJob::Phase phase)
{
    switch (phase) {
    case UpdateJob::Phase::Idle:
        return QStringLiteral("starting");
    case UpdateJob::Phase::Checking:
        return QStringLiteral("checking");
    case UpdateJob::Phase::Connecting:
        return QStringLiteral("connecting");
    case UpdateJob::Phase::Streaming:
        return QStringLiteral("sending");
    case UpdateJob::Phase::Stalled:
        return QStringLiteral("stalled");
    case UpdateJob::Phase::Settling:
        return QStringLiteral("sent");
    case UpdateJob::Phase::Ending:
        return QStringLiteral("ending");
    case UpdateJob::Phase::Writing:
        return QStringLiteral("writing");
    case UpdateJob::Phase::Rebooting:
        return QStringLiteral("rebooting");
    case UpdateJob::Phase::Done:
        return QStringLiteral("done");
    }
    return QStringLiteral("?");
}
