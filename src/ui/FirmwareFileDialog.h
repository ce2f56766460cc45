#pragma once

#include <QString>

class QFileDialog;
class QWidget;

// The window's file-open dialog (`dlgCommonDialog`). It belongs to the window for the window's
// whole life and is set up afresh every time it opens.
class FirmwareFileDialog
{
public:
    static constexpr const char* Title = "Open Firmware File";
    static constexpr const char* Filter = "Firmware Files (*.hex)";

    explicit FirmwareFileDialog(QWidget* window);

    // Shows the dialog modally and returns the full path of the chosen file, or an empty string
    // on Cancel. Only an existing file can be chosen. It opens in the folder of lastChoice, the
    // file chosen before; with none, or when that folder has gone, in the current directory.
    QString choose(const QString& lastChoice = QString());
    // Closes the dialog as if cancelled, when it is open (the window is closing).
    void cancel();

private:
    QWidget* m_window;
    QFileDialog* m_dialog = nullptr; // created at the first opening, owned by the window
};
