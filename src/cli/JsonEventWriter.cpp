#include "cli/JsonEventWriter.h"

#include "cli/ConsoleOutput.h"

#include <QJsonDocument>

JsonEventWriter::JsonEventWriter(UpdateRunner& runner, bool verbose, QObject* parent)
    : QObject(parent), m_events(runner, verbose)
{
    connect(&m_events, &RunEvents::event, this, &JsonEventWriter::write);
}

void JsonEventWriter::writeSummary()
{
    write(m_events.summary());
}

void JsonEventWriter::write(const QJsonObject& object)
{
    ConsoleOutput::write(stdout, QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

void JsonEventWriter::writeWarning(const QString& message)
{
    QJsonObject object;
    object[QStringLiteral("event")] = QStringLiteral("warning");
    object[QStringLiteral("message")] = message;
    write(object);
}
