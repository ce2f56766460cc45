#pragma once

#include "engine/FirmwareCheckResult.h"
#include "engine/RecordStream.h"
#include "engine/ReplyReader.h"
#include "engine/UpdateRequest.h"
#include "engine/UpdateResult.h"
#include "platform/Ethernet.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <optional>

class FirmwareCheckTask;

// One update of one unit, from the firmware check to the unit's reboot: checks the whole HEX file
// (a file that cannot be sent completely never reaches the unit), connects, names the product,
// sends the file one record per acknowledgement up to its end-of-file record, handles refusals and
// silence, then waits while the unit writes and reboots. Each step runs on a signal or on the job's
// one timer, so any number of jobs run side by side in one thread and nothing blocks.
//
// Its output is signals, told in the unit's terms; front ends add their own advice. finished() is
// emitted exactly once and last: after it the job does nothing more and may be deleted (with
// deleteLater() from a slot of its own signal). Each step first acts (its state, its timer, what
// goes to the unit, the file) and then tells what it did, so a receiver of any signal may call
// abort(): the step has nothing left to do, and nothing more is emitted once the job is done.
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
    // Every step of the update is one of these; setState() moves from one to the next and arms the
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

    // How the connection wait ended: the socket said it is connected, the poll saw it, or the
    // time limit passed.
    enum class WaitEnd
    {
        Signalled,
        Polled,
        OverLimit,
    };
    // What naming the product did, for its reports.
    struct Identified
    {
        std::optional<RecordStream::Problem> noFile; // the firmware file could not be opened
        qint64 fileSize = 0;
    };
    // A record that went out.
    struct Sent
    {
        qint64 bytesRead = 0;
        qint64 fileSize = 0;
        qint64 recordsSent = 0;
        bool last = false;
    };
    // What going on to the next record did, for its reports.
    struct RecordStep
    {
        QList<RecordStream::Skipped> skipped;
        QByteArray record; // the record read; empty when the stream had a problem instead
        bool paused = false;
        std::optional<Sent> sent;
    };

    static Phase phaseOf(State state);
    void setState(State next);
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

    // The job's acts on its socket. The status changes they cause are held and told with the
    // step's reports (tellSocketStatus()), so no receiver runs while a step still acts.
    void connectSocket();
    bool send(const QByteArray& bytes);
    void closeSocket();
    void onSocketStatus(const SocketStatus& status);

    // Everything the job emits goes through these, and none emits anything once the job is Done.
    void log(const QString& text, Line line = Line::Plain);
    void logDebug(const QString& text);
    void tellProgress(qint64 bytesRead, qint64 fileSize, qint64 recordsSent);
    void tellPhase();
    void tellSocketStatus();
    void tellSocketError(QAbstractSocket::SocketError error, const QString& description);
    void tellFault();

    qint64 elapsedMs(const QElapsedTimer& since) const;
    QString address() const;
    QString checkInput() const;

    // A step split in two acts in the first function and tells what it did in its tell...() half,
    // which runs once nothing is left to do.
    void checked(const FirmwareCheckResult& result);
    void beginConnecting();
    void poll();
    void endConnectionWait(WaitEnd how);
    Identified identify();
    void tellIdentified(const Identified& identified);
    void connectionFailed(UpdateOutcome outcome, const QString& reason);
    void tellConnectionFailed();

    void onDataArrival();
    void handleReply(UnitReplies::Code code);
    void flooded();
    RecordStep sendNextRecord();
    void tellRecordStep(const RecordStep& step);
    std::optional<Sent> sendRecord(const RecordStream::Record& record);
    void tellSent(const std::optional<Sent>& sent);
    void stall();
    void fault(UpdateOutcome outcome, const QStringList& lines);
    void replyTimedOut();
    void onSocketError(QAbstractSocket::SocketError error, const QString& description);
    void onConnectionLost();

    void finishSucceeded();
    void shutDown();
    void endFailed();
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
    Phase m_toldPhase = Phase::Idle;
    bool m_debug = false;
    bool m_slow = false;
    RecordStream::Record m_pendingRecord; // SlowPause: the record that goes out when the pause ends
    std::chrono::milliseconds m_awaitedReply{0};
    QString m_lastSocketError;
    // Told with the reports of the step that acted: socket status changes, a fault's lines.
    bool m_holdStatus = false;
    QList<SocketStatus> m_heldStatus;
    QStringList m_faultLines;
    UpdateResult m_result;
};
