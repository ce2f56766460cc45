#pragma once

#include "history/UpdateHistory.h"
#include "settings/SettingsStore.h"
#include "ui/FirmwareFileDialog.h"
#include "ui/HistoryDialog.h"
#include "ui/LogMenu.h"
#include "ui/MainWindowControls.h"
#include "ui/MainWindowMenus.h"
#include "ui/UpdateController.h"
#include "ui/UploadWindow.h"

#include <QMainWindow>
#include <QTimer>

#include <functional>

class LogList;
class QLabel;
struct ProductVariant;

// The operator's one window (`frmMain`). It owns the settings store of its title, the window's
// side of updates (UpdateController) and the status timer, and maps their operations onto its
// controls; each update itself is an engine job.
class MainWindow : public QMainWindow, public UploadWindow
{
    Q_OBJECT
public:
    // The status refresh period, in program milliseconds: before and after the first connection.
    static constexpr int StatusPeriodMs = 1000;
    static constexpr int ConnectedStatusPeriodMs = 333;
    // How much taller Tools > Debug makes the window: the log list grows by as much.
    static constexpr int DebugExtraHeight =
        MainWindowControls::DebugLogHeight - MainWindowControls::LogHeight;

    // The settings key that names where updates are recorded (a history URL, see HistoryLocation);
    // set by whoever sets up the station, read at start-up, never written by the window.
    static constexpr const char* HistoryLocationKey = "HistoryLocation";
    // How long closing the window waits for the history to write the last rows.
    static constexpr int HistoryCloseTimeoutMs = 3000;

    // product: the product line of the build, decided from its title by the caller; nullptr for
    // a title that names none.
    MainWindow(const QString& applicationTitle, const QString& version, const ProductVariant* product,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    // Replaces the file-open dialog, e.g. in tests; the chooser returns a full path or "" (Cancel).
    void setFileChooser(std::function<QString()> chooser);
    // Replaces the log's save dialog, e.g. in tests (see LogMenu::SaveChooser).
    void setLogSaveChooser(LogMenu::SaveChooser chooser);

    // Replaces the History dialog's CSV save dialog, e.g. in tests.
    void setHistoryCsvChooser(HistoryDialog::CsvChooser chooser);
    // File > History...: opens the dialog (or raises it) and reads the latest updates.
    HistoryDialog* showHistory();

    UpdateController& updates() { return m_updates; }
    UpdateHistory& history() { return m_history; }
    // The history's warning as the window shows it beside the status line; "" when there is none.
    QString historyWarning() const;
    // Real time per program time for the status refresh and every wait of an update; tests
    // shrink it, operators keep 1.
    void setTimeScale(double scale);
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
    void describeFirmwareFile();
    void onLoopChosen();
    void onDebugChosen();
    void onStatusTick();
    void showHistoryWaiting(qint64 count);
    void showHistoryWarning(const QString& message);
    QAction* modeAction(Mode mode) const;
    // The log, holding changes back while records stream (see LogList).
    LogList& log() const;
    bool isStreaming() const { return m_updates.isStreaming(); }
    int realInterval(int programMs) const;
    // Shows the progress value held back while records streamed.
    void showProgress();

    const QString m_title;
    const ProductVariant* const m_product;
    SettingsStore m_settings;
    // Before the controller: its last update is recorded when it goes.
    UpdateHistory m_history;
    UpdateController m_updates;
    MainWindowControls m_controls;
    MainWindowMenus m_menus;
    LogList* m_log = nullptr;
    LogMenu* m_logMenu = nullptr;
    QTimer* m_statusTimer;
    int m_statusPeriodMs = StatusPeriodMs;
    int m_startHeight = 0; // menu bar and client area, without the window system's frame
    double m_progressMaximum = 100.0;
    // While records stream the bar moves with the log (every LogList::FrameMs), not once a
    // record: its value change alone (repaint check, accessibility event) cost about a tenth of
    // the tool's own time per record.
    QTimer* m_progressFrame;
    int m_pendingProgress = -1; // bar units; -1 when nothing is held back
    FirmwareFileDialog m_fileDialog;
    HistoryDialog* m_historyDialog = nullptr;
    HistoryDialog::CsvChooser m_historyCsvChooser;
    QLabel* m_historyWarning = nullptr;
    qint64 m_historyWaiting = 0; // rows recorded here that the shared history does not have yet
    std::function<QString()> m_fileChooser;
    bool m_closed = false;
};
