#include "BuildInfo.h"
#include "process/QtDiagnostics.h"
#include "settings/ProductVariant.h"
#include "ui/MainWindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QtDiagnostics::keepOffStandardError();
    QApplication app(argc, argv);
    const QString title = QString::fromUtf8(BuildInfo::Title);
    QApplication::setApplicationName(title);
    QApplication::setApplicationVersion(QString::fromUtf8(BuildInfo::Version));
#ifdef UPLOADER_DESKTOP_FILE_NAME
    // The installed desktop entry's name: the desktop shows that entry's name and icon for the window.
    QGuiApplication::setDesktopFileName(QStringLiteral(UPLOADER_DESKTOP_FILE_NAME));
#endif

    // The build's title names its product line; the rest of the program is handed the answer.
    MainWindow window(title, QString::fromUtf8(BuildInfo::Version), ProductVariants::forTitle(title));
    window.show();
    return app.exec();
}
