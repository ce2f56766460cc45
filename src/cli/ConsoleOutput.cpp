#include "cli/ConsoleOutput.h"

#include <QCoreApplication>

namespace {

// The program's name as it set it (uploader-cli, uploader-station).
QString prefix()
{
    const QString name = QCoreApplication::applicationName();
    return (name.isEmpty() ? QStringLiteral("uploader-cli") : name) + QStringLiteral(": ");
}

} // namespace

namespace ConsoleOutput {

void write(std::FILE* stream, const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void warn(const QString& text)
{
    err(prefix() + QStringLiteral("warning: ") + text + u'\n');
}

void error(const QString& text)
{
    err(prefix() + text + u'\n');
}

} // namespace ConsoleOutput
