#pragma once

class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMainWindow;
class QProgressBar;
class QPushButton;
class QStatusBar;

// The window's controls, placed at fixed positions as the operator has always seen them: the
// file frame with its label, the connection frame with the address and port boxes and Load and
// Start, the progress bar, the log list and the status bar.
struct MainWindowControls
{
    // Client area below the menu bar, in pixels.
    static constexpr int ClientWidth = 385;
    static constexpr int ClientHeight = 287;
    // The log list's height, in pixels, with Debug off and on.
    static constexpr int LogHeight = 49;
    static constexpr int DebugLogHeight = 390;

    QGroupBox* frmFirmwareFile = nullptr;
    QLabel* firmwareFile = nullptr;
    QGroupBox* frmConnectionSettings = nullptr;
    QLabel* lblAddress = nullptr;
    QLineEdit* ethernetAddress = nullptr;
    QLabel* lblPort = nullptr;
    QLineEdit* ethernetPort = nullptr;
    QPushButton* loadStart = nullptr;
    QProgressBar* progressBar = nullptr;
    QListWidget* listBox = nullptr;
    QStatusBar* statusBar = nullptr;
    QLabel* statusText = nullptr; // the status line, the status bar's one text

    // Creates the controls on the window's central widget and status bar, sets the window's
    // font and the keyboard focus order.
    static MainWindowControls build(QMainWindow& window);
};
