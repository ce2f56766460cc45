#include "cli/ConsoleOutput.h"

namespace ConsoleOutput {

void write(std::FILE* stream, const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void warn(const QString& text)
{
    err(QStringLiteral("uploader-cli: warning: ") + text + u'\n');
}

void error(const QString& text)
{
    err(QStringLiteral("uploader-cli: ") + text + u'\n');
}

} // namespace ConsoleOutput
