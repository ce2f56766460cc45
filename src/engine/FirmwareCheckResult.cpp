#include "engine/FirmwareCheckResult.h"

#include "engine/TextFormat.h"

#include <QLocale>

namespace {

QString counted(qint64 n, const char* one, const char* many)
{
    return TextFormat::count(n) + QLatin1Char(' ') + QString::fromLatin1(n == 1 ? one : many);
}

QString address(quint64 value)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0')).toUpper();
}

} // namespace

QStringList FirmwareSummary::logLines() const
{
    QString first = QStringLiteral("Firmware check: ") + counted(records, "record", "records") +
                    QStringLiteral(", ") + TextFormat::count(recordsToSend) + QStringLiteral(" to send");
    if (skippedNoData > 0 && skippedBootCode > 0) {
        first += QStringLiteral(" (") + TextFormat::count(skippedNoData) +
                 QStringLiteral(" skipped as all-FF, ") + TextFormat::count(skippedBootCode) +
                 QStringLiteral(" as boot code)");
    } else if (skippedNoData > 0) {
        first +=
            QStringLiteral(" (") + TextFormat::count(skippedNoData) + QStringLiteral(" skipped as all-FF)");
    } else if (skippedBootCode > 0) {
        first += QStringLiteral(" (") + TextFormat::count(skippedBootCode) +
                 QStringLiteral(" skipped as boot code)");
    }
    first += QStringLiteral(", ") + counted(dataBytes, "data byte", "data bytes");
    if (linesAfterEnd > 0) {
        first += QStringLiteral("; ") +
                 counted(linesAfterEnd, "line after the end-of-file record is",
                         "lines after the end-of-file record are") +
                 QStringLiteral(" not sent");
    }

    QString second = QStringLiteral("Addresses: ");
    if (ranges.isEmpty())
        second += QStringLiteral("none");
    for (qsizetype i = 0; i < ranges.kept().size(); ++i) {
        const AddressRange& range = ranges.kept()[i];
        second += (i > 0 ? QStringLiteral(", ") : QString()) + address(range.first) + QLatin1Char('-') +
                  address(range.last);
    }
    if (ranges.more() > 0)
        second += QStringLiteral(", and ") + counted(ranges.more(), "more range", "more ranges");
    return {first, second};
}

QStringList FirmwareCheckResult::logLines() const
{
    switch (kind) {
    case Kind::Ok:
        return summary.logLines() << QStringLiteral("SHA-256: ") + sha256;
    case Kind::Malformed:
        return {QStringLiteral("Firmware check: ") + problem};
    case Kind::Unreadable:
        return {QStringLiteral("Firmware check: the file cannot be read: ") + problem};
    }
    return {};
}

QString FirmwareCheckResult::refusal(const QString& path) const
{
    switch (kind) {
    case Kind::Ok:
        break;
    case Kind::Malformed:
        return QStringLiteral("The firmware file %1 cannot be sent: %2")
            .arg(TextFormat::escaped(path), problem);
    case Kind::Unreadable:
        return QStringLiteral("Cannot open the firmware file %1: %2").arg(TextFormat::escaped(path), problem);
    }
    return {};
}
