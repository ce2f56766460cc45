#include "MainWindow.h"

MainWindow::MainWindow(const QString& applicationTitle, const QString& version, QWidget* parent)
    : QMainWindow(parent)
{
    setWindowTitle(applicationTitle + QStringLiteral(" v") + version);
}
