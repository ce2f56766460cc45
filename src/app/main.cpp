#include "BuildInfo.h"
#include "settings/ProductVariant.h"
#include "ui/MainWindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QString title = QString::fromUtf8(BuildInfo::Title);
    QApplication::setApplicationName(title);
    QApplication::setApplicationVersion(QString::fromUtf8(BuildInfo::Version));

    // The build's title names its product line; the rest of the program is handed the answer.
    MainWindow window(title, QString::fromUtf8(BuildInfo::Version), ProductVariants::forTitle(title));
    window.show();
    return app.exec();
}
