#include "BuildInfo.h"
#include "FirmwareCheck.h"
#include "MainWindow.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

namespace {

// "--check FILE": checks a firmware file without opening the window. Exit code 0 when it
// passes, 1 when it is malformed, 2 when it cannot be read.
int checkOnly(const char* path)
{
    const FirmwareCheckResult result = FirmwareCheck::checkFile(QString::fromLocal8Bit(path));
    for (const QString& line : result.logLines())
        std::fprintf(result.ok() ? stdout : stderr, "%s\n", qPrintable(line));
    switch (result.kind) {
    case FirmwareCheckResult::Kind::Ok:
        return 0;
    case FirmwareCheckResult::Kind::Malformed:
        return 1;
    case FirmwareCheckResult::Kind::Unreadable:
        return 2;
    }
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 3 && std::strcmp(argv[1], "--check") == 0)
        return checkOnly(argv[2]);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(BuildInfo::Title));
    QApplication::setApplicationVersion(QString::fromUtf8(BuildInfo::Version));

    MainWindow window(QString::fromUtf8(BuildInfo::Title), QString::fromUtf8(BuildInfo::Version));
    window.show();
    return app.exec();
}
