#pragma once

#include "engine/FirmwareCheckResult.h"
#include "engine/UpdateJob.h"
#include "engine/UpdateResult.h"
#include "history/UpdateRecorder.h"
#include "ui/UploadWindow.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>

class FirmwareCheckTask;
class FirmwareSignatureCheck;
struct SignatureVerdict;
class SettingsStore;
class UpdateHistory;
struct ProductVariant;
struct UpdateRequest;

// The window's side of an update: starts an update job from the boxes and the Tools menu, shows
// what the job reports in the log, the progress bar and the status line, gives the controls back,
// and keeps the window's own rules: the log's line limit, Loop, and saving the address and port
// after a complete update.
class UpdateController : public QObject
{
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds LoopRestartWait{2000};
    static constexpr int LogLineLimit = 25000;

    UpdateController(UploadWindow& window, SettingsStore& settings, QString title,
                     const ProductVariant* product, QObject* parent = nullptr);
    ~UpdateController() override;

    // Load and Start; also the Loop restart.
    void loadStart();
    // Keeps the log within its limit and its last line selected.
    void scrollLog();
    void loadConnectionSettings();
    void forget();
    void resetLoopCount() { m_loopCount = 0; }
    // A socket error: the log turns red and says what it was, with a hint for a refused connection.
    void showSocketError(QAbstractSocket::SocketError error, const QString& description);
    // Tools > Debug or Slow changed: the running update follows from its next line or record.
    void modesChanged();
    // The window is closing: the update stops where it is; nothing more is sent, shown or saved.
    void shutdown();

    // Where every update is recorded (one row each: its log as the window shows it, its end); none
    // by default. The history must outlive the controller's last update.
    void setHistory(UpdateHistory* history)
    {
        m_recorder = UpdateRecorder(history, QStringLiteral("window"));
    }

    // Real time per program time for every wait (tests shrink it); 1 for operators.
    void setTimeScale(double scale) { m_timeScale = scale; }
    double timeScale() const { return m_timeScale; }

    // A file chosen: it is checked at once (a large one in slices, between events). Until the
    // check has passed, Load and Start stays disabled; a file that fails it says why in the log.
    void chooseFirmware(const QString& path);
    QString firmwarePath() const { return m_firmwarePath; }
    bool isFirmwareUsable() const { return m_firmwareUsable; }
    // The SHA-256 of the chosen file as its check read it (lower-case hex); empty until then.
    QString firmwareSha256() const { return m_firmwareSha256; }
    // Who signed the chosen file, when the settings name release keys (AllowedSigners).
    QString firmwareSigner() const { return m_firmwareSigner; }
    bool isCheckingFirmware() const { return m_check != nullptr || m_signatureCheck != nullptr; }

    // The settings key of the release keys' allowed-signers file; read, never written.
    static constexpr const char* AllowedSignersKey = "AllowedSigners";
    qint16 loopCount() const { return m_loopCount; }
    bool lastSucceeded() const { return m_lastSucceeded; }
    // An update whose controls are still taken; one stalled on the unknown reply has given them back.
    bool isUpdateRunning() const { return m_job && m_job->phase() != UpdateJob::Phase::Stalled; }
    bool isStalled() const { return m_job && m_job->phase() == UpdateJob::Phase::Stalled; }
    bool isStreaming() const { return m_job && m_job->phase() == UpdateJob::Phase::Streaming; }
    // For the status line: the socket's state number (see ConnectionStatus) and the host of the
    // last connection.
    int socketState() const { return m_socketState; }
    QString remoteHost() const { return m_remoteHost; }

signals:
    void firmwareChecked(bool usable);
    void updateStarted();
    // The update has ended and the window is the operator's again (before a Loop restart).
    void updateFinished(bool succeeded);

private:
    void setUpdateControlsEnabled(bool enabled);
    // Ends the job without another word to the window; its row ends with the job's own outcome,
    // or as cancelled with `reason` when one is given and the update had not already failed.
    void dropJob(const QString& reason = {});
    // A line of the update's log: in the window and in the update's row.
    void showLine(const QString& text, bool debugOnly = false);
    void recordEnd(const UpdateResult& result);
    // The unit the boxes name, or why they name none (the reason, and the line that says it).
    bool readUnit(UpdateRequest& request, QString* reason, QString* line) const;
    // Boxes that name no unit: the update ends before it starts, in the words of one that could not
    // connect, and nothing is sent.
    void refuseInput(const UpdateRequest& request, const QString& reason, const QString& line);
    void onLogLine(const QString& text, bool debugOnly, UpdateJob::Line line);
    void onProgress(qint64 bytesRead, qint64 fileSize, qint64 recordsSent);
    void onPhaseChanged(UpdateJob::Phase phase);
    void onSocketStatus(const SocketStatus& status);
    void onFinished(const UpdateResult& result);
    void saveConnectionSettings();
    void onFirmwareChecked(const FirmwareCheckResult& result);
    void onSignatureChecked(const SignatureVerdict& verdict);
    void stopFirmwareChecks();
    void firmwareRefused(const QString& line);
    // Load and Start is the operator's when no update runs and the chosen file passed its check.
    void enableLoadStartIfUsable();

    UploadWindow& m_window;
    SettingsStore& m_settings;
    const QString m_title;
    const ProductVariant* const m_product;
    QPointer<UpdateJob> m_job;
    UpdateRecorder m_recorder{nullptr, QStringLiteral("window")};
    HistoryHandle m_historyHandle = 0; // the row of the update under way, 0 when none
    QTimer m_loopRestart;
    double m_timeScale = 1.0;
    QString m_firmwarePath;
    bool m_firmwareUsable = false;
    QString m_firmwareSha256;
    qint64 m_firmwareRecordsToSend = 0;
    FirmwareCheckTask* m_check = nullptr;
    FirmwareSignatureCheck* m_signatureCheck = nullptr;
    QString m_firmwareSigner;
    qint16 m_loopCount = 0;
    bool m_lastSucceeded = false;
    bool m_progressSized = false;
    int m_socketState = 0;
    QString m_remoteHost;
    bool m_shutdown = false;
};
