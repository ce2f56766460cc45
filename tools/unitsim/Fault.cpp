#include "unitsim/Fault.h"

#include <QStringList>

#include <algorithm>

namespace unitsim {

namespace {

struct KindName
{
    Fault::Kind kind;
    const char* name;
};

constexpr KindName kKinds[] = {
    {Fault::Kind::Refuse, "refuse"},
    {Fault::Kind::UnknownReply, "unknown-reply"},
    {Fault::Kind::UnknownHeader, "unknown-header"},
    {Fault::Kind::StrayBytes, "stray"},
    {Fault::Kind::SplitReply, "split"},
    {Fault::Kind::DoubleReply, "double"},
    {Fault::Kind::Silence, "silence"},
    {Fault::Kind::Drop, "drop"},
    {Fault::Kind::Reset, "reset"},
    {Fault::Kind::Latency, "latency"},
    {Fault::Kind::FloodHeader, "flood-header"},
    {Fault::Kind::FloodStray, "flood-stray"},
    {Fault::Kind::TrailBytes, "trail"},
    {Fault::Kind::SuffixBytes, "suffix"},
};

std::optional<Fault> failed(QString* error, const QString& why)
{
    if (error)
        *error = why;
    return std::nullopt;
}

// Strictly decimal digits, so "0x10", "+5" or "1.5" are not taken for something else.
std::optional<int> decimal(QStringView text)
{
    if (text.isEmpty() || !std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); }))
        return std::nullopt;
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok)
        return std::nullopt;
    return value;
}

std::optional<int> nonNegative(QStringView text)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 0)
        return std::nullopt;
    return value;
}

} // namespace

bool Fault::appliesTo(int connectionNumber, int message) const
{
    if (connection != 0 && connection != connectionNumber)
        return false;
    if (kind == Kind::Silence || kind == Kind::Latency || kind == Kind::SuffixBytes)
        return message >= atMessage;
    return message == atMessage;
}

QString Fault::toString() const
{
    QString out;
    for (const KindName& k : kKinds) {
        if (k.kind == kind)
            out = QLatin1String(k.name);
    }
    switch (kind) {
    case Kind::Refuse:
        out += QStringLiteral(":%1").arg(code, 2, 16, QLatin1Char('0'));
        break;
    case Kind::StrayBytes:
    case Kind::TrailBytes:
    case Kind::SuffixBytes:
        out += u':' + QString::fromLatin1(bytes.toHex().toUpper());
        break;
    case Kind::FloodHeader:
    case Kind::FloodStray:
        out += u':' + QString::number(mebibytes);
        break;
    case Kind::SplitReply:
    case Kind::Latency:
        if (ms > 0 || kind == Kind::Latency)
            out += u':' + QString::number(ms);
        break;
    default:
        break;
    }
    if (atMessage != 0 || kind != Kind::Latency)
        out += u'@' + QString::number(atMessage);
    if (connection != 0)
        out += u'#' + QString::number(connection);
    return out;
}

std::optional<Fault> Fault::parse(QStringView text, QString* error)
{
    Fault fault;
    QStringView rest = text.trimmed();

    if (const qsizetype hash = rest.lastIndexOf(u'#'); hash >= 0) {
        const auto n = nonNegative(rest.mid(hash + 1));
        if (!n || *n == 0)
            return failed(error,
                          QStringLiteral("connection after '#' must be 1 or more in \"%1\"").arg(text));
        fault.connection = *n;
        rest = rest.left(hash);
    }
    bool hasAt = false;
    if (const qsizetype at = rest.lastIndexOf(u'@'); at >= 0) {
        const auto n = nonNegative(rest.mid(at + 1));
        if (!n)
            return failed(error, QStringLiteral("message after '@' must be 0 or more in \"%1\"").arg(text));
        fault.atMessage = *n;
        hasAt = true;
        rest = rest.left(at);
    }
    QStringView arg;
    bool hasArg = false;
    if (const qsizetype colon = rest.indexOf(u':'); colon >= 0) {
        arg = rest.mid(colon + 1);
        hasArg = true;
        rest = rest.left(colon);
    }

    bool known = false;
    for (const KindName& k : kKinds) {
        if (rest.compare(QLatin1String(k.name), Qt::CaseInsensitive) == 0) {
            fault.kind = k.kind;
            known = true;
        }
    }
    if (!known)
        return failed(error, QStringLiteral("unknown fault \"%1\"").arg(rest));

    bool ok = true;
    switch (fault.kind) {
    case Kind::Refuse:
        if (hasArg) {
            const uint code = arg.toUInt(&ok, 16);
            if (!ok || code < 1 || code > 3)
                return failed(error, QStringLiteral("refusal code must be 01, 02 or 03 in \"%1\"").arg(text));
            fault.code = quint8(code);
        }
        break;
    case Kind::StrayBytes:
        fault.bytes = QByteArray::fromHex(arg.toLatin1());
        if (!hasArg || fault.bytes.isEmpty() || fault.bytes.toHex().size() != arg.size() ||
            fault.bytes.contains('\xFD'))
            return failed(
                error,
                QStringLiteral("stray needs hex bytes other than FD, e.g. stray:AA55, in \"%1\"").arg(text));
        break;
    case Kind::TrailBytes:
    case Kind::SuffixBytes:
        fault.bytes = QByteArray::fromHex(arg.toLatin1());
        if (!hasArg || fault.bytes.isEmpty() || fault.bytes.toHex().size() != arg.size())
            return failed(error, QStringLiteral("%1 needs hex bytes, e.g. %1:0D0A, in \"%2\"")
                                     .arg(fault.kind == Kind::TrailBytes ? QStringLiteral("trail")
                                                                         : QStringLiteral("suffix"),
                                          text));
        break;
    case Kind::FloodHeader:
    case Kind::FloodStray:
        if (hasArg) {
            const auto mib = decimal(arg);
            if (!mib)
                return failed(
                    error,
                    QStringLiteral("%1 needs a whole number of MiB (0 = endless), e.g. %1:300, in \"%2\"")
                        .arg(rest, text));
            fault.mebibytes = *mib;
        }
        break;
    case Kind::SplitReply:
    case Kind::Latency:
        if (hasArg)
            fault.ms = arg.toDouble(&ok);
        if (!ok || fault.ms < 0 || (fault.kind == Kind::Latency && !hasArg))
            return failed(error,
                          QStringLiteral("%1 needs a time in ms, e.g. %1:2.5, in \"%2\"").arg(rest, text));
        break;
    default:
        if (hasArg)
            return failed(error, QStringLiteral("\"%1\" takes no argument").arg(rest));
        break;
    }
    if (!hasAt && fault.kind != Kind::Latency && fault.kind != Kind::Silence)
        return failed(error, QStringLiteral("say at which message with @N in \"%1\"").arg(text));
    return fault;
}

} // namespace unitsim
