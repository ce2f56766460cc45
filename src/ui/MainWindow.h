#pragma once

#include <QMainWindow>

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    MainWindow(const QString& applicationTitle, const QString& version, QWidget* parent = nullptr);
};
