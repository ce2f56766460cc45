#pragma once

#include <QString>

class QFileDialog;
class QWidget;

// The dialog that asks where to save the log (`dlgSaveLog`). Like the file-open dialog it belongs
// to the window for the window's whole life.
class LogSaveDialog
{
public:
    static constexpr const char* Title = "Save Log As";
    static constexpr const char* Filters = "Text Files (*.txt);;All Files (*)";

    explicit LogSaveDialog(QWidget* window);

    // Shows the dialog modally with the suggested full path filled in and returns the chosen full
    // path, or an empty string on Cancel. Replacing an existing file is confirmed first.
    QString choose(const QString& suggestedPath);
    // Closes the dialog as if cancelled, when it is open (the window is closing).
    void cancel();

private:
    QWidget* m_window;
    QFileDialog* m_dialog = nullptr; // created at the first opening, owned by the window
};
