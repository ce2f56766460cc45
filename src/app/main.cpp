#include "BuildInfo.h"
#include "MainWindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(BuildInfo::Title));
    QApplication::setApplicationVersion(QString::fromUtf8(BuildInfo::Version));

    MainWindow window(QString::fromUtf8(BuildInfo::Title), QString::fromUtf8(BuildInfo::Version));
    window.show();
    return app.exec();
}
