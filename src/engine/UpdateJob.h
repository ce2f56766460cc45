#pragma once

#include "engine/FirmwareCheckResult.h"
#include "engine/RecordStream.h"
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

class FirmwareCheckTask;

// One update of one unit, from the firmware check to the unit's reboot: checks the whole HEX file
// (a file that cannot be sent completely never reaches the unit), connects, names the product,
// sends the file one record per acknowledgement up to its end-of-file record, handles refusals and
// silence, then waits while the unit writes and reboots. Each step runs on a signal or on the job's
// one timer, so any number of jobs run side by side in one thread and nothing blocks.
//
// Its output is signals, told in the unit's terms; front ends add their own advice. finished() is
// emitted exactly once and last: after it the job does nothing more and may be deleted (with
// deleteLater() from a slot of its own signal).
class UpdateJob : public QObject
{
    Q_OBJECT
public:
    // What a front end shows of where the update stands.
    enum class Phase
    {
        Idle,       // not started
        Checking,   // the firmware file is checked; nothing has reached the unit
        Connecting, // waiting for the connection
        Streaming,  // the product code and the records go out, one per acknowledgement
        Stalled,    // the unit gave the unknown reply: nothing more goes out
        Settling,   // the last record went out; a late refusal may still come
        Ending,     // a fault ended the update; the connection closes after the settle wait
        Writing,    // the connection is closed; the unit writes the firmware
        Rebooting,  // the unit reboots
        Done,       // finished() has been emitted
    };
    Q_ENUM(Phase)

    // Lines a front end may word its own way. The text of each is the engine's neutral wording.
    enum class Line
    {
        Plain,
        Disconnecting, // "Disconnecting from <address>": the failed update lets go of the unit
    };
    Q_ENUM(Line)

    explicit UpdateJob(UpdateRequest request, QObject* parent = nullptr);
    // Closes the connection without a word: no signal is emitted from here on.
    ~UpdateJob() override;

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

    Phase phase() const { return phaseOf(m_state); }
    SocketStatus socketStatus() const { return m_ethernet.status(); }
    const UpdateRequest& request() const { return m_request; }

    // "checking", "connecting", "sending", ...: how people and scripts name a phase.
    static QString phaseName(Phase phase);
    // "while connecting", "while sending", ...: when something happened.
    static QString phaseWhile(Phase phase);

signals:
    void logLine(const QString& text, bool debugOnly, UpdateJob::Line line);
    // Bytes of the firmware file read so far, its size, and the records sent.
    void progress(qint64 bytesRead, qint64 fileSize, qint64 recordsSent);
    void phaseChanged(UpdateJob::Phase phase);
    void socketStatusChanged(const SocketStatus& status);
    void socketError(QAbstractSocket::SocketError error, const QString& description);
    void finished(const UpdateResult& result);

private:
    // Every step of the update is one of these; enter() moves from one to the next and arms the
    // job's timer for the new state, and the timer's expiry is handled by the state it fired in.
    enum class State
    {
        Idle,
        Checking,                 // the firmware check runs, in slices
        Connecting,               // the connection is awaited; the timer polls
        AwaitingProductCodeReply, // the product code went out
        AwaitingRecordReply,      // a record went out
        SlowPause,                // a record was read and waits out the Slow pause
        Stalled,                  // the unit gave the unknown reply; held for stalledHold
        Settling,                 // the end-of-file record went out; a late refusal may come
        Ending,                   // a fault ended the update; the settle wait before closing
        Uploaded,                 // closed; the wait before the unit starts writing
        Writing,                  // the product's write wait
        Rebooting,                // the product's reboot wait
        Done,
    };

    static Phase phaseOf(State state);
    void enter(State next);
    void onTimer();
    bool awaitsReply() const
    {
        return m_state == State::AwaitingProductCodeReply || m_state == State::AwaitingRecordReply;
    }
    // The unit has the update under way: a refusal or a lost connection ends it.
    bool isSending() const
    {
        return awaitsReply() || m_state == State::SlowPause || m_state == State::Stalled;
    }

    void log(const QString& text, Line line = Line::Plain);
    void logDebug(const QString& text);
    qint64 elapsedMs(const QElapsedTimer& since) const;
    QString address() const;
    QString checkInput() const;

    void checked(const FirmwareCheckResult& result);
    void beginConnecting();
    void poll();
    void endConnectionWait();
    void connectionFailed(UpdateOutcome outcome, const QString& reason);
    void identify();

    void onDataArrival();
    void handleReply(UnitReplies::Code code);
    void flooded();
    void sendNextRecord();
    void sendRecord(const RecordStream::Record& record);
    void stall();
    void fault(UpdateOutcome outcome, const QStringList& lines);
    void replyTimedOut();
    void onSocketError(QAbstractSocket::SocketError error, const QString& description);
    void onConnectionLost();

    void finishSucceeded();
    void finishFailed();
    void complete();

    const UpdateRequest m_request;
    Ethernet m_ethernet;
    RecordStream m_stream;
    ReplyReader m_replies;
    FirmwareCheckTask* m_check = nullptr;
    QTimer m_timer;
    QElapsedTimer m_sinceStart;
    QElapsedTimer m_sinceConnect;
    QElapsedTimer m_sinceTransfer;

    State m_state = State::Idle;
    bool m_debug = false;
    bool m_slow = false;
    RecordStream::Record m_pendingRecord; // SlowPause: the record that goes out when the pause ends
    std::chrono::milliseconds m_awaitedReply{0};
    QString m_lastSocketError;
    UpdateResult m_result;
};
