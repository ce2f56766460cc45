#include "BuildInfo.h"
#include "MainWindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(BuildInfo::Title));
    QApplication::setApplicationVersion(QString::fromUtf8(BuildInfo::Version));
#ifdef UPLOADER_DESKTOP_FILE_NAME
    // The installed desktop entry's name: the desktop shows that entry's name and icon for the window.
    QGuiApplication::setDesktopFileName(QStringLiteral(UPLOADER_DESKTOP_FILE_NAME));
#endif

    MainWindow window(QString::fromUtf8(BuildInfo::Title), QString::fromUtf8(BuildInfo::Version));
    window.show();
    return app.exec();
}
