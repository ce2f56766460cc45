#include "unitsim/Message.h"

namespace unitsim {

QString messageKindName(MessageKind kind)
{
    switch (kind) {
    case MessageKind::Command02:
        return QStringLiteral("command02");
    case MessageKind::Text:
        return QStringLiteral("text");
    case MessageKind::ProductCode:
        return QStringLiteral("productCode");
    case MessageKind::Record:
        return QStringLiteral("record");
    case MessageKind::Garbage:
        break;
    }
    return QStringLiteral("garbage");
}

} // namespace unitsim
