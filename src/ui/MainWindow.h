#pragma once

#include "MainWindowControls.h"
#include "MainWindowMenus.h"

#include "FirmwareFileDialog.h"
#include "SettingsStore.h"
#include "UploadWindow.h"
#include "Uploader.h"

#include <QMainWindow>
#include <QTimer>

#include <functional>

class Ethernet;
class LogList;

// The operator's one window (`frmMain`). It owns the socket to the unit, the settings store of
// its title, the upload engine and the status timer, and maps the engine's operations onto its
// controls; the update logic itself lives in the engine.
class MainWindow : public QMainWindow, public UploadWindow
{
    Q_OBJECT
public:
    // The status refresh period, in program milliseconds: before and after the first connection.
    static constexpr int StatusPeriodMs = 1000;
    static constexpr int ConnectedStatusPeriodMs = 333;
    // The window's outer height, in pixels, with Debug off and on.
    static constexpr int OuterHeight = 5040 / 15;
    static constexpr int DebugOuterHeight = 10080 / 15;

    MainWindow(const QString& applicationTitle, const QString& version, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Replaces the file-open dialog, e.g. in tests; the chooser returns a full path or "" (Cancel).
    void setFileChooser(std::function<QString()> chooser);

    Uploader& uploader() { return m_uploader; }
    QString statusText() const;
    int statusPeriodMs() const { return m_statusPeriodMs; }

    // UploadWindow
    void appendLog(const QString& line) override;
    void clearLog() override;
    int logCount() const override;
    void removeFirstLogLine() override;
    int selectedLogIndex() const override;
    void selectLogIndex(int index) override;
    void setLogColour(LogColour colour) override;
    void setProgressMaximum(double maximum) override;
    double progressMaximum() const override;
    void setProgressValue(double value) override;
    void setStatusText(const QString& text) override;
    void setControlEnabled(Control control, bool enabled) override;
    QString ethernetAddress() const override;
    QString ethernetPort() const override;
    void setEthernetAddress(const QString& text) override;
    void setEthernetPort(const QString& text) override;
    void setFirmwareFileCaption(const QString& caption) override;
    bool isChecked(Mode mode) const override;
    void setChecked(Mode mode, bool checked) override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void chooseFirmwareFile();
    void onLoopChosen();
    void onDebugChosen();
    void onStatusTick();
    void onSocketError(int number, const QString& description);
    void setOuterHeight(int pixels);
    QAction* modeAction(Mode mode) const;
    // The log, holding changes back while records stream (see LogList).
    LogList& log() const;
    bool isStreaming() const { return m_uploader.phase() == Uploader::Phase::Streaming; }
    // Shows the progress value held back while records streamed.
    void showProgress();

    const QString m_title;
    SettingsStore m_settings;
    Ethernet* m_ethernet;
    Uploader m_uploader;
    MainWindowControls m_controls;
    MainWindowMenus m_menus;
    LogList* m_log = nullptr;
    QTimer* m_statusTimer;
    int m_statusPeriodMs = StatusPeriodMs;
    double m_progressMaximum = 100.0;
    // While records stream the bar moves with the log (every LogList::FrameMs), not once a
    // record: its value change alone (repaint check, accessibility event) cost about a tenth of
    // the tool's own time per record.
    QTimer* m_progressFrame;
    int m_pendingProgress = -1; // bar units; -1 when nothing is held back
    FirmwareFileDialog m_fileDialog;
    std::function<QString()> m_fileChooser;
    bool m_closed = false;
};
