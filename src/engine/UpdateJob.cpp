#include "engine/UpdateJob.h"

#include "engine/ElapsedFormat.h"
#include "engine/Frames.h"
#include "engine/RecordRules.h"
#include "settings/ProductVariant.h"

#include <algorithm>
#include <utility>

namespace {

const QString RefusalAdvice = QStringLiteral("Device responded with an error.  Please try again.");
const QString LostDuringUpload =
    QStringLiteral("The connection to the unit was lost before the upload was complete.");
const QString CheckTheUnit = QStringLiteral("Check the unit and its connection, then try again.");

// The Debug log shows this many received bytes at most, then how many more there are.
constexpr qsizetype DumpBytes = 64;
// One "Spurrious byte" line for each of the first so many stray bytes of an arrival.
constexpr qsizetype StrayLinesPerArrival = 16;

QString boundedDump(const QByteArray& bytes)
{
    if (bytes.size() <= DumpBytes)
        return Frames::hexDump(bytes);
    return Frames::hexDump(bytes.first(DumpBytes)) +
           QStringLiteral(" ... and %1 more bytes")
               .arg(ElapsedFormat::thousands(bytes.size() - DumpBytes, QLocale::c()));
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
    for (QTimer* timer : {&m_poll, &m_replyTimer, &m_step})
        timer->setTimerType(Qt::PreciseTimer);
    m_replyTimer.setSingleShot(true);
    m_step.setSingleShot(true);
    connect(&m_poll, &QTimer::timeout, this, &UpdateJob::onPoll);
    connect(&m_checkSlices, &QTimer::timeout, this, &UpdateJob::checkSlice);
    connect(&m_replyTimer, &QTimer::timeout, this, &UpdateJob::onReplyTimeout);
    connect(&m_step, &QTimer::timeout, this, [this] {
        if (std::function<void()> step = std::exchange(m_nextStep, {}))
            step();
    });
    connect(&m_ethernet, &Ethernet::connected, this, &UpdateJob::onConnected);
    connect(&m_ethernet, &Ethernet::stateChanged, this, &UpdateJob::connectionStateChanged);
    connect(&m_ethernet, &Ethernet::dataArrival, this, &UpdateJob::onDataArrival);
    connect(&m_ethernet, &Ethernet::error, this, &UpdateJob::onSocketError);
    connect(&m_ethernet, &Ethernet::peerClosed, this, &UpdateJob::onConnectionLost);
}

UpdateJob::~UpdateJob()
{
    m_ethernet.disconnect(this);
    m_ethernet.close();
}

// ---- helpers ----------------------------------------------------------------------------------

void UpdateJob::log(const QString& line)
{
    emit logLine(line, false);
}

void UpdateJob::logDebug(const QString& line)
{
    if (m_debug)
        emit logLine(line, true);
}

void UpdateJob::setPhase(Phase phase)
{
    if (m_phase == phase)
        return;
    m_phase = phase;
    emit phaseChanged(phase);
}

void UpdateJob::after(std::chrono::milliseconds programTime, std::function<void()> step)
{
    m_nextStep = std::move(step);
    m_step.start(m_request.timings.real(programTime));
}

qint64 UpdateJob::elapsedMs(const QElapsedTimer& since) const
{
    return m_request.timings.programMs(since.nsecsElapsed());
}

// ---- connecting -------------------------------------------------------------------------------

void UpdateJob::start()
{
    if (m_phase != Phase::Idle)
        return;
    m_sinceStart.start();
    setPhase(Phase::Checking);
    m_check = std::make_unique<FirmwareCheck>(m_request.firmwarePath);
    checkSlice(); // a small file is checked at once; a large one in slices, between events
    if (m_phase == Phase::Checking && m_check)
        m_checkSlices.start(0);
}

void UpdateJob::checkSlice()
{
    if (m_phase != Phase::Checking || !m_check)
        return;
    if (!m_check->step(CheckSlice))
        return;
    m_checkSlices.stop();
    const FirmwareCheckResult result = m_check->result();
    m_check.reset();
    checked(result);
}

void UpdateJob::checked(const FirmwareCheckResult& result)
{
    if (result.ok()) {
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
    setPhase(Phase::Connecting);
    log(QStringLiteral("Connecting to ") + m_request.address);
    int port = 0;
    const QString complaint = checkInput(port);
    if (!complaint.isEmpty()) {
        log(complaint);
        connectionFailed(UpdateOutcome::BadInput, complaint);
        return;
    }
    m_ethernet.setRemotePort(port);
    m_ethernet.setRemoteHost(m_request.address);
    m_ethernet.connectToUnit();
    m_sinceConnect.start();
    logDebug(QStringLiteral("Connecting..."));
    m_poll.start(m_request.timings.real(UpdateTimings::ConnectPoll));
}

QString UpdateJob::checkInput(int& port) const
{
    if (!m_request.product) {
        return QStringLiteral(
                   "This build (\"%1\") is for no known product, so there is no product code to send.")
            .arg(m_request.buildTitle);
    }
    if (m_request.address.trimmed().isEmpty())
        return QStringLiteral("No unit address given: type the unit's IP address into the Address box.");
    bool isNumber = false;
    port = m_request.port.trimmed().toInt(&isNumber, 10);
    if (!isNumber || port < 1 || port > 65535)
        return QStringLiteral("Invalid port \"%1\": the port must be a whole number from 1 to 65535.")
            .arg(m_request.port);
    return {};
}

// The poll survives for its Debug lines and for the time limit; without Debug the update goes on
// as soon as the connection is up.
void UpdateJob::onPoll()
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
    if (m_ethernet.state() == Ethernet::Connected)
        endConnectionWait();
}

void UpdateJob::onConnected()
{
    if (m_phase == Phase::Connecting && !m_debug)
        endConnectionWait();
}

void UpdateJob::endConnectionWait()
{
    m_poll.stop();
    if (m_phase != Phase::Connecting)
        return;
    const bool connected = m_ethernet.state() == Ethernet::Connected;
    const QString elapsed = ElapsedFormat::thousands(elapsedMs(m_sinceConnect));
    if (connected) {
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
    log(QStringLiteral("Could not establish connection to ") + m_request.address);
    finish();
}

void UpdateJob::identify()
{
    if (m_phase != Phase::Connecting)
        return;
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

    if (!m_firmware.open(m_request.firmwarePath)) {
        const QString line = QStringLiteral("Cannot open the firmware file %1: %2")
                                 .arg(m_request.firmwarePath, m_firmware.errorString());
        log(line);
        m_result.outcome = UpdateOutcome::FileError;
        m_result.reason = line;
        finish();
        return;
    }
    emit progress(0, m_firmware.size(), 0);
    m_sinceTransfer.start();

    logDebug(product.debugLine);
    logDebug(QStringLiteral("To Unit ") + Frames::hexDump(product.productCodeFrame));
    log(QStringLiteral("Sending firmware..."));
    if (m_phase == Phase::Done)
        return;
    setPhase(Phase::Streaming);
    m_result.reachedUnit = true;
    if (!send(product.productCodeFrame, m_request.timings.productCodeReplyTimeout)) {
        fault(UpdateOutcome::ConnectionLost,
              {QStringLiteral("The connection to the unit was lost before the upload could start.")});
        return;
    }
    m_streamHold = false;
}

// A zero timeout awaits no reply.
bool UpdateJob::send(const QByteArray& bytes, std::chrono::milliseconds replyTimeout)
{
    if (!m_ethernet.sendData(bytes))
        return false;
    if (replyTimeout.count() > 0) {
        m_awaitedReply = replyTimeout;
        m_replyTimer.start(m_request.timings.real(replyTimeout));
    }
    return true;
}

// ---- replies and records ----------------------------------------------------------------------

void UpdateJob::onDataArrival()
{
    const QByteArray bytes = m_ethernet.getData();
    // Bytes that come while connecting are dropped with the rest once the connection is up.
    if (m_phase != Phase::Streaming && m_phase != Phase::Stalled && m_phase != Phase::Settling &&
        m_phase != Phase::Ending)
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
        if (arrival.strayBytes > logged) {
            logDebug(QStringLiteral("Spurrious byte, %1 more")
                         .arg(ElapsedFormat::thousands(arrival.strayBytes - logged, QLocale::c())));
        }
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
             .arg(m_request.address, ElapsedFormat::thousands(ReplyReader::UnrecognisedLimit, QLocale::c())),
         QStringLiteral("Check the address and port: this may be no unit, or a unit that is not working.")});
}

void UpdateJob::handleReply(UnitReplies::Code code)
{
    using UnitReplies::Code;
    if (m_phase == Phase::Done)
        return; // aborted by a receiver of an earlier signal
    const QString text = UnitReplies::logText(code);
    if (m_phase == Phase::Streaming)
        m_replyTimer.stop();

    if (code == Code::Ack) {
        logDebug(text);
        if (m_phase == Phase::Streaming && !m_streamHold && !m_recordWaiting)
            sendNextRecord();
        return;
    }
    if (UnitReplies::isRefusal(code)) {
        if (m_phase == Phase::Streaming || m_phase == Phase::Stalled) {
            m_result.refusalCode = UnitReplies::codeByte(code);
            fault(UpdateOutcome::Refused, {text, RefusalAdvice});
        } else if (m_phase == Phase::Settling && m_uploadSucceeded) {
            // The unit refused the last record while the update settled: no success after all.
            m_uploadSucceeded = false;
            m_result.outcome = UpdateOutcome::Refused;
            m_result.refusalCode = UnitReplies::codeByte(code);
            m_result.reason = text;
            log(text);
            log(RefusalAdvice);
        } else {
            logDebug(text); // the update has already ended
        }
        return;
    }
    // The unknown reply.
    if (m_phase == Phase::Streaming) {
        log(text);
        stall();
    } else if (m_phase == Phase::Stalled || m_phase == Phase::Settling) {
        log(text);
    } else {
        logDebug(text);
    }
}

void UpdateJob::sendNextRecord()
{
    QByteArray line;
    for (;;) {
        if (m_firmware.atEnd()) {
            if (m_firmware.hasError()) {
                fault(UpdateOutcome::FileError,
                      {QStringLiteral("Upload stopped: the firmware file could not be read: ") +
                       m_firmware.errorString()});
            } else {
                // It passed the check, so it changed since.
                fault(UpdateOutcome::MalformedFile,
                      {QStringLiteral("Upload stopped: the firmware file changed while it was sent, "
                                      "and ends without its end-of-file record now.")});
            }
            return;
        }
        line = m_firmware.readLine();
        if (FirmwareFile::isBlank(line))
            continue; // no record, and the unit would never answer it
        const RecordRules::Skip skip = RecordRules::skipReason(line);
        if (skip == RecordRules::Skip::None)
            break;
        if (m_debug) {
            logDebug(QStringLiteral("Skip Record, Address ") +
                     QString::fromLatin1(RecordRules::address(line)) +
                     (skip == RecordRules::Skip::NoData ? QStringLiteral(", No data")
                                                        : QStringLiteral(", Boot code")));
        }
    }
    if (m_debug) {
        logDebug(QStringLiteral("To Unit ") + QString::fromLatin1(line));
        logDebug(QStringLiteral("Writing ") + QString::fromLatin1(RecordRules::address(line)));
    }
    if (m_phase != Phase::Streaming)
        return;
    if (m_slow) {
        logDebug(QStringLiteral("Wait 30mS..."));
        m_recordWaiting = true;
        after(UpdateTimings::SlowPause, [this, line] {
            m_recordWaiting = false;
            sendRecord(line);
        });
        return;
    }
    sendRecord(line);
}

void UpdateJob::sendRecord(const QByteArray& line)
{
    if (m_phase != Phase::Streaming)
        return;
    // The first end-of-file record ends the firmware: whatever follows it is never sent.
    const bool last = RecordRules::isEndOfFileRecord(line);
    if (!send(line, last ? std::chrono::milliseconds(0) : m_request.timings.recordReplyTimeout)) {
        fault(UpdateOutcome::ConnectionLost, {LostDuringUpload});
        return;
    }
    ++m_result.recordsSent;
    emit progress(m_firmware.position(), m_firmware.size(), m_result.recordsSent);
    if (last)
        endOfFile();
}

void UpdateJob::endOfFile()
{
    m_uploadSucceeded = true;
    m_streamHold = true;
    m_firmware.close();
    setPhase(Phase::Settling);
    log(QStringLiteral("Upload complete."));
    // The unit's acknowledgement of the end-of-file record is not awaited; a refusal may still come.
    after(UpdateTimings::Settle, [this] { finish(); });
}

void UpdateJob::stall()
{
    m_streamHold = true;
    m_result.outcome = UpdateOutcome::UnknownReply;
    m_result.reason = UnitReplies::logText(UnitReplies::Code::Unknown);
    // "Unknown" alone reads as an update still running; say that it has stopped.
    log(QStringLiteral("The unit gave an unexpected reply; the update has stopped."));
    log(QStringLiteral("Press Load and Start to try again."));
    setPhase(Phase::Stalled);
}

// Ends the update after a fault: the lines say why, nothing more is sent, and the connection
// closes after the settle wait.
void UpdateJob::fault(UpdateOutcome outcome, const QStringList& lines)
{
    if (m_phase == Phase::Done)
        return;
    m_replyTimer.stop();
    m_result.outcome = outcome;
    m_result.reason = lines.value(0);
    setPhase(Phase::Ending);
    for (const QString& line : lines)
        log(line);
    m_streamHold = true;
    m_recordWaiting = false;
    m_firmware.close();
    m_uploadSucceeded = false;
    after(UpdateTimings::Settle, [this] { finish(); });
}

void UpdateJob::onReplyTimeout()
{
    if (m_phase != Phase::Streaming)
        return;
    // Bytes still held are a reply that was not recognised (FD 55 AA 04 ...): the unit did
    // answer, just not in a way this tool understands.
    const QString first =
        m_replies.held().isEmpty()
            ? QStringLiteral("The unit did not answer for %1 seconds.").arg(seconds(m_awaitedReply))
            : QStringLiteral("The unit's reply (%1) was not understood, and no other came for %2 seconds.")
                  .arg(Frames::hexDump(m_replies.held().left(8)).trimmed(), seconds(m_awaitedReply));
    fault(UpdateOutcome::NoReply, {first, CheckTheUnit});
}

void UpdateJob::onSocketError(int number, const QString& description)
{
    m_lastSocketError = description;
    emit socketError(number, description);
    onConnectionLost();
}

void UpdateJob::onConnectionLost()
{
    if (m_phase == Phase::Streaming || m_phase == Phase::Stalled)
        fault(UpdateOutcome::ConnectionLost, {LostDuringUpload});
}

// ---- the end ----------------------------------------------------------------------------------

void UpdateJob::finish()
{
    if (m_phase == Phase::Done)
        return;
    m_poll.stop();
    m_replyTimer.stop();
    m_ethernet.close();
    m_firmware.close();
    if (!m_uploadSucceeded) {
        log(QStringLiteral("Disconnecting from ") + m_request.address);
        complete();
        return;
    }
    setPhase(Phase::Writing);
    log(QStringLiteral("Upload complete, ") +
        ElapsedFormat::seconds(double(elapsedMs(m_sinceTransfer)) / 1000.0));
    const ProductVariant& product = *m_request.product;
    after(UpdateTimings::WriteStart, [this, &product] {
        log(QStringLiteral("Writing firmware, DO NOT REMOVE POWER!"));
        after(std::chrono::milliseconds(product.writeWaitMs), [this, &product] {
            setPhase(Phase::Rebooting);
            log(QStringLiteral("Waiting for unit to reboot...."));
            after(std::chrono::milliseconds(product.rebootWaitMs), [this] {
                log(QStringLiteral(" "));
                log(QStringLiteral(" "));
                log(QStringLiteral("Done!  Unit is ready to use."));
                log(QStringLiteral(" "));
                m_result.outcome = UpdateOutcome::Succeeded;
                m_result.reason.clear();
                complete();
            });
        });
    });
}

void UpdateJob::abort()
{
    if (m_phase == Phase::Done)
        return;
    m_checkSlices.stop();
    m_check.reset();
    m_poll.stop();
    m_replyTimer.stop();
    m_step.stop();
    m_nextStep = nullptr;
    m_ethernet.close();
    m_firmware.close();
    if (m_phase != Phase::Stalled) {
        m_result.outcome = UpdateOutcome::Cancelled;
        m_result.reason = QStringLiteral("Cancelled.");
    }
    complete();
}

void UpdateJob::complete()
{
    if (m_phase == Phase::Done)
        return;
    m_step.stop();
    m_nextStep = nullptr;
    m_result.elapsed = std::chrono::milliseconds(m_sinceStart.isValid() ? elapsedMs(m_sinceStart) : 0);
    setPhase(Phase::Done);
    emit finished(m_result);
}
