#pragma once

#include "engine/FirmwareCheck.h"
#include "engine/FirmwareFile.h"
#include "engine/ReplyReader.h"
#include "engine/UpdateRequest.h"
#include "engine/UpdateResult.h"
#include "platform/Ethernet.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

// One update of one unit, from the firmware check to the unit's reboot: checks the whole HEX file
// (a file that cannot be sent completely never reaches the unit), connects, names the product,
// sends the file one record per acknowledgement up to its end-of-file record, handles refusals and
// silence, then waits while the unit writes and reboots. Each step runs on a signal or on one of the job's
// own timers, so any number of jobs run side by side in one thread and nothing blocks.
//
// Its output is signals. finished() is emitted exactly once and last: after it the job does
// nothing more and may be deleted (with deleteLater() from a slot of its own signal).
class UpdateJob : public QObject
{
    Q_OBJECT
public:
    enum class Phase
    {
        Idle,       // not started
        Checking,   // the firmware file is checked; nothing has reached the unit
        Connecting, // waiting for the connection
        Streaming,  // the product code and the records go out, one per acknowledgement
        Stalled,    // the unit gave the unknown reply: nothing more goes out; the connection
                    // stays open until abort(), a refusal or the unit's close
        Settling,   // the last record went out; a late refusal may still come
        Ending,     // a fault ended the update; the connection closes after the settle wait
        Writing,    // the connection is closed; the unit writes the firmware
        Rebooting,  // the unit reboots
        Done,       // finished() has been emitted
    };
    Q_ENUM(Phase)

    explicit UpdateJob(UpdateRequest request, QObject* parent = nullptr);
    // Closes the connection without a word: no signal is emitted from here on.
    ~UpdateJob() override;

    // The firmware check reads this much at a time, between events.
    static constexpr qint64 CheckSlice = 256 * 1024;

    // Starts the update; the first signals may come before it returns (a small file is checked at
    // once, and a bad address ends the update at once).
    void start();
    // Ends the update at once: the connection is closed, nothing more is sent, and finished()
    // comes before this returns (Cancelled; UnknownReply when the update had stalled on it).
    void abort();

    // Debug: the lines only a debugging operator wants (raw bytes, each record) are emitted too.
    // Slow: a pause of SlowPause between reading a record and sending it. Both may change at any
    // time and count from their next use.
    void setDebug(bool on) { m_debug = on; }
    void setSlow(bool on) { m_slow = on; }

    Phase phase() const { return m_phase; }
    int connectionState() const { return m_ethernet.state(); }
    const UpdateRequest& request() const { return m_request; }

signals:
    void logLine(const QString& text, bool debugOnly);
    // Bytes of the firmware file read so far, its size, and the records sent.
    void progress(qint64 bytesRead, qint64 fileSize, qint64 recordsSent);
    void phaseChanged(UpdateJob::Phase phase);
    // A socket state 0-9 (see Ethernet).
    void connectionStateChanged(int state);
    // A Windows Sockets error number and the socket's description.
    void socketError(int number, const QString& description);
    void finished(const UpdateResult& result);

private:
    void log(const QString& line);
    void logDebug(const QString& line);
    void setPhase(Phase phase);
    void after(std::chrono::milliseconds programTime, std::function<void()> step);
    qint64 elapsedMs(const QElapsedTimer& since) const;
    QString checkInput(int& port) const;

    void checkSlice();
    void checked(const FirmwareCheckResult& result);
    void beginConnecting();
    void onPoll();
    void onConnected();
    void endConnectionWait();
    void connectionFailed(UpdateOutcome outcome, const QString& reason);
    void identify();
    bool send(const QByteArray& bytes, std::chrono::milliseconds replyTimeout);

    void onDataArrival();
    void handleReply(UnitReplies::Code code);
    void flooded();
    void sendNextRecord();
    void sendRecord(const QByteArray& line);
    void endOfFile();
    void stall();
    void fault(UpdateOutcome outcome, const QStringList& lines);
    void onReplyTimeout();
    void onSocketError(int number, const QString& description);
    void onConnectionLost();

    void finish();
    void complete();

    const UpdateRequest m_request;
    Ethernet m_ethernet;
    FirmwareFile m_firmware;
    ReplyReader m_replies;
    std::unique_ptr<FirmwareCheck> m_check;
    QTimer m_checkSlices;
    QTimer m_poll;
    QTimer m_replyTimer;
    QTimer m_step;
    std::function<void()> m_nextStep;
    QElapsedTimer m_sinceStart;
    QElapsedTimer m_sinceConnect;
    QElapsedTimer m_sinceTransfer;

    Phase m_phase = Phase::Idle;
    bool m_debug = false;
    bool m_slow = false;
    // While set, an acknowledgement does not pull the next record from the file.
    bool m_streamHold = true;
    bool m_uploadSucceeded = false;
    bool m_recordWaiting = false; // read, and waiting out the Slow pause
    std::chrono::milliseconds m_awaitedReply{0};
    QString m_lastSocketError;
    UpdateResult m_result;
};
