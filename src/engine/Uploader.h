#pragma once

#include "FirmwareFile.h"
#include "UploadWindow.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>

class Ethernet;
class SettingsStore;
struct ProductVariant;

// Runs an update from the operator's Load and Start to the unit's reboot: connects, names the
// product, streams the HEX file one record per acknowledgement, handles refusals, and finishes.
// It reaches the operator only through UploadWindow. Every handler runs on the window's thread;
// waits pump events, so handlers nest, and each one re-checks the update after it has waited.
class Uploader : public QObject
{
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds ConnectionPoll{100};
    static constexpr double ConnectionLimitSeconds = 3.3;
    static constexpr std::chrono::milliseconds SlowPause{30};
    static constexpr std::chrono::milliseconds SettleWait{100};
    static constexpr std::chrono::milliseconds WriteStartWait{1000};
    static constexpr std::chrono::milliseconds LoopRestartWait{2000};
    // A unit that has not answered a message for this long is taken to be gone.
    static constexpr std::chrono::milliseconds ReplyTimeout{15000};
    static constexpr int LogLineLimit = 25000;

    // Where an update stands; the Parts' flags (StreamHold, UploadSucceeded) are kept as well.
    enum class Phase {
        Idle,       // no update, or the last one has ended
        Connecting, // waiting for the connection
        Streaming,  // records go out, one per acknowledgement
        Stalled,    // the unit gave the unknown reply: controls are back, file and connection stay
        Finishing,  // the last record went out, or the update is ending after a fault
    };

    Uploader(UploadWindow& window, Ethernet& ethernet, SettingsStore& settings, QString applicationTitle,
             QObject* parent = nullptr);
    ~Uploader() override;

    // Operator actions and events.
    void loadStart();
    void onDataArrival();
    void finishUpload();
    void scrollLog();
    void loadConnectionSettings();
    void forget();
    void resetLoopCount();
    // The window is closing: stops everything at once; nothing more is sent, shown or saved.
    void shutdown();

    void setFirmwarePath(const QString& path) { m_firmwarePath = path; }
    QString firmwarePath() const { return m_firmwarePath; }

    // The update state, for the window and for tests.
    bool streamHold() const { return m_streamHold; }
    double startTime() const { return m_startTime; }
    QByteArray rxBuffer() const { return m_rxBuffer; }
    qint16 loopCount() const { return m_loopCount; }
    bool uploadSucceeded() const { return m_uploadSucceeded; }
    Phase phase() const { return m_phase; }
    bool isUpdateRunning() const { return m_phase == Phase::Connecting || m_phase == Phase::Streaming || m_phase == Phase::Finishing; }
    bool isFirmwareFileOpen() const { return m_firmware.isOpen(); }

signals:
    void updateStarted();
    // Emitted when FinishUpload has given the window back (before a Loop restart).
    void updateFinished(bool succeeded);

private:
    void log(const QString& line);
    void logDebug(const QString& line);
    bool debug() const;
    void setUpdateControlsEnabled(bool enabled);
    // Waits and reports whether the current update may go on afterwards.
    bool waitWithin(std::chrono::milliseconds duration, quint64 update);

    bool checkConnectionInput(const ProductVariant*& variant, int& port);
    void connectionFailed();
    bool identify(const ProductVariant& variant);
    bool send(const QByteArray& bytes, bool awaitReply);

    void sendNextRecord();
    void endOfFile();
    void refusal(const QString& line);
    void unknownReply();
    void endAfterFault(const QStringList& lines);
    void onReplyTimeout();
    void onConnectionLost();
    void saveConnectionSettings();

    UploadWindow& m_window;
    Ethernet& m_ethernet;
    SettingsStore& m_settings;
    const QString m_title;

    // Update state shared across events.
    bool m_streamHold = false;
    double m_startTime = 0.0;
    QString m_firmwarePath;
    QByteArray m_rxBuffer;
    qint16 m_loopCount = 0;
    bool m_uploadSucceeded = false;

    FirmwareFile m_firmware;
    Phase m_phase = Phase::Idle;
    quint64 m_update = 0; // counts updates, so a handler notices one that started during its wait
    quint64 m_completedUpdate = 0;
    QTimer m_replyTimer;
    bool m_shutdown = false;
};
