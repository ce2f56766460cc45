#include "history/HistoryFormat.h"

#include "history/HistoryTime.h"

#include <QStringList>

#include <algorithm>
#include <functional>

namespace HistoryFormat {

namespace {

bool reordersOrBreaks(char32_t c)
{
    return (c >= 0x80 && c <= 0x9f) || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029 || c == 0xfeff;
}

QString octal(uchar byte)
{
    return QStringLiteral("\\%1").arg(uint(byte), 3, 8, QLatin1Char('0'));
}

QString shortTime(const QDateTime& time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODate) : QStringLiteral("-");
}

QString records(const UpdateRecord& r)
{
    return QString::number(r.recordsSent) + QLatin1Char('/') +
           (r.recordsTotal < 0 ? QStringLiteral("?") : QString::number(r.recordsTotal));
}

QString csvField(const QString& text, bool guard)
{
    QString field = text;
    static const QString formulaStarts = QStringLiteral("=+-@\t\r");
    if (guard && !field.isEmpty() && formulaStarts.contains(field.front()))
        field.prepend(QLatin1Char('\''));
    if (field.contains(QLatin1Char(',')) || field.contains(QLatin1Char('"')) ||
        field.contains(QLatin1Char('\n')) || field.contains(QLatin1Char('\r'))) {
        field.replace(QLatin1String("\""), QLatin1String("\"\""));
        field = QLatin1Char('"') + field + QLatin1Char('"');
    }
    return field;
}

QString number(qint64 value)
{
    return value < 0 ? QString() : QString::number(value);
}

// The cells in columns, the first line the header: numbers right-aligned, text left-aligned, the
// last column not padded; every line ends in '\n'.
QString aligned(const QList<QStringList>& cells, const QList<bool>& numbers)
{
    QList<qsizetype> widths(numbers.size(), 0);
    for (const QStringList& line : std::as_const(cells)) {
        for (qsizetype i = 0; i < line.size(); ++i)
            widths[i] = qMax(widths[i], line.at(i).size());
    }
    QString out;
    for (const QStringList& line : std::as_const(cells)) {
        QString text;
        for (qsizetype i = 0; i < line.size(); ++i) {
            const bool last = i + 1 == line.size();
            // Numbers right-aligned, text left-aligned; the last column is not padded.
            if (numbers.at(i))
                text += line.at(i).rightJustified(widths[i]);
            else
                text += last ? line.at(i) : line.at(i).leftJustified(widths[i]);
            if (!last)
                text += QStringLiteral("  ");
        }
        out += text + QLatin1Char('\n');
    }
    return out;
}

} // namespace

QString unit(const QString& host, int port)
{
    const QString shownHost =
        host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return shownHost + QLatin1Char(':') + QString::number(port);
}

QString escapeControls(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        switch (c) {
        case U'\\':
            out += QLatin1String("\\\\");
            continue;
        case U'\a':
            out += QLatin1String("\\a");
            continue;
        case U'\b':
            out += QLatin1String("\\b");
            continue;
        case U'\t':
            out += QLatin1String("\\t");
            continue;
        case U'\n':
            out += QLatin1String("\\n");
            continue;
        case U'\v':
            out += QLatin1String("\\v");
            continue;
        case U'\f':
            out += QLatin1String("\\f");
            continue;
        case U'\r':
            out += QLatin1String("\\r");
            continue;
        default:
            break;
        }
        if (c < 0x20 || c == 0x7f) {
            out += octal(uchar(c));
        } else if (reordersOrBreaks(c)) {
            for (const char byte : QString::fromUcs4(&c, 1).toUtf8())
                out += octal(uchar(byte));
        } else {
            out += QString::fromUcs4(&c, 1);
        }
    }
    return out;
}

QString table(const QList<UpdateRecord>& rows)
{
    struct Column
    {
        const char* header;
        bool number; // right-aligned
        std::function<QString(const UpdateRecord&)> cell;
    };
    const auto any = [&rows](bool (*has)(const UpdateRecord&)) {
        return std::any_of(rows.cbegin(), rows.cend(), has);
    };
    QList<Column> columns{
        // A row that waits on this computer has no number in the history yet, or a later state.
        {"ID", true,
         [](const UpdateRecord& r) {
             const QString id = r.id == 0 ? QString() : QString::number(r.id);
             return r.waiting ? id + QLatin1Char('*') : id;
         }},
        {"STARTED", false, [](const UpdateRecord& r) { return shortTime(r.started); }},
        {"UNIT", false, [](const UpdateRecord& r) { return escapeControls(unit(r.unitHost, r.unitPort)); }},
    };
    // What the line knows of its units only when some row has it: most histories have none.
    if (any([](const UpdateRecord& r) { return !r.serial.isEmpty(); }))
        columns.append({"SERIAL", false, [](const UpdateRecord& r) { return escapeControls(r.serial); }});
    if (any([](const UpdateRecord& r) { return !r.lot.isEmpty(); }))
        columns.append({"LOT", false, [](const UpdateRecord& r) { return escapeControls(r.lot); }});
    if (any([](const UpdateRecord& r) { return !r.fixture.isEmpty(); }))
        columns.append({"FIXTURE", false, [](const UpdateRecord& r) { return escapeControls(r.fixture); }});
    if (any([](const UpdateRecord& r) { return !r.startedBy.isEmpty(); }))
        columns.append(
            {"STARTED BY", false, [](const UpdateRecord& r) { return escapeControls(r.startedBy); }});
    columns.append({"OUTCOME", false, [](const UpdateRecord& r) { return escapeControls(r.outcome); }});
    if (any([](const UpdateRecord& r) { return r.attempt > 1; }))
        columns.append({"ATTEMPT", true, [](const UpdateRecord& r) { return QString::number(r.attempt); }});
    columns.append({"RECORDS", true, records});
    columns.append({"ELAPSED", true, [](const UpdateRecord& r) {
                        return QString::number(r.elapsedSeconds, 'f', 1) + QStringLiteral(" s");
                    }});
    columns.append({"FILE", false, [](const UpdateRecord& r) { return escapeControls(r.fileName); }});
    columns.append(
        {"SHA256", false, [](const UpdateRecord& r) { return escapeControls(r.sha256.left(12)); }});

    QList<QStringList> cells;
    QStringList header;
    QList<bool> numbers;
    for (const Column& column : std::as_const(columns)) {
        header << QString::fromLatin1(column.header);
        numbers << column.number;
    }
    cells << header;
    for (const UpdateRecord& r : rows) {
        QStringList line;
        for (const Column& column : std::as_const(columns))
            line << column.cell(r);
        cells << line;
    }
    return aligned(cells, numbers);
}

QString details(const UpdateRecord& r)
{
    auto line = [](const QString& key, const QString& value) {
        return (key + QLatin1Char(':')).leftJustified(15) + escapeControls(value) + QLatin1Char('\n');
    };
    QString out;
    out += line(QStringLiteral("Update"), QString::number(r.id));
    out += line(QStringLiteral("Started"), HistoryTime::format(r.started));
    out +=
        line(QStringLiteral("Ended"), r.ended.isValid() ? HistoryTime::format(r.ended) : QStringLiteral("-"));
    out += line(QStringLiteral("Outcome"), r.outcome);
    if (!r.refusalCode.isEmpty())
        out += line(QStringLiteral("Refusal code"), r.refusalCode);
    if (!r.reason.isEmpty())
        out += line(QStringLiteral("Reason"), r.reason);
    out += line(QStringLiteral("Unit"), unit(r.unitHost, r.unitPort));
    out += line(QStringLiteral("Product"), r.product);
    out += line(QStringLiteral("File"), r.filePath.isEmpty() ? r.fileName : r.filePath);
    out += line(QStringLiteral("Size"), r.fileSize < 0 ? QStringLiteral("-") : QString::number(r.fileSize));
    out += line(QStringLiteral("SHA-256"), r.sha256);
    if (!r.signer.isEmpty())
        out += line(QStringLiteral("Signed by"), r.signer);
    out += line(QStringLiteral("Records"), records(r));
    out += line(QStringLiteral("Elapsed"), QString::number(r.elapsedSeconds, 'f', 1) + QStringLiteral(" s"));
    out += line(QStringLiteral("Front end"), r.frontend);
    out += line(QStringLiteral("Program"), r.program + QLatin1Char(' ') + r.version);
    out += line(QStringLiteral("Host"), r.host);
    out += line(QStringLiteral("User"), r.user);
    if (!r.runId.isEmpty())
        out += line(QStringLiteral("Run"), r.runId);
    if (!r.serial.isEmpty())
        out += line(QStringLiteral("Serial"), r.serial);
    if (!r.lot.isEmpty())
        out += line(QStringLiteral("Lot"), r.lot);
    if (!r.fixture.isEmpty())
        out += line(QStringLiteral("Fixture"), r.fixture);
    if (r.attempt > 1)
        out += line(QStringLiteral("Attempt"), QString::number(r.attempt));
    if (!r.startedBy.isEmpty())
        out += line(QStringLiteral("Started by"), r.startedBy);
    if (r.waiting)
        out += line(QStringLiteral("Waiting"),
                    QStringLiteral("recorded on this computer, not yet in the history"));
    out += QStringLiteral("Log:\n");
    if (!r.log.isEmpty()) {
        for (const QString& logLine : r.log.split(QLatin1Char('\n')))
            out += QStringLiteral("  ") + escapeControls(logLine) + QLatin1Char('\n');
    }
    return out;
}

QJsonObject json(const UpdateRecord& r, bool withLog)
{
    auto timeOrNull = [](const QDateTime& time) {
        return time.isValid() ? QJsonValue(HistoryTime::format(time)) : QJsonValue(QJsonValue::Null);
    };
    auto countOrNull = [](qint64 value) {
        return value < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(value);
    };
    QJsonObject object{
        {QStringLiteral("id"), r.id},
        {QStringLiteral("started"), timeOrNull(r.started)},
        {QStringLiteral("ended"), timeOrNull(r.ended)},
        {QStringLiteral("frontend"), r.frontend},
        {QStringLiteral("host"), r.host},
        {QStringLiteral("user"), r.user},
        {QStringLiteral("program"), r.program},
        {QStringLiteral("version"), r.version},
        {QStringLiteral("product"), r.product},
        {QStringLiteral("unit"), unit(r.unitHost, r.unitPort)},
        {QStringLiteral("file"), r.fileName},
        {QStringLiteral("path"), r.filePath},
        {QStringLiteral("size"), countOrNull(r.fileSize)},
        {QStringLiteral("sha256"), r.sha256},
        {QStringLiteral("signer"), r.signer},
        {QStringLiteral("records_sent"), r.recordsSent},
        {QStringLiteral("records_total"), countOrNull(r.recordsTotal)},
        {QStringLiteral("outcome"), r.outcome},
        {QStringLiteral("refusal_code"), r.refusalCode},
        {QStringLiteral("reason"), r.reason},
        {QStringLiteral("elapsed"), r.elapsedSeconds},
        {QStringLiteral("run"), r.runId},
        {QStringLiteral("serial"), r.serial},
        {QStringLiteral("lot"), r.lot},
        {QStringLiteral("fixture"), r.fixture},
        {QStringLiteral("attempt"), r.attempt},
        {QStringLiteral("uuid"), r.uuid.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(r.uuid)},
        {QStringLiteral("waiting"), r.waiting},
        {QStringLiteral("started_by"), r.startedBy},
    };
    if (withLog)
        object.insert(QStringLiteral("log"), r.log);
    return object;
}

QString csvHeader()
{
    return QStringLiteral(
        "id,started,ended,frontend,host,user,program,version,product,unit,file,path,size,sha256,"
        "records_sent,records_total,outcome,refusal_code,reason,elapsed,run,serial,lot,fixture,attempt,"
        "signer,started_by\r\n");
}

QString csvRow(const UpdateRecord& r)
{
    const QStringList fields = {
        QString::number(r.id),
        HistoryTime::format(r.started),
        HistoryTime::format(r.ended),
        csvField(r.frontend, true),
        csvField(r.host, true),
        csvField(r.user, true),
        csvField(r.program, true),
        csvField(r.version, true),
        csvField(r.product, true),
        csvField(unit(r.unitHost, r.unitPort), true),
        csvField(r.fileName, true),
        csvField(r.filePath, true),
        number(r.fileSize),
        csvField(r.sha256, true),
        QString::number(r.recordsSent),
        number(r.recordsTotal),
        csvField(r.outcome, true),
        csvField(r.refusalCode, true),
        csvField(r.reason, true),
        QString::number(r.elapsedSeconds, 'f', 3),
        csvField(r.runId, true),
        csvField(r.serial, true),
        csvField(r.lot, true),
        csvField(r.fixture, true),
        QString::number(r.attempt),
        csvField(r.signer, true),
        csvField(r.startedBy, true),
    };
    return fields.join(QLatin1Char(',')) + QStringLiteral("\r\n");
}

QString csv(const QList<UpdateRecord>& rows)
{
    QString out = csvHeader();
    for (const UpdateRecord& r : rows)
        out += csvRow(r);
    return out;
}

QString auditTable(const QList<AuditEntry>& entries)
{
    QList<QStringList> cells{{QStringLiteral("TIME"), QStringLiteral("STATION"), QStringLiteral("TOKEN"),
                              QStringLiteral("CLIENT"), QStringLiteral("METHOD"), QStringLiteral("PATH"),
                              QStringLiteral("OBJECT"), QStringLiteral("STATUS")}};
    const auto orDash = [](const QString& text) { return text.isEmpty() ? QStringLiteral("-") : text; };
    for (const AuditEntry& e : entries) {
        // An entry that waits on this computer is marked as a waiting update's row is.
        cells << QStringList{shortTime(e.time) + (e.waiting ? QStringLiteral("*") : QString()),
                             escapeControls(e.station),
                             orDash(escapeControls(e.token)),
                             escapeControls(e.client),
                             escapeControls(e.method),
                             escapeControls(e.path),
                             orDash(escapeControls(e.object)),
                             QString::number(e.status)};
    }
    return aligned(cells, {false, false, false, false, false, false, false, true});
}

QJsonObject auditJson(const AuditEntry& e)
{
    return QJsonObject{
        {QStringLiteral("id"), e.id},
        {QStringLiteral("time"),
         e.time.isValid() ? QJsonValue(HistoryTime::format(e.time)) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("station"), e.station},
        {QStringLiteral("token"), e.token},
        {QStringLiteral("client"), e.client},
        {QStringLiteral("method"), e.method},
        {QStringLiteral("path"), e.path},
        {QStringLiteral("object"), e.object},
        {QStringLiteral("status"), e.status},
        {QStringLiteral("waiting"), e.waiting},
    };
}

QString auditCsv(const QList<AuditEntry>& entries)
{
    QString out = QStringLiteral("id,time,station,token,client,method,path,object,status\r\n");
    for (const AuditEntry& e : entries) {
        out += QStringList{QString::number(e.id),   HistoryTime::format(e.time), csvField(e.station, true),
                           csvField(e.token, true), csvField(e.client, true),    csvField(e.method, true),
                           csvField(e.path, true),  csvField(e.object, true),    QString::number(e.status)}
                   .join(QLatin1Char(',')) +
               QStringLiteral("\r\n");
    }
    return out;
}

} // namespace HistoryFormat
