#include "process/ConsoleOutput.h"

#include "engine/TextFormat.h"

#include <QCoreApplication>

namespace {

// The program's name as it set it (uploader-cli, uploader-station).
QString prefix()
{
    const QString name = QCoreApplication::applicationName();
    return (name.isEmpty() ? QStringLiteral("uploader-cli") : name) + QStringLiteral(": ");
}

bool priorityPrefixes = false;

// "<N>" when the lines carry their priority.
QString priority(char level)
{
    return priorityPrefixes ? QStringLiteral("<%1>").arg(QLatin1Char(level)) : QString();
}

} // namespace

namespace ConsoleOutput {

void setPriorityPrefixes(bool on)
{
    priorityPrefixes = on;
}

void write(std::FILE* stream, const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// A message is one line, and may quote a file or unit name as typed: its control characters are
// shown escaped, never sent to the terminal.
void warn(const QString& text)
{
    err(priority('4') + prefix() + QStringLiteral("warning: ") + TextFormat::escaped(text) + u'\n');
}

void error(const QString& text)
{
    err(priority('3') + prefix() + TextFormat::escaped(text) + u'\n');
}

void info(const QString& text)
{
    err(priority('6') + prefix() + TextFormat::escaped(text) + u'\n');
}

} // namespace ConsoleOutput
