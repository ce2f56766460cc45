#include "cli/JsonEventWriter.h"

#include "process/ConsoleOutput.h"

#include <QJsonDocument>

void JsonEventWriter::writeSummary()
{
    QJsonObject object = summary();
    if (!runId().isEmpty())
        object[QStringLiteral("run")] = runId();
    write(object);
}

void JsonEventWriter::write(const QJsonObject& object)
{
    ConsoleOutput::write(stdout, QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

void JsonEventWriter::warn(const QString& message)
{
    RunDisplay::warn(message);
    QJsonObject object;
    object[QStringLiteral("event")] = QStringLiteral("warning");
    object[QStringLiteral("message")] = message;
    write(object);
}
