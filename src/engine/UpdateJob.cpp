#include "engine/UpdateJob.h"

#include "engine/ElapsedFormat.h"
#include "engine/FirmwareCheckTask.h"
#include "engine/Frames.h"
#include "engine/RecordRules.h"
#include "engine/TextFormat.h"
#include "settings/ProductVariant.h"

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
            endConnectionWait();
    });
    connect(&m_ethernet, &Ethernet::statusChanged, this, &UpdateJob::socketStatusChanged);
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

// The one place the job changes state. Once Done, it stays Done, so a receiver that aborts the job
// from inside one of its signals ends every step still on the stack.
void UpdateJob::enter(State next)
{
    if (m_state == State::Done)
        return;
    const Phase before = phaseOf(m_state);
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
    if (phaseOf(next) != before)
        emit phaseChanged(phaseOf(next));
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
        sendRecord(std::exchange(m_pendingRecord, {}));
        break;
    case State::Stalled:
        // Nobody decided within the hold: the update ends as the reply it stalled on.
        m_ethernet.close();
        m_stream.close();
        complete();
        break;
    case State::Settling:
        finishSucceeded();
        break;
    case State::Ending:
        finishFailed();
        break;
    case State::Uploaded:
        log(QStringLiteral("Writing firmware, DO NOT REMOVE POWER!"));
        enter(State::Writing);
        break;
    case State::Writing:
        enter(State::Rebooting);
        log(QStringLiteral("Waiting for unit to reboot...."));
        break;
    case State::Rebooting:
        log(QStringLiteral(" "));
        log(QStringLiteral(" "));
        log(QStringLiteral("Done!  Unit is ready to use."));
        log(QStringLiteral(" "));
        m_result.outcome = UpdateOutcome::Succeeded;
        m_result.reason.clear();
        complete();
        break;
    case State::Idle:
    case State::Checking:
    case State::Done:
        break;
    }
}

// ---- helpers ----------------------------------------------------------------------------------

void UpdateJob::log(const QString& text, Line line)
{
    emit logLine(text, false, line);
}

void UpdateJob::logDebug(const QString& text)
{
    if (m_debug)
        emit logLine(text, true, Line::Plain);
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
    enter(State::Checking);
    m_check = new FirmwareCheckTask(m_request.firmwarePath, m_request.expectedSha256, this);
    connect(m_check, &FirmwareCheckTask::finished, this, &UpdateJob::checked);
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
    enter(State::Connecting);
    log(QStringLiteral("Connecting to ") + address());
    const QString complaint = checkInput();
    if (!complaint.isEmpty()) {
        log(complaint);
        connectionFailed(UpdateOutcome::BadInput, complaint);
        return;
    }
    m_ethernet.connectToUnit(m_request.host, m_request.port);
    m_sinceConnect.start();
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
        log(QStringLiteral("Unit not responding!"));
        endConnectionWait();
        return;
    }
    if (m_debug) {
        logDebug(QStringLiteral("Checking connection at ") +
                 ElapsedFormat::thousands(elapsedMs(m_sinceConnect)) + QStringLiteral(" mS..."));
    }
    if (m_ethernet.status().isConnected())
        endConnectionWait();
}

void UpdateJob::endConnectionWait()
{
    if (m_state != State::Connecting)
        return;
    const QString elapsed = ElapsedFormat::thousands(elapsedMs(m_sinceConnect));
    if (m_ethernet.status().isConnected()) {
        logDebug(QStringLiteral("It took ") + elapsed + QStringLiteral(" mS to connect."));
        identify();
        return;
    }
    logDebug(QStringLiteral("After ") + elapsed + QStringLiteral(" mS, I gave up!"));
    connectionFailed(UpdateOutcome::NoConnection, m_lastSocketError.isEmpty()
                                                      ? QStringLiteral("Unit not responding!")
                                                      : m_lastSocketError);
}

void UpdateJob::connectionFailed(UpdateOutcome outcome, const QString& reason)
{
    m_result.outcome = outcome;
    m_result.reason = reason;
    log(QStringLiteral("Could not establish connection to ") + address());
    finishFailed();
}

void UpdateJob::identify()
{
    if (m_state != State::Connecting)
        return;
    m_timer.stop();
    const ProductVariant& product = *m_request.product;
    if (product.sendsDisplayFrames) {
        // For the person at the unit; the unit does not answer them.
        m_ethernet.sendData(Frames::Command2Frame());
        m_ethernet.sendData(Frames::TextFrame(Frames::FirstTextLine, QStringLiteral("Updating firmware...")));
        m_ethernet.sendData(
            Frames::TextFrame(Frames::SecondTextLine, QStringLiteral("Do not press any buttons!")));
    }
    // Whatever the unit said so far is no reply to what comes next.
    m_ethernet.getData();
    m_replies.clear();

    if (const auto problem = m_stream.open(m_request.firmwarePath, m_result.sha256)) {
        for (const QString& line : problem->lines)
            log(line);
        m_result.outcome = problem->outcome;
        m_result.reason = problem->lines.value(0);
        finishFailed();
        return;
    }
    emit progress(0, m_stream.size(), 0);
    m_sinceTransfer.start();

    logDebug(product.debugLine);
    logDebug(QStringLiteral("To Unit ") + Frames::hexDump(product.productCodeFrame));
    log(QStringLiteral("Sending firmware..."));
    if (m_state != State::Connecting)
        return; // aborted by a receiver of the lines above
    m_result.reachedUnit = true;
    if (!m_ethernet.sendData(product.productCodeFrame)) {
        fault(UpdateOutcome::ConnectionLost,
              {QStringLiteral("The connection to the unit was lost before the upload could start.")});
        return;
    }
    enter(State::AwaitingProductCodeReply);
}

// ---- replies and records ----------------------------------------------------------------------

void UpdateJob::onDataArrival()
{
    const QByteArray bytes = m_ethernet.getData();
    // Bytes that come while connecting are dropped with the rest once the connection is up.
    if (!isSending() && m_state != State::Settling && m_state != State::Ending)
        return;
    m_replies.append(bytes);
    if (m_debug)
        logDebug(QStringLiteral("From Unit ") + boundedDump(m_replies.held()));
    const ReplyReader::Arrival arrival = m_replies.takeReplies();
    if (arrival.overflow) {
        flooded();
        return;
    }
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
    for (UnitReplies::Code code : arrival.replies())
        handleReply(code);
}

// A peer that sends far more than replies: the update ends at once and the connection closes now,
// so nothing more is read from it.
void UpdateJob::flooded()
{
    m_ethernet.close();
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
    if (m_state == State::Done)
        return; // aborted by a receiver of an earlier signal
    const QString text = UnitReplies::logText(code);
    if (code == Code::Ack) {
        logDebug(text);
        if (awaitsReply())
            sendNextRecord();
        return;
    }
    if (UnitReplies::isRefusal(code)) {
        if (isSending() || m_state == State::Settling) {
            // Also a refusal of the last record while the update settles: no success after all.
            m_result.refusalCode = UnitReplies::codeByte(code);
            fault(UpdateOutcome::Refused, {text, RefusalAdvice});
        } else {
            logDebug(text); // a refusal has already ended the update
        }
        return;
    }
    // The unknown reply is always told; it stops the stream only while records go out.
    log(text);
    if (awaitsReply() || m_state == State::SlowPause)
        stall();
}

void UpdateJob::sendNextRecord()
{
    RecordStream::Next next = m_stream.next();
    if (m_debug) {
        for (const RecordStream::Skipped& skipped : next.skipped) {
            logDebug(QStringLiteral("Skip Record, Address ") + QString::fromLatin1(skipped.address) +
                     (skipped.reason == RecordRules::Skip::NoData ? QStringLiteral(", No data")
                                                                  : QStringLiteral(", Boot code")));
        }
    }
    if (const auto* problem = std::get_if<RecordStream::Problem>(&next.item)) {
        fault(problem->outcome, problem->lines);
        return;
    }
    auto& record = std::get<RecordStream::Record>(next.item);
    if (m_debug) {
        logDebug(QStringLiteral("To Unit ") + QString::fromLatin1(record.line));
        logDebug(QStringLiteral("Writing ") + QString::fromLatin1(RecordRules::address(record.line)));
    }
    if (!awaitsReply())
        return; // aborted by a receiver of the lines above
    if (m_slow) {
        logDebug(QStringLiteral("Wait 30mS..."));
        m_pendingRecord = std::move(record);
        enter(State::SlowPause);
        return;
    }
    sendRecord(record);
}

void UpdateJob::sendRecord(const RecordStream::Record& record)
{
    if (record.last) {
        if (const auto problem = m_stream.confirmUnchanged()) {
            fault(problem->outcome, problem->lines);
            return;
        }
    }
    if (!m_ethernet.sendData(record.line)) {
        fault(UpdateOutcome::ConnectionLost, {LostDuringUpload});
        return;
    }
    ++m_result.recordsSent;
    emit progress(m_stream.position(), m_stream.size(), m_result.recordsSent);
    if (!record.last) {
        enter(State::AwaitingRecordReply);
        return;
    }
    if (m_state == State::Done)
        return; // aborted by a receiver of the progress
    // The unit's acknowledgement of the end-of-file record is not awaited; a refusal may still come.
    m_stream.close();
    enter(State::Settling);
    log(QStringLiteral("Upload complete."));
}

void UpdateJob::stall()
{
    m_result.outcome = UpdateOutcome::UnknownReply;
    m_result.reason = StalledLine;
    m_pendingRecord = {};
    log(StalledLine);
    enter(State::Stalled);
}

// Ends the update after a fault: the lines say why, nothing more is sent, and the connection
// closes after the settle wait.
void UpdateJob::fault(UpdateOutcome outcome, const QStringList& lines)
{
    if (m_state == State::Done)
        return;
    m_result.outcome = outcome;
    m_result.reason = lines.value(0);
    m_pendingRecord = {};
    m_stream.close();
    enter(State::Ending);
    for (const QString& line : lines)
        log(line);
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
}

void UpdateJob::onSocketError(QAbstractSocket::SocketError error, const QString& description)
{
    m_lastSocketError = description;
    emit socketError(error, description);
    onConnectionLost();
}

void UpdateJob::onConnectionLost()
{
    if (isSending())
        fault(UpdateOutcome::ConnectionLost, {LostDuringUpload});
}

// ---- the end ----------------------------------------------------------------------------------

void UpdateJob::finishSucceeded()
{
    m_ethernet.close();
    enter(State::Uploaded);
    log(QStringLiteral("Upload complete, ") +
        ElapsedFormat::seconds(double(elapsedMs(m_sinceTransfer)) / 1000.0));
}

void UpdateJob::finishFailed()
{
    m_timer.stop();
    m_ethernet.close();
    m_stream.close();
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
    m_timer.stop();
    m_ethernet.close();
    m_stream.close();
    if (m_state != State::Stalled) {
        m_result.outcome = UpdateOutcome::Cancelled;
        m_result.reason = QStringLiteral("Cancelled.");
    }
    complete();
}

void UpdateJob::complete()
{
    if (m_state == State::Done)
        return;
    m_result.elapsed = std::chrono::milliseconds(m_sinceStart.isValid() ? elapsedMs(m_sinceStart) : 0);
    enter(State::Done);
    emit finished(m_result);
}
