#include "ui/LogExport.h"

#include <QRegularExpression>
#include <QSaveFile>

QString LogExport::oneLine(const QString& line)
{
    static const QRegularExpression lineBreak(QStringLiteral("\\r\\n|[\\r\\n\\x{2028}\\x{2029}]"));
    return QString(line).replace(lineBreak, QStringLiteral(" "));
}

QString LogExport::clipboardText(const QStringList& lines)
{
    QStringList flat;
    flat.reserve(lines.size());
    for (const QString& line : lines)
        flat << oneLine(line);
    return flat.join(QLatin1Char('\n'));
}

QByteArray LogExport::fileContents(const QStringList& lines)
{
    QByteArray contents;
    for (const QString& line : lines) {
        contents += oneLine(line).toUtf8();
        contents += '\n';
    }
    return contents;
}

bool LogExport::write(const QString& path, const QStringList& lines, QString* error)
{
    QSaveFile file(path);
    const QByteArray contents = fileContents(lines);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size() || !file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

QString LogExport::suggestedFileName(const QDateTime& when)
{
    return QStringLiteral("uploader-log-") + when.toString(QStringLiteral("yyyy-MM-dd-HHmm")) +
           QStringLiteral(".txt");
}
