#include "BuildInfo.h"
#include "engine/FirmwareCheck.h"
#include "settings/ProductVariant.h"
#include "ui/MainWindow.h"

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
    const QString title = QString::fromUtf8(BuildInfo::Title);
    QApplication::setApplicationName(title);
    QApplication::setApplicationVersion(QString::fromUtf8(BuildInfo::Version));

    // The build's title names its product line; the rest of the program is handed the answer.
    MainWindow window(title, QString::fromUtf8(BuildInfo::Version), ProductVariants::forTitle(title));
    window.show();
    return app.exec();
}
