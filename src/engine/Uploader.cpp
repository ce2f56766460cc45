#include "Uploader.h"

#include "ElapsedFormat.h"
#include "Frames.h"
#include "RecordRules.h"
#include "UnitReplies.h"

#include "Ethernet.h"
#include "MonotonicClock.h"
#include "ProductVariant.h"
#include "SettingsStore.h"
#include "TimeScale.h"
#include "WaitableTimer.h"

#include <cmath>
#include <limits>

namespace {

constexpr UploadWindow::Control UpdateControls[] = {
    UploadWindow::Control::LoadStart, UploadWindow::Control::FirmwareFile,
    UploadWindow::Control::EthernetAddress, UploadWindow::Control::EthernetPort};

const QString AddressKey = QStringLiteral("EthernetAddress");
const QString PortKey = QStringLiteral("EthernetPort");

// 128-byte blocks, the progress bar's unit.
constexpr double ProgressBlock = 128.0;

double now()
{
    return MonotonicClock::seconds();
}

} // namespace

Uploader::Uploader(UploadWindow& window, Ethernet& ethernet, SettingsStore& settings, QString applicationTitle,
                   QObject* parent)
    : QObject(parent), m_window(window), m_ethernet(ethernet), m_settings(settings),
      m_title(std::move(applicationTitle))
{
    m_replyTimer.setSingleShot(true);
    connect(&m_replyTimer, &QTimer::timeout, this, &Uploader::onReplyTimeout);
    connect(&m_ethernet, &Ethernet::dataArrival, this, &Uploader::onDataArrival);
    // Queued, so the window has reported a socket error before the update reacts to it.
    connect(&m_ethernet, &Ethernet::error, this, &Uploader::onConnectionLost, Qt::QueuedConnection);
    connect(&m_ethernet, &Ethernet::peerClosed, this, &Uploader::onConnectionLost, Qt::QueuedConnection);
}

Uploader::~Uploader() = default;

// ---- log and controls -------------------------------------------------------------------------

bool Uploader::debug() const
{
    return m_window.isChecked(UploadWindow::Mode::Debug);
}

void Uploader::log(const QString& line)
{
    m_window.appendLog(line);
}

void Uploader::logDebug(const QString& line)
{
    if (debug())
        m_window.appendLog(line);
}

void Uploader::setUpdateControlsEnabled(bool enabled)
{
    for (UploadWindow::Control control : UpdateControls)
        m_window.setControlEnabled(control, enabled);
}

bool Uploader::waitWithin(std::chrono::milliseconds duration, quint64 update)
{
    WaitableTimer::Wait(int(duration.count()));
    return !m_shutdown && m_update == update;
}

void Uploader::scrollLog()
{
    while (m_window.logCount() > LogLineLimit)
        m_window.removeFirstLogLine();
    const int last = m_window.logCount() - 1;
    if (last >= 0 && m_window.selectedLogIndex() != last)
        m_window.selectLogIndex(last);
}

// ---- update start -----------------------------------------------------------------------------

void Uploader::loadStart()
{
    if (m_shutdown)
        return;
    const quint64 update = ++m_update;
    // Whatever an earlier update left open (after the unknown reply) goes first.
    m_firmware.close();
    m_replyTimer.stop();
    m_phase = Phase::Connecting;
    emit updateStarted();

    m_window.setLogColour(UploadWindow::LogColour::White);
    m_window.clearLog();
    setUpdateControlsEnabled(false);
    m_uploadSucceeded = false;
    m_window.setProgressValue(0);
    m_streamHold = true;

    // ConnectToUnit
    const QString address = m_window.ethernetAddress();
    log(QStringLiteral("Connecting to ") + address);
    const ProductVariant* variant = nullptr;
    int port = 0;
    if (!checkConnectionInput(variant, port)) {
        m_ethernet.close();
        connectionFailed();
        return;
    }
    m_ethernet.setRemotePort(port);
    m_ethernet.setRemoteHost(address);
    m_ethernet.connectToUnit();

    m_startTime = now();
    logDebug(QStringLiteral("Connecting..."));

    for (;;) {
        if (!waitWithin(ConnectionPoll, update))
            return;
        if (now() > m_startTime + ConnectionLimitSeconds) {
            log(QStringLiteral("Unit not responding!"));
            break;
        }
        if (debug()) {
            log(QStringLiteral("Checking connection at ") +
                ElapsedFormat::thousands(ElapsedFormat::milliseconds(m_startTime, now())) +
                QStringLiteral(" mS..."));
            m_window.selectLogIndex(m_window.logCount() - 1);
        }
        if (m_ethernet.state() == Ethernet::Connected)
            break;
    }

    const bool connected = m_ethernet.state() == Ethernet::Connected;
    const QString elapsed = ElapsedFormat::thousands(ElapsedFormat::milliseconds(m_startTime, now()));
    if (connected)
        logDebug(QStringLiteral("It took ") + elapsed + QStringLiteral(" mS to connect."));
    else
        logDebug(QStringLiteral("After ") + elapsed + QStringLiteral(" mS, I gave up!"));

    if (!connected) {
        connectionFailed();
        return;
    }
    identify(*variant);
}

bool Uploader::checkConnectionInput(const ProductVariant*& variant, int& port)
{
    variant = ProductVariants::forTitle(m_title);
    if (!variant) {
        log(QStringLiteral("This build (\"%1\") is for no known product, so there is no product code to send.")
                .arg(m_title));
        return false;
    }
    if (m_window.ethernetAddress().trimmed().isEmpty()) {
        log(QStringLiteral("No unit address given: type the unit's IP address into the Address box."));
        return false;
    }
    bool isNumber = false;
    const QString portText = m_window.ethernetPort();
    port = portText.trimmed().toInt(&isNumber, 10);
    if (!isNumber || port < 1 || port > 65535) {
        log(QStringLiteral("Invalid port \"%1\": the port must be a whole number from 1 to 65535.").arg(portText));
        return false;
    }
    return true;
}

void Uploader::connectionFailed()
{
    log(QStringLiteral("Could not establish connection to ") + m_window.ethernetAddress());
    m_uploadSucceeded = false;
    finishUpload();
}

bool Uploader::identify(const ProductVariant& variant)
{
    if (variant.sendsDisplayFrames) {
        send(Frames::Command2Frame(), false);
        send(Frames::TextFrame(Frames::FirstTextLine, QStringLiteral("Updating firmware...")), false);
        send(Frames::TextFrame(Frames::SecondTextLine, QStringLiteral("Do not press any buttons!")), false);
    }
    // Whatever the unit said so far is not a reply to what comes next.
    m_rxBuffer = m_ethernet.getData();
    m_rxBuffer.clear();

    if (!m_firmware.open(m_firmwarePath)) {
        log(QStringLiteral("Cannot open the firmware file %1: %2").arg(m_firmwarePath, m_firmware.errorString()));
        m_uploadSucceeded = false;
        finishUpload();
        return false;
    }
    m_window.setProgressMaximum(std::floor(double(m_firmware.size()) / ProgressBlock + 1.0));
    m_startTime = now();

    logDebug(variant.debugLine);
    const QByteArray startFrame = variant.productCodeFrame;
    logDebug(QStringLiteral("To Unit ") + Frames::hexDump(startFrame));
    log(QStringLiteral("Sending firmware..."));
    m_phase = Phase::Streaming;
    if (!send(startFrame, true)) {
        endAfterFault({QStringLiteral("The connection to the unit was lost before the upload could start.")});
        return false;
    }
    m_streamHold = false;
    return true;
}

bool Uploader::send(const QByteArray& bytes, bool awaitReply)
{
    if (!m_ethernet.sendData(bytes))
        return false;
    if (awaitReply)
        m_replyTimer.start(std::chrono::duration_cast<std::chrono::milliseconds>(TimeScale::toReal(ReplyTimeout)));
    return true;
}

// ---- replies and records ----------------------------------------------------------------------

void Uploader::onDataArrival()
{
    if (m_shutdown)
        return;
    m_rxBuffer.append(m_ethernet.getData());
    if (m_phase == Phase::Connecting)
        return; // dropped with everything else once the connection is up

    if (debug())
        log(QStringLiteral("From Unit ") + Frames::hexDump(m_rxBuffer));
    if (m_rxBuffer.size() < UnitReplies::MinimumBuffered) {
        if (debug()) {
            log(QStringLiteral("Incomplete response from device"));
            scrollLog();
        }
        return;
    }
    for (int stray = UnitReplies::dropStrayBytes(m_rxBuffer); stray > 0; --stray)
        logDebug(QStringLiteral("Spurrious byte"));

    using UnitReplies::Code;
    if (UnitReplies::take(m_rxBuffer, Code::Ack)) {
        m_replyTimer.stop();
        logDebug(UnitReplies::logText(Code::Ack));
        if (!m_streamHold)
            sendNextRecord();
        if (m_shutdown)
            return;
    }
    for (Code code : {Code::ChecksumRefusal, Code::ProductCodeRefusal, Code::RecordTypeRefusal}) {
        if (UnitReplies::take(m_rxBuffer, code)) {
            m_replyTimer.stop();
            refusal(UnitReplies::logText(code));
            if (m_shutdown)
                return;
        }
    }
    if (UnitReplies::take(m_rxBuffer, Code::Unknown)) {
        m_replyTimer.stop();
        unknownReply();
    }
    scrollLog();
}

void Uploader::sendNextRecord()
{
    if (!m_firmware.isOpen())
        return;
    m_phase = Phase::Streaming;
    QByteArray line;
    for (;;) {
        if (m_firmware.atEnd()) {
            const QString reason = m_firmware.hasError()
                                       ? QStringLiteral("the firmware file could not be read: ") + m_firmware.errorString()
                                       : QStringLiteral("the firmware file has no record left to send, "
                                                        "so the unit never got the end of the file.");
            endAfterFault({QStringLiteral("Upload stopped: ") + reason});
            return;
        }
        line = m_firmware.readLine();
        if (FirmwareFile::isBlank(line))
            continue; // an empty line is no record and would never be acknowledged
        const RecordRules::Skip skip = RecordRules::skipReason(line);
        if (skip == RecordRules::Skip::None)
            break;
        if (debug()) {
            log(QStringLiteral("Skip Record, Address ") + QString::fromLatin1(RecordRules::address(line)) +
                (skip == RecordRules::Skip::NoData ? QStringLiteral(", No data") : QStringLiteral(", Boot code")));
        }
    }
    m_window.setProgressValue(double(m_firmware.position() / qint64(ProgressBlock)));
    if (debug()) {
        log(QStringLiteral("To Unit ") + QString::fromLatin1(line));
        log(QStringLiteral("Writing ") + QString::fromLatin1(RecordRules::address(line)));
    }
    if (m_window.isChecked(UploadWindow::Mode::Slow)) {
        logDebug(QStringLiteral("Wait 30mS..."));
        const quint64 update = m_update;
        if (!waitWithin(SlowPause, update) || m_phase != Phase::Streaming || !m_firmware.isOpen())
            return; // the update ended, or another began, during the pause
    }
    const bool last = m_firmware.atEnd();
    if (!send(line, !last)) {
        endAfterFault({QStringLiteral("The connection to the unit was lost before the upload was complete.")});
        return;
    }
    if (!last)
        return;
    if (RecordRules::isEndOfFileRecord(line)) {
        endOfFile();
        return;
    }
    // Without its end-of-file record the unit never finishes the update: that is no success.
    endAfterFault({QStringLiteral("Upload stopped: the firmware file ends without an end-of-file record, "
                                  "so the unit cannot finish the update. Check the file.")});
}

void Uploader::endOfFile()
{
    const quint64 update = m_update;
    m_phase = Phase::Finishing;
    m_uploadSucceeded = true;
    if (m_loopCount < std::numeric_limits<qint16>::max())
        ++m_loopCount;
    m_window.setStatusText(QStringLiteral("Loops: ") + QString::number(m_loopCount));
    m_streamHold = true;
    m_firmware.close();
    log(QStringLiteral("Upload complete."));
    m_window.setProgressValue(m_window.progressMaximum());
    if (!waitWithin(SettleWait, update))
        return;
    finishUpload();
    // Only an update that finished well gets the controls back here and its settings saved; a
    // refusal of the last record during the settle wait took the failure path instead.
    if (m_shutdown || m_completedUpdate != update)
        return;
    // A Loop restart, or the operator, may have begun the next update during the wait before
    // the restart; its controls stay disabled until that update ends.
    if (m_update == update)
        setUpdateControlsEnabled(true);
    saveConnectionSettings();
}

void Uploader::saveConnectionSettings()
{
    QString error;
    if (!m_settings.write(AddressKey, m_window.ethernetAddress(), &error) ||
        !m_settings.write(PortKey, m_window.ethernetPort(), &error)) {
        log(QStringLiteral("Could not save the address and port: ") + error);
        scrollLog();
    }
}

void Uploader::refusal(const QString& line)
{
    if (m_phase == Phase::Finishing && m_uploadSucceeded) {
        // The unit refused the last record while the update was settling: not a success after all.
        log(line);
        log(QStringLiteral("Device responded with an error.  Please try again."));
        m_uploadSucceeded = false;
        m_window.setChecked(UploadWindow::Mode::Loop, false);
        return;
    }
    if (m_phase != Phase::Streaming && m_phase != Phase::Stalled)
        return;
    endAfterFault({line, QStringLiteral("Device responded with an error.  Please try again.")});
}

void Uploader::unknownReply()
{
    log(UnitReplies::logText(UnitReplies::Code::Unknown));
    if (m_phase != Phase::Streaming)
        return;
    m_phase = Phase::Stalled;
    // The log says the update has stopped, so a late acknowledgement must not start the stream
    // again; the file and the connection stay as they are until the next Load and Start.
    m_streamHold = true;
    // "Unknown" alone on a white log reads as an update still running; say that it has stopped.
    log(QStringLiteral("The unit gave an unexpected reply; the update has stopped."));
    log(QStringLiteral("Press Load and Start to try again."));
    m_window.setLogColour(UploadWindow::LogColour::Red);
    setUpdateControlsEnabled(true);
}

// The refusal sequence; also ends an update the unit stopped answering or dropped.
void Uploader::endAfterFault(const QStringList& lines)
{
    const quint64 update = m_update;
    m_phase = Phase::Finishing;
    m_replyTimer.stop();
    for (const QString& line : lines)
        log(line);
    m_streamHold = true; // an acknowledgement during the wait must not read the closed file
    m_firmware.close();
    m_window.setChecked(UploadWindow::Mode::Loop, false);
    if (!waitWithin(SettleWait, update))
        return;
    m_uploadSucceeded = false;
    finishUpload();
    if (m_shutdown)
        return;
    setUpdateControlsEnabled(true);
}

void Uploader::onReplyTimeout()
{
    if (m_shutdown || (m_phase != Phase::Streaming))
        return;
    // Bytes still buffered are a reply that was not recognised (FD 55 AA 04 ...): the unit did
    // answer, just not in a way this tool understands.
    const QString first =
        m_rxBuffer.isEmpty()
            ? QStringLiteral("The unit did not answer for %1 seconds.").arg(ReplyTimeout.count() / 1000)
            : QStringLiteral("The unit's reply (%1) was not understood, and no other came for %2 seconds.")
                  .arg(Frames::hexDump(m_rxBuffer.left(8)).trimmed())
                  .arg(ReplyTimeout.count() / 1000);
    endAfterFault({first, QStringLiteral("Check the unit and its connection, then try again.")});
}

void Uploader::onConnectionLost()
{
    if (m_shutdown || (m_phase != Phase::Streaming && m_phase != Phase::Stalled))
        return;
    endAfterFault({QStringLiteral("The connection to the unit was lost before the upload was complete.")});
}

// ---- finish -----------------------------------------------------------------------------------

void Uploader::finishUpload()
{
    const quint64 update = m_update;
    m_ethernet.close();
    m_replyTimer.stop();
    if (!m_uploadSucceeded) {
        m_window.setLogColour(UploadWindow::LogColour::Red);
        log(QStringLiteral("Disconnecting from ") + m_window.ethernetAddress());
        setUpdateControlsEnabled(true);
        scrollLog();
        m_phase = Phase::Idle;
        emit updateFinished(false);
        return;
    }

    log(QStringLiteral("Upload complete, ") + ElapsedFormat::seconds(now() - m_startTime));
    scrollLog();
    if (!waitWithin(WriteStartWait, update))
        return;
    const ProductVariant* variant = ProductVariants::forTitle(m_title);
    log(QStringLiteral("Writing firmware, DO NOT REMOVE POWER!"));
    scrollLog();
    if (variant && !waitWithin(std::chrono::milliseconds(variant->writeWaitMs), update))
        return;
    log(QStringLiteral("Waiting for unit to reboot...."));
    scrollLog();
    if (variant && !waitWithin(std::chrono::milliseconds(variant->rebootWaitMs), update))
        return;
    log(QStringLiteral(" "));
    log(QStringLiteral(" "));
    log(QStringLiteral("Done!  Unit is ready to use."));
    log(QStringLiteral(" "));
    m_window.setControlEnabled(UploadWindow::Control::LoadStart, true);
    scrollLog();
    m_window.setLogColour(UploadWindow::LogColour::Green);
    m_phase = Phase::Idle;
    m_completedUpdate = update;
    emit updateFinished(true);

    if (m_window.isChecked(UploadWindow::Mode::Loop)) {
        if (!waitWithin(LoopRestartWait, update))
            return; // shut down, or the operator started an update during the wait
        loadStart();
    }
}

// ---- settings and Tools -----------------------------------------------------------------------

void Uploader::loadConnectionSettings()
{
    const ProductVariant* variant = ProductVariants::forTitle(m_title);
    const bool defaults = variant && variant->hasConnectionDefaults;
    // A build without defaults still shows what its last complete upload saved.
    m_window.setEthernetAddress(m_settings.read(AddressKey, defaults ? variant->defaultAddress : QString()));
    m_window.setEthernetPort(m_settings.read(PortKey, defaults ? variant->defaultPort : QString()));
}

void Uploader::forget()
{
    QString error;
    if (!m_settings.removeSection(&error)) {
        log(QStringLiteral("Could not forget the saved address and port: ") + error);
        scrollLog();
    }
    loadConnectionSettings();
}

void Uploader::resetLoopCount()
{
    m_loopCount = 0;
}

void Uploader::shutdown()
{
    m_shutdown = true;
    m_replyTimer.stop();
    m_firmware.close();
    m_ethernet.close();
    WaitableTimer::releaseAll();
}
