#include "engine/UpdateJob.h"

#include "engine/ElapsedFormat.h"
#include "engine/FirmwareCheckTask.h"
#include "engine/Frames.h"
#include "engine/RecordRules.h"
#include "engine/TextFormat.h"
#include "settings/ProductVariant.h"

#include <QScopedValueRollback>

#include <algorithm>
#include <utility>

namespace {

const QString RefusalAdvice = QStringLiteral("Device responded with an error.  Please try again.");
const QString LostDuringUpload =
    QStringLiteral("The connection to the unit was lost before the upload was complete.");
const QString CheckTheUnit = QStringLiteral("Check the unit and its connection, then try again.");
const QString StalledLine = QStringLiteral("The unit gave an unexpected reply; the update has stopped.");

// The Debug log shows this many received bytes at most, then how many more there are.
constexpr qsizetype DumpBytes = 64;
// One "Spurrious byte" line for each of the first so many stray bytes of an arrival.
constexpr qsizetype StrayLinesPerArrival = 16;

QString boundedDump(const QByteArray& bytes)
{
    if (bytes.size() <= DumpBytes)
        return Frames::hexDump(bytes);
    return Frames::hexDump(bytes.first(DumpBytes)) +
           QStringLiteral(" ... and %1 more bytes").arg(TextFormat::count(bytes.size() - DumpBytes));
}

QString seconds(std::chrono::milliseconds duration)
{
    return QString::number(double(duration.count()) / 1000.0);
}

} // namespace

UpdateJob::UpdateJob(UpdateRequest request, QObject* parent)
    : QObject(parent), m_request(std::move(request)), m_debug(m_request.debug), m_slow(m_request.slow)
{
    // A child, so the job's socket can be found by name; as a member it goes before the job does.
    m_ethernet.setParent(this);
    m_ethernet.setObjectName(QStringLiteral("Ethernet"));
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &UpdateJob::onTimer);
    connect(&m_ethernet, &Ethernet::connected, this, [this] {
        // With Debug the poll goes on for its lines; without, the update goes on at once.
        if (m_state == State::Connecting && !m_debug)
            endConnectionWait(WaitEnd::Signalled);
    });
    connect(&m_ethernet, &Ethernet::statusChanged, this, &UpdateJob::onSocketStatus);
    connect(&m_ethernet, &Ethernet::dataArrival, this, &UpdateJob::onDataArrival);
    connect(&m_ethernet, &Ethernet::error, this, &UpdateJob::onSocketError);
    connect(&m_ethernet, &Ethernet::peerClosed, this, &UpdateJob::onConnectionLost);
}

UpdateJob::~UpdateJob()
{
    m_ethernet.disconnect(this);
    m_ethernet.close();
}

// ---- states -----------------------------------------------------------------------------------

UpdateJob::Phase UpdateJob::phaseOf(State state)
{
    switch (state) {
    case State::Idle:
        return Phase::Idle;
    case State::Checking:
        return Phase::Checking;
    case State::Connecting:
        return Phase::Connecting;
    case State::AwaitingProductCodeReply:
    case State::AwaitingRecordReply:
    case State::SlowPause:
        return Phase::Streaming;
    case State::Stalled:
        return Phase::Stalled;
    case State::Settling:
        return Phase::Settling;
    case State::Ending:
        return Phase::Ending;
    case State::Uploaded:
    case State::Writing:
        return Phase::Writing;
    case State::Rebooting:
        return Phase::Rebooting;
    case State::Done:
        return Phase::Done;
    }
    return Phase::Done;
}

QString UpdateJob::phaseName(Phase phase)
{
    switch (phase) {
    case Phase::Idle:
        return QStringLiteral("starting");
    case Phase::Checking:
        return QStringLiteral("checking");
    case Phase::Connecting:
        return QStringLiteral("connecting");
    case Phase::Streaming:
        return QStringLiteral("sending");
    case Phase::Stalled:
        return QStringLiteral("stalled");
    case Phase::Settling:
        return QStringLiteral("sent");
    case Phase::Ending:
        return QStringLiteral("ending");
    case Phase::Writing:
        return QStringLiteral("writing");
    case Phase::Rebooting:
        return QStringLiteral("rebooting");
    case Phase::Done:
        return QStringLiteral("done");
    }
    return QStringLiteral("?");
}

QString UpdateJob::phaseWhile(Phase phase)
{
    switch (phase) {
    case Phase::Idle:
        return QStringLiteral("before it started");
    case Phase::Checking:
        return QStringLiteral("while checking the firmware file");
    case Phase::Connecting:
        return QStringLiteral("while connecting");
    case Phase::Streaming:
    case Phase::Stalled:
    case Phase::Settling:
    case Phase::Ending:
        return QStringLiteral("while sending");
    case Phase::Writing:
        return QStringLiteral("while the unit was writing the firmware");
    case Phase::Rebooting:
        return QStringLiteral("while the unit was rebooting");
    case Phase::Done:
        break;
    }
    return QStringLiteral("at the end");
}

// The one place the job changes state; what a front end sees of it, tellPhase() tells. Done is
// final.
void UpdateJob::setState(State next)
{
    if (m_state == State::Done)
        return;
    m_state = next;
    m_timer.stop();
    m_timer.setSingleShot(true);
    const UpdateTimings& timings = m_request.timings;
    const ProductVariant* product = m_request.product;
    switch (next) {
    case State::Connecting:
        m_timer.setSingleShot(false);
        m_timer.start(timings.real(UpdateTimings::ConnectPoll));
        break;
    case State::AwaitingProductCodeReply:
        m_awaitedReply = timings.productCodeReplyTimeout;
        m_timer.start(timings.real(m_awaitedReply));
        break;
    case State::AwaitingRecordReply:
        m_awaitedReply = timings.recordReplyTimeout;
        m_timer.start(timings.real(m_awaitedReply));
        break;
    case State::SlowPause:
        m_timer.start(timings.real(UpdateTimings::SlowPause));
        break;
    case State::Stalled:
        if (m_request.stalledHold)
            m_timer.start(timings.real(*m_request.stalledHold));
        break;
    case State::Settling:
    case State::Ending:
        m_timer.start(timings.real(UpdateTimings::Settle));
        break;
    case State::Uploaded:
        m_timer.start(timings.real(UpdateTimings::WriteStart));
        break;
    case State::Writing:
        m_timer.start(timings.real(std::chrono::milliseconds(product->writeWaitMs)));
        break;
    case State::Rebooting:
        m_timer.start(timings.real(std::chrono::milliseconds(product->rebootWaitMs)));
        break;
    case State::Idle:
    case State::Checking:
    case State::Done:
        break;
    }
}

void UpdateJob::onTimer()
{
    switch (m_state) {
    case State::Connecting:
        poll();
        break;
    case State::AwaitingProductCodeReply:
    case State::AwaitingRecordReply:
        replyTimedOut();
        break;
    case State::SlowPause:
        tellSent(sendRecord(std::exchange(m_pendingRecord, {})));
        break;
    case State::Stalled:
        // Nobody decided within the hold: the update ends as the reply it stalled on.
        shutDown();
        tellSocketStatus();
        complete();
        break;
    case State::Settling:
        finishSucceeded();
        break;
    case State::Ending:
        shutDown();
        endFailed();
        break;
    case State::Uploaded:
        setState(State::Writing); // the same phase
        log(QStringLiteral("Writing firmware, DO NOT REMOVE POWER!"));
        break;
    case State::Writing:
        setState(State::Rebooting);
        tellPhase();
        log(QStringLiteral("Waiting for unit to reboot...."));
        break;
    case State::Rebooting:
        m_result.outcome = UpdateOutcome::Succeeded;
        m_result.reason.clear();
        log(QStringLiteral(" "));
        log(QStringLiteral(" "));
        log(QStringLiteral("Done!  Unit is ready to use."));
        log(QStringLiteral(" "));
        complete();
        break;
    case State::Idle:
    case State::Checking:
    case State::Done:
        break;
    }
}

// ---- the socket -------------------------------------------------------------------------------

void UpdateJob::connectSocket()
{
    const QScopedValueRollback holding(m_holdStatus, true);
    m_ethernet.connectToUnit(m_request.host, m_request.port);
}

bool UpdateJob::send(const QByteArray& bytes)
{
    const QScopedValueRollback holding(m_holdStatus, true);
    return m_ethernet.sendData(bytes);
}

void UpdateJob::closeSocket()
{
    const QScopedValueRollback holding(m_holdStatus, true);
    m_ethernet.close();
}

// What the socket does of itself (it connects, fails, or the unit closes it) is told at once.
void UpdateJob::onSocketStatus(const SocketStatus& status)
{
    if (m_holdStatus)
        m_heldStatus.append(status);
    else if (m_state != State::Done)
        emit socketStatusChanged(status);
}

// ---- reports ----------------------------------------------------------------------------------

void UpdateJob::log(const QString& text, Line line)
{
    if (m_state != State::Done)
        emit logLine(text, false, line);
}

void UpdateJob::logDebug(const QString& text)
{
    if (m_debug && m_state != State::Done)
        emit logLine(text, true, Line::Plain);
}

void UpdateJob::tellProgress(qint64 bytesRead, qint64 fileSize, qint64 recordsSent)
{
    if (m_state != State::Done)
        emit progress(bytesRead, fileSize, recordsSent);
}

void UpdateJob::tellPhase()
{
    const Phase now = phaseOf(m_state);
    if (m_state == State::Done || now == m_toldPhase)
        return;
    m_toldPhase = now;
    emit phaseChanged(now);
}

void UpdateJob::tellSocketError(QAbstractSocket::SocketError error, const QString& description)
{
    if (m_state != State::Done)
        emit socketError(error, description);
}

void UpdateJob::tellSocketStatus()
{
    for (const SocketStatus& status : std::exchange(m_heldStatus, {})) {
        if (m_state != State::Done)
            emit socketStatusChanged(status);
    }
}

// The phase a fault moved to, then the lines that say what happened; nothing without a fault.
void UpdateJob::tellFault()
{
    const QStringList lines = std::exchange(m_faultLines, {});
    if (lines.isEmpty())
        return;
    tellPhase();
    for (const QString& line : lines)
        log(line);
}

qint64 UpdateJob::elapsedMs(const QElapsedTimer& since) const
{
    return m_request.timings.programMs(since.nsecsElapsed());
}

QString UpdateJob::address() const
{
    return TextFormat::escaped(m_request.host);
}

// ---- checking and connecting ------------------------------------------------------------------

void UpdateJob::start()
{
    if (m_state != State::Idle)
        return;
    m_sinceStart.start();
    setState(State::Checking);
    m_check = new FirmwareCheckTask(m_request.firmwarePath, m_request.expectedSha256, this);
    connect(m_check, &FirmwareCheckTask::finished, this, &UpdateJob::checked);
    tellPhase();
    // A receiver of the phase that aborted the job has stopped the check: it does nothing now.
    m_check->start();
}

void UpdateJob::checked(const FirmwareCheckResult& result)
{
    m_check->deleteLater();
    m_check = nullptr;
    m_result.sha256 = result.sha256;
    if (result.ok()) {
        m_result.recordsToSend = result.summary.recordsToSend;
        beginConnecting();
        return;
    }
    const QString line = result.refusal(m_request.firmwarePath);
    m_result.outcome = result.kind == FirmwareCheckResult::Kind::Unreadable ? UpdateOutcome::FileError
                                                                            : UpdateOutcome::MalformedFile;
    m_result.reason = line;
    log(line);
    log(QStringLiteral("Nothing was sent to the unit."));
    complete();
}

void UpdateJob::beginConnecting()
{
    const QString complaint = checkInput();
    setState(State::Connecting);
    if (complaint.isEmpty()) {
        connectSocket();
        m_sinceConnect.start();
    } else {
        connectionFailed(UpdateOutcome::BadInput, complaint);
    }

    tellPhase();
    log(QStringLiteral("Connecting to ") + address());
    if (!complaint.isEmpty()) {
        log(complaint);
        tellConnectionFailed();
        return;
    }
    tellSocketStatus();
    logDebug(QStringLiteral("Connecting..."));
}

// The front ends check what they were given; this only keeps a request that names nothing from
// going anywhere.
QString UpdateJob::checkInput() const
{
    if (!m_request.product)
        return QStringLiteral("No product given, so there is no product code to send.");
    if (m_request.host.trimmed().isEmpty())
        return QStringLiteral("No unit address given.");
    if (m_request.port == 0)
        return QStringLiteral("No port given.");
    return {};
}

// The poll survives for its Debug lines and for the time limit; without Debug the update goes on
// as soon as the connection is up.
void UpdateJob::poll()
{
    if (elapsedMs(m_sinceConnect) > m_request.timings.connectLimit.count()) {
        endConnectionWait(WaitEnd::OverLimit);
        return;
    }
    if (m_ethernet.status().isConnected()) {
        endConnectionWait(WaitEnd::Polled);
        return;
    }
    if (m_debug) {
        logDebug(QStringLiteral("Checking connection at ") +
                 ElapsedFormat::thousands(elapsedMs(m_sinceConnect)) + QStringLiteral(" mS..."));
    }
}

void UpdateJob::endConnectionWait(WaitEnd how)
{
    const QString waited = ElapsedFormat::thousands(elapsedMs(m_sinceConnect));
    const bool connected = m_ethernet.status().isConnected();
    Identified identified;
    if (connected) {
        identified = identify();
    } else {
        connectionFailed(UpdateOutcome::NoConnection, m_lastSocketError.isEmpty()
                                                          ? QStringLiteral("Unit not responding!")
                                                          : m_lastSocketError);
    }

    if (how == WaitEnd::OverLimit)
        log(QStringLiteral("Unit not responding!"));
    if (how == WaitEnd::Polled)
        logDebug(QStringLiteral("Checking connection at ") + waited + QStringLiteral(" mS..."));
    if (connected) {
        logDebug(QStringLiteral("It took ") + waited + QStringLiteral(" mS to connect."));
        tellIdentified(identified);
        return;
    }
    logDebug(QStringLiteral("After ") + waited + QStringLiteral(" mS, I gave up!"));
    tellConnectionFailed();
}

// The connection is up: the unit is told what happens, the firmware file opened and the product
// code sent.
UpdateJob::Identified UpdateJob::identify()
{
    const ProductVariant& product = *m_request.product;
    if (product.sendsDisplayFrames) {
        // For the person at the unit; the unit does not answer them.
        send(Frames::Command2Frame());
        send(Frames::TextFrame(Frames::FirstTextLine, QStringLiteral("Updating firmware...")));
        send(Frames::TextFrame(Frames::SecondTextLine, QStringLiteral("Do not press any buttons!")));
    }
    // Whatever the unit said so far is no reply to what comes next.
    m_ethernet.getData();
    m_replies.clear();

    Identified identified;
    identified.noFile = m_stream.open(m_request.firmwarePath, m_result.sha256);
    if (identified.noFile) {
        m_result.outcome = identified.noFile->outcome;
        m_result.reason = identified.noFile->lines.value(0);
        shutDown();
        return identified;
    }
    identified.fileSize = m_stream.size();
    m_sinceTransfer.start();
    m_result.reachedUnit = true;
    if (!send(product.productCodeFrame)) {
        fault(UpdateOutcome::ConnectionLost,
              {QStringLiteral("The connection to the unit was lost before the upload could start.")});
        return identified;
    }
    setState(State::AwaitingProductCodeReply);
    return identified;
}

void UpdateJob::tellIdentified(const Identified& identified)
{
    if (identified.noFile) {
        for (const QString& line : identified.noFile->lines)
            log(line);
        endFailed();
        return;
    }
    const ProductVariant& product = *m_request.product;
    tellProgress(0, identified.fileSize, 0);
    logDebug(product.debugLine);
    logDebug(QStringLiteral("To Unit ") + Frames::hexDump(product.productCodeFrame));
    log(QStringLiteral("Sending firmware..."));
    tellSocketStatus();
    tellPhase(); // Streaming; or Ending, when the product code could not go out
    tellFault();
}

void UpdateJob::connectionFailed(UpdateOutcome outcome, const QString& reason)
{
    m_result.outcome = outcome;
    m_result.reason = reason;
    shutDown();
}

void UpdateJob::tellConnectionFailed()
{
    log(QStringLiteral("Could not establish connection to ") + address());
    endFailed();
}

// ---- replies and records ----------------------------------------------------------------------

void UpdateJob::onDataArrival()
{
    const QByteArray bytes = m_ethernet.getData();
    // Bytes that come while connecting are dropped with the rest once the connection is up.
    if (!isSending() && m_state != State::Settling && m_state != State::Ending)
        return;
    m_replies.append(bytes);
    const QString dump = m_debug ? QStringLiteral("From Unit ") + boundedDump(m_replies.held()) : QString();
    const ReplyReader::Arrival arrival = m_replies.takeReplies();
    if (arrival.overflow) {
        flooded();
        logDebug(dump);
        tellSocketStatus();
        tellFault();
        return;
    }
    logDebug(dump);
    if (arrival.incomplete) {
        logDebug(QStringLiteral("Incomplete response from device"));
        return;
    }
    if (m_debug) {
        const qsizetype logged = std::min(arrival.strayBytes, StrayLinesPerArrival);
        for (qsizetype i = 0; i < logged; ++i)
            logDebug(QStringLiteral("Spurrious byte"));
        if (arrival.strayBytes > logged)
            logDebug(QStringLiteral("Spurrious byte, %1 more")
                         .arg(TextFormat::count(arrival.strayBytes - logged)));
    }
    // Each reply is a step of its own: one after the end of the update only shows in Debug.
    for (UnitReplies::Code code : arrival.replies())
        handleReply(code);
}

// A peer that sends far more than replies: the update ends at once and the connection closes now,
// so nothing more is read from it.
void UpdateJob::flooded()
{
    closeSocket();
    m_replies.clear();
    fault(
        UpdateOutcome::TooMuchData,
        {QStringLiteral(
             "The unit at %1 sent more than %2 bytes that are not replies; the update has stopped.")
             .arg(address(), TextFormat::count(ReplyReader::UnrecognisedLimit)),
         QStringLiteral("Check the address and port: this may be no unit, or a unit that is not working.")});
}

void UpdateJob::handleReply(UnitReplies::Code code)
{
    using UnitReplies::Code;
    const QString text = UnitReplies::logText(code);
    if (code == Code::Ack) {
        if (!awaitsReply()) {
            logDebug(text);
            return;
        }
        const RecordStep step = sendNextRecord();
        logDebug(text);
        tellRecordStep(step);
        return;
    }
    if (UnitReplies::isRefusal(code)) {
        if (isSending() || m_state == State::Settling) {
            // Also a refusal of the last record while the update settles: no success after all.
            m_result.refusalCode = UnitReplies::codeByte(code);
            fault(UpdateOutcome::Refused, {text, RefusalAdvice});
            tellFault();
        } else {
            logDebug(text); // a refusal has already ended the update
        }
        return;
    }
    // The unknown reply is always told; it stops the stream only while records go out.
    const bool stops = awaitsReply() || m_state == State::SlowPause;
    if (stops)
        stall();
    log(text);
    if (stops) {
        log(StalledLine);
        tellPhase();
    }
}

UpdateJob::RecordStep UpdateJob::sendNextRecord()
{
    RecordStream::Next next = m_stream.next();
    RecordStep step;
    step.skipped = std::move(next.skipped);
    if (const auto* problem = std::get_if<RecordStream::Problem>(&next.item)) {
        fault(problem->outcome, problem->lines);
        return step;
    }
    auto& record = std::get<RecordStream::Record>(next.item);
    step.record = record.line;
    if (m_slow) {
        step.paused = true;
        m_pendingRecord = std::move(record);
        setState(State::SlowPause);
        return step;
    }
    step.sent = sendRecord(record);
    return step;
}

void UpdateJob::tellRecordStep(const RecordStep& step)
{
    for (const RecordStream::Skipped& skipped : step.skipped) {
        if (m_debug) {
            logDebug(QStringLiteral("Skip Record, Address ") + QString::fromLatin1(skipped.address) +
                     (skipped.reason == RecordRules::Skip::NoData ? QStringLiteral(", No data")
                                                                  : QStringLiteral(", Boot code")));
        }
    }
    if (step.record.isEmpty()) {
        tellFault();
        return;
    }
    if (m_debug) {
        logDebug(QStringLiteral("To Unit ") + QString::fromLatin1(step.record));
        logDebug(QStringLiteral("Writing ") + QString::fromLatin1(RecordRules::address(step.record)));
    }
    if (step.paused) {
        logDebug(QStringLiteral("Wait 30mS..."));
        return;
    }
    tellSent(step.sent);
}

// Returns nothing when a fault ended the update instead.
std::optional<UpdateJob::Sent> UpdateJob::sendRecord(const RecordStream::Record& record)
{
    if (record.last) {
        if (const auto problem = m_stream.confirmUnchanged()) {
            fault(problem->outcome, problem->lines);
            return std::nullopt;
        }
    }
    if (!send(record.line)) {
        fault(UpdateOutcome::ConnectionLost, {LostDuringUpload});
        return std::nullopt;
    }
    ++m_result.recordsSent;
    const Sent sent{m_stream.position(), m_stream.size(), m_result.recordsSent, record.last};
    if (!record.last) {
        setState(State::AwaitingRecordReply);
        return sent;
    }
    // The unit's acknowledgement of the end-of-file record is not awaited; a refusal may still come.
    m_stream.close();
    setState(State::Settling);
    return sent;
}

void UpdateJob::tellSent(const std::optional<Sent>& sent)
{
    tellSocketStatus();
    if (!sent) {
        tellFault();
        return;
    }
    tellProgress(sent->bytesRead, sent->fileSize, sent->recordsSent);
    if (sent->last) {
        tellPhase();
        log(QStringLiteral("Upload complete."));
    }
}

// The unit gave the unknown reply: nothing more goes out. The caller tells the phase.
void UpdateJob::stall()
{
    m_result.outcome = UpdateOutcome::UnknownReply;
    m_result.reason = StalledLine;
    m_pendingRecord = {};
    setState(State::Stalled);
}

// Ends the update after a fault: nothing more is sent, and the connection closes after the settle
// wait. tellFault() tells the lines that say why.
void UpdateJob::fault(UpdateOutcome outcome, const QStringList& lines)
{
    m_result.outcome = outcome;
    m_result.reason = lines.value(0);
    m_pendingRecord = {};
    m_stream.close();
    setState(State::Ending);
    m_faultLines = lines;
}

void UpdateJob::replyTimedOut()
{
    // Bytes still held are a reply that was not recognised (FD 55 AA 04 ...): the unit did
    // answer, just not in a way this tool understands.
    const QString first =
        m_replies.held().isEmpty()
            ? QStringLiteral("The unit did not answer for %1 seconds.").arg(seconds(m_awaitedReply))
            : QStringLiteral("The unit's reply (%1) was not understood, and no other came for %2 seconds.")
                  .arg(Frames::hexDump(m_replies.held().left(8)).trimmed(), seconds(m_awaitedReply));
    fault(UpdateOutcome::NoReply, {first, CheckTheUnit});
    tellFault();
}

void UpdateJob::onSocketError(QAbstractSocket::SocketError error, const QString& description)
{
    m_lastSocketError = description;
    if (isSending())
        fault(UpdateOutcome::ConnectionLost, {LostDuringUpload});
    tellSocketError(error, description);
    tellFault();
}

void UpdateJob::onConnectionLost()
{
    if (!isSending())
        return;
    fault(UpdateOutcome::ConnectionLost, {LostDuringUpload});
    tellFault();
}

// ---- the end ----------------------------------------------------------------------------------

void UpdateJob::finishSucceeded()
{
    closeSocket();
    setState(State::Uploaded);
    tellSocketStatus();
    tellPhase();
    log(QStringLiteral("Upload complete, ") +
        ElapsedFormat::seconds(double(elapsedMs(m_sinceTransfer)) / 1000.0));
}

// Nothing more goes out or comes in; endFailed() or complete() tells the end.
void UpdateJob::shutDown()
{
    m_timer.stop();
    closeSocket();
    m_stream.close();
}

void UpdateJob::endFailed()
{
    tellSocketStatus();
    // The address as the update was asked to reach it; a front end may name it its own way.
    log(QStringLiteral("Disconnecting from ") + address(), Line::Disconnecting);
    complete();
}

void UpdateJob::abort()
{
    if (m_state == State::Done)
        return;
    if (m_check)
        m_check->stop();
    shutDown();
    if (m_state != State::Stalled) {
        m_result.outcome = UpdateOutcome::Cancelled;
        m_result.reason = QStringLiteral("Cancelled.");
    }
    tellSocketStatus();
    complete();
}

// The one place finished() is emitted, once: the job is Done before it tells so.
void UpdateJob::complete()
{
    if (m_state == State::Done)
        return;
    m_result.elapsed = std::chrono::milliseconds(m_sinceStart.isValid() ? elapsedMs(m_sinceStart) : 0);
    setState(State::Done);
    m_toldPhase = Phase::Done;
    emit phaseChanged(Phase::Done);
    emit finished(m_result);
}
