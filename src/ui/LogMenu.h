#pragma once

#include "ui/LogSaveDialog.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class LogList;
class QAction;
class QListWidget;
class QMenu;
class QPoint;

// The log list's context menu (`mnuLog`): Copy the selected line (also Ctrl+C on the list), Copy
// All, and Save Log As... (a UTF-8 text file). It reads the log as written: whatever the list is
// still holding back (see LogList) is shown first.
class LogMenu : public QObject
{
    Q_OBJECT
public:
    // Returns the full path to save to, or "" to cancel; suggestedPath is a full path.
    using SaveChooser = std::function<QString(const QString& suggestedPath)>;

    // window: the parent of the save dialog.
    LogMenu(QListWidget* list, LogList& log, QWidget* window);

    // Replaces the save dialog, e.g. in tests.
    void setSaveChooser(SaveChooser chooser);
    // Closes the save dialog as if cancelled, when it is open (the window is closing).
    void cancel();

    void copySelection();
    void copyAll();
    void saveAs();

signals:
    // A log could not be saved; message says where and why, as one line for the log.
    void saveFailed(const QString& message);

private:
    void showMenu(const QPoint& at);
    QStringList lines() const;
    QStringList selectedLines() const;
    QString suggestedPath() const;

    QListWidget* m_list;
    LogList& m_log;
    QMenu* m_menu;
    QAction* m_copy;
    QAction* m_copyAll;
    QAction* m_save;
    LogSaveDialog m_saveDialog;
    SaveChooser m_saveChooser;
    QString m_lastSaveFolder; // where the last log was saved; "" before the first
};
