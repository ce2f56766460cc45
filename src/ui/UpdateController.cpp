#include "ui/UpdateController.h"

#include "engine/FirmwareCheckTask.h"
#include "engine/FirmwareSignatureCheck.h"
#include "engine/TextFormat.h"
#include "settings/ConnectionSettings.h"
#include "settings/ProductVariant.h"
#include "settings/SettingsStore.h"
#include "ui/ConnectionStatus.h"

#include <QFileInfo>

#include <cmath>
#include <limits>
#include <utility>

namespace {

constexpr UploadWindow::Control UpdateControls[] = {
    UploadWindow::Control::LoadStart, UploadWindow::Control::FirmwareFile,
    UploadWindow::Control::EthernetAddress, UploadWindow::Control::EthernetPort};

// The progress bar counts 128-byte blocks.
constexpr qint64 ProgressBlock = 128;

} // namespace

UpdateController::UpdateController(UploadWindow& window, SettingsStore& settings, QString title,
                                   const ProductVariant* product, QObject* parent)
    : QObject(parent), m_window(window), m_settings(settings), m_title(std::move(title)), m_product(product)
{
    m_loopRestart.setSingleShot(true);
    m_loopRestart.setTimerType(Qt::PreciseTimer);
    connect(&m_loopRestart, &QTimer::timeout, this, &UpdateController::loadStart);
}

UpdateController::~UpdateController()
{
    dropJob(QStringLiteral("The window was closed."));
}

void UpdateController::setUpdateControlsEnabled(bool enabled)
{
    for (UploadWindow::Control control : UpdateControls)
        m_window.setControlEnabled(control, enabled);
}

void UpdateController::scrollLog()
{
    while (m_window.logCount() > LogLineLimit)
        m_window.removeFirstLogLine();
    const int last = m_window.logCount() - 1;
    if (last >= 0 && m_window.selectedLogIndex() != last)
        m_window.selectLogIndex(last);
}

// A job that has stalled, or one the window no longer wants, goes without another word.
void UpdateController::dropJob(const QString& reason)
{
    if (UpdateJob* job = m_job.data()) {
        m_job = nullptr;
        job->disconnect(this);
        // abort() emits finished() before it returns: the row gets the job's last counts.
        const bool stalled = job->phase() == UpdateJob::Phase::Stalled;
        connect(job, &UpdateJob::finished, this, [this, reason, stalled](const UpdateResult& result) {
            if (reason.isEmpty() || stalled) {
                recordEnd(result);
                return;
            }
            UpdateResult closed = result;
            closed.outcome = UpdateOutcome::Cancelled;
            closed.reason = reason;
            recordEnd(closed);
        });
        job->abort();
        job->disconnect(this);
        job->deleteLater(); // it may be the sender of the signal being handled
    }
}

void UpdateController::showLine(const QString& text, bool debugOnly)
{
    m_window.appendLog(text);
    m_recorder.line(m_historyHandle, text, debugOnly);
}

void UpdateController::recordEnd(const UpdateResult& result)
{
    m_recorder.finish(std::exchange(m_historyHandle, 0), result);
}

// ---- an update --------------------------------------------------------------------------------

void UpdateController::loadStart()
{
    if (m_shutdown)
        return;
    m_loopRestart.stop(); // the operator's own start replaces a pending Loop restart
    dropJob();
    // A stalled update's connection closes here; the status line must not name it any longer.
    m_socketState = ConnectionStatus::Closed;
    emit updateStarted();

    m_window.setLogColour(UploadWindow::LogColour::White);
    m_window.clearLog();
    setUpdateControlsEnabled(false);
    m_lastSucceeded = false;
    m_progressSized = false;
    m_window.setProgressValue(0);

    UpdateRequest request;
    request.firmwarePath = m_firmwarePath;
    request.product = m_product;
    QString reason, line;
    if (!readUnit(request, &reason, &line)) {
        refuseInput(request, reason, line);
        return;
    }
    request.debug = m_window.isChecked(UploadWindow::Mode::Debug);
    request.slow = m_window.isChecked(UploadWindow::Mode::Slow);
    request.timings.scale = m_timeScale;
    // A stalled update waits for the operator: the next Load and Start ends it.
    request.stalledHold = std::nullopt;
    RecordedFirmware firmware;
    if (!m_firmwareSigner.isEmpty()) {
        // The signature covers the bytes the check read: the update sends exactly those or nothing.
        request.expectedSha256 = m_firmwareSha256;
        firmware.signer = m_firmwareSigner;
    }
    m_historyHandle = m_recorder.begin(request, {}, firmware);

    auto* job = new UpdateJob(std::move(request), this);
    m_job = job;
    connect(job, &UpdateJob::logLine, this, &UpdateController::onLogLine);
    connect(job, &UpdateJob::progress, this, &UpdateController::onProgress);
    connect(job, &UpdateJob::phaseChanged, this, &UpdateController::onPhaseChanged);
    connect(job, &UpdateJob::socketStatusChanged, this, &UpdateController::onSocketStatus);
    connect(job, &UpdateJob::socketError, this, &UpdateController::showSocketError);
    connect(job, &UpdateJob::finished, this, &UpdateController::onFinished);
    job->start();
}

bool UpdateController::readUnit(UpdateRequest& request, QString* reason, QString* line) const
{
    // As typed: the line that names the unit shows the box as it reads.
    request.host = m_window.ethernetAddress();
    const QString portText = m_window.ethernetPort();
    bool isNumber = false;
    const int port = portText.trimmed().toInt(&isNumber, 10);
    if (isNumber && port >= 1 && port <= 65535)
        request.port = quint16(port);
    if (!m_product) {
        *reason = QStringLiteral(
                      "This build (\"%1\") is for no known product, so there is no product code to send.")
                      .arg(m_title);
    } else if (request.host.trimmed().isEmpty()) {
        *reason = QStringLiteral("No unit address given.");
        *line = QStringLiteral("No unit address given: type the unit's IP address into the Address box.");
        return false;
    } else if (request.port == 0) {
        *reason = QStringLiteral("Invalid port \"%1\": the port must be a whole number from 1 to 65535.")
                      .arg(TextFormat::escaped(portText));
    } else {
        return true;
    }
    *line = *reason;
    return false;
}

void UpdateController::refuseInput(const UpdateRequest& request, const QString& reason, const QString& line)
{
    m_historyHandle = m_recorder.begin(request);
    const QString address = TextFormat::escaped(request.host);
    for (const QString& text : {QStringLiteral("Connecting to ") + address, line,
                                QStringLiteral("Could not establish connection to ") + address,
                                QStringLiteral("Disconnecting from ") + address}) {
        showLine(text);
        scrollLog();
    }
    UpdateResult result;
    result.outcome = UpdateOutcome::BadInput;
    result.reason = reason;
    result.sha256 = m_firmwareSha256;
    result.recordsToSend = m_firmwareRecordsToSend;
    onFinished(result);
}

void UpdateController::modesChanged()
{
    if (m_job) {
        m_job->setDebug(m_window.isChecked(UploadWindow::Mode::Debug));
        m_job->setSlow(m_window.isChecked(UploadWindow::Mode::Slow));
    }
}

void UpdateController::onLogLine(const QString& text, bool debugOnly, UpdateJob::Line line)
{
    switch (line) {
    case UpdateJob::Line::Plain:
        showLine(text, debugOnly);
        break;
    case UpdateJob::Line::Disconnecting:
        // The address box as it reads now: the operator may have edited it since the update began.
        showLine(QStringLiteral("Disconnecting from ") + TextFormat::escaped(m_window.ethernetAddress()));
        break;
    }
    scrollLog();
}

void UpdateController::onProgress(qint64 bytesRead, qint64 fileSize, qint64 recordsSent)
{
    m_recorder.recordsSent(m_historyHandle, recordsSent);
    if (!m_progressSized) {
        m_progressSized = true;
        m_window.setProgressMaximum(std::floor(double(fileSize) / double(ProgressBlock) + 1.0));
    }
    m_window.setProgressValue(double(bytesRead / ProgressBlock));
}

void UpdateController::onPhaseChanged(UpdateJob::Phase phase)
{
    switch (phase) {
    case UpdateJob::Phase::Settling:
        // Every complete upload counts, Loop or not.
        if (m_loopCount < std::numeric_limits<qint16>::max())
            ++m_loopCount;
        m_window.setStatusText(QStringLiteral("Loops: ") + QString::number(m_loopCount));
        m_window.setProgressValue(m_window.progressMaximum());
        break;
    case UpdateJob::Phase::Stalled:
        // The update has stopped on the unit's unknown reply; its connection stays until the next
        // Load and Start.
        showLine(QStringLiteral("Press Load and Start to try again."));
        m_window.setLogColour(UploadWindow::LogColour::Red);
        setUpdateControlsEnabled(true);
        enableLoadStartIfUsable();
        scrollLog();
        break;
    case UpdateJob::Phase::Ending:
        // A refusal, or any fault once the unit had the update under way, ends Loop mode now,
        // before the connection closes.
        m_window.setChecked(UploadWindow::Mode::Loop, false);
        break;
    default:
        break;
    }
}

void UpdateController::onSocketStatus(const SocketStatus& status)
{
    m_socketState = ConnectionStatus::stateNumber(status);
    if (!status.isClosed() && m_job)
        m_remoteHost = TextFormat::escaped(m_job->request().host);
}

void UpdateController::showSocketError(QAbstractSocket::SocketError error, const QString& description)
{
    m_window.setLogColour(UploadWindow::LogColour::Red);
    for (const QString& line :
         ConnectionStatus::errorLines(error, description, m_product && m_product->showsTcpServerHint))
        showLine(line);
    scrollLog();
}

void UpdateController::onFinished(const UpdateResult& result)
{
    if (UpdateJob* job = m_job.data()) {
        m_job = nullptr;
        job->disconnect(this);
        job->deleteLater();
    }
    recordEnd(result);
    m_socketState = 0;
    m_lastSucceeded = result.succeeded();
    if (!result.succeeded()) {
        m_window.setLogColour(UploadWindow::LogColour::Red);
        setUpdateControlsEnabled(true);
        enableLoadStartIfUsable();
        scrollLog();
        emit updateFinished(false);
        return;
    }
    m_window.setControlEnabled(UploadWindow::Control::LoadStart, m_firmwareUsable && !m_check);
    scrollLog();
    m_window.setLogColour(UploadWindow::LogColour::Green);
    const bool loop = m_window.isChecked(UploadWindow::Mode::Loop);
    // With Loop the other controls stay with the update until the restart has begun.
    if (!loop)
        setUpdateControlsEnabled(true);
    emit updateFinished(true);
    saveConnectionSettings();
    if (loop)
        m_loopRestart.start(UpdateTimings{.scale = m_timeScale}.real(LoopRestartWait));
}

void UpdateController::shutdown()
{
    m_shutdown = true;
    m_loopRestart.stop();
    stopFirmwareChecks();
    dropJob(QStringLiteral("The window was closed."));
}

// ---- the firmware file -------------------------------------------------------------------------

void UpdateController::chooseFirmware(const QString& path)
{
    m_firmwarePath = path;
    m_firmwareUsable = false;
    m_firmwareSha256.clear();
    m_firmwareSigner.clear();
    m_firmwareRecordsToSend = 0;
    m_window.setControlEnabled(UploadWindow::Control::LoadStart, false);
    m_window.setFirmwareFileCaption(QStringLiteral("Loading firmware file, please wait..."));
    stopFirmwareChecks();
    m_check = new FirmwareCheckTask(path, {}, this);
    connect(m_check, &FirmwareCheckTask::finished, this, &UpdateController::onFirmwareChecked);
    m_check->start(); // a small file is checked at once
}

void UpdateController::onFirmwareChecked(const FirmwareCheckResult& result)
{
    m_check->deleteLater();
    m_check = nullptr;
    m_firmwareUsable = result.ok();
    m_firmwareSha256 = result.sha256;
    m_firmwareRecordsToSend = result.ok() ? result.summary.recordsToSend : 0;
    const QString allowedSigners = m_settings.read(QLatin1String(AllowedSignersKey), {}).trimmed();
    if (result.ok() && !allowedSigners.isEmpty()) {
        // Released firmware only: the file waits for its signature (a few runs of ssh-keygen,
        // each bounded) before Load and Start is offered.
        m_firmwareUsable = false;
        m_signatureCheck = new FirmwareSignatureCheck(m_firmwarePath,
                                                      FirmwareSignatureCheck::signatureBeside(m_firmwarePath),
                                                      m_firmwareSha256, {allowedSigners, {}}, this);
        connect(m_signatureCheck, &FirmwareSignatureCheck::finished, this,
                &UpdateController::onSignatureChecked);
        m_signatureCheck->start();
        return;
    }
    m_window.setFirmwareFileCaption(TextFormat::escaped(QFileInfo(m_firmwarePath).fileName()));
    if (result.ok()) {
        if (m_window.isChecked(UploadWindow::Mode::Debug)) {
            for (const QString& line : result.logLines())
                m_window.appendLog(line);
            scrollLog();
        }
        enableLoadStartIfUsable();
    } else {
        firmwareRefused(result.refusal(m_firmwarePath));
    }
    emit firmwareChecked(m_firmwareUsable);
}

void UpdateController::onSignatureChecked(const SignatureVerdict& verdict)
{
    m_signatureCheck->deleteLater();
    m_signatureCheck = nullptr;
    m_window.setFirmwareFileCaption(TextFormat::escaped(QFileInfo(m_firmwarePath).fileName()));
    m_firmwareUsable = verdict.ok();
    if (verdict.ok()) {
        m_firmwareSigner = verdict.signer;
        if (m_window.isChecked(UploadWindow::Mode::Debug)) {
            m_window.appendLog(QStringLiteral("Signed by: ") + TextFormat::escaped(verdict.signer));
            scrollLog();
        }
        enableLoadStartIfUsable();
    } else {
        firmwareRefused(QStringLiteral("The firmware file %1 cannot be sent: %2")
                            .arg(TextFormat::escaped(m_firmwarePath), verdict.reason));
    }
    emit firmwareChecked(m_firmwareUsable);
}

void UpdateController::firmwareRefused(const QString& line)
{
    // A running update's log keeps its colour; the line still says why the file cannot be used.
    if (!isUpdateRunning())
        m_window.setLogColour(UploadWindow::LogColour::Red);
    m_window.appendLog(line);
    scrollLog();
}

void UpdateController::stopFirmwareChecks()
{
    if (m_check) {
        m_check->stop();
        m_check->deleteLater();
        m_check = nullptr;
    }
    if (m_signatureCheck) {
        m_signatureCheck->disconnect(this);
        m_signatureCheck->deleteLater();
        m_signatureCheck = nullptr;
    }
}

void UpdateController::enableLoadStartIfUsable()
{
    if (!isUpdateRunning())
        m_window.setControlEnabled(UploadWindow::Control::LoadStart,
                                   m_firmwareUsable && !isCheckingFirmware());
}

// ---- settings ---------------------------------------------------------------------------------

void UpdateController::saveConnectionSettings()
{
    QString error;
    if (!ConnectionSettings{m_window.ethernetAddress(), m_window.ethernetPort()}.save(m_settings, &error)) {
        m_window.appendLog(QStringLiteral("Could not save the address and port: ") + error);
        scrollLog();
    }
}

void UpdateController::loadConnectionSettings()
{
    const ConnectionSettings settings = ConnectionSettings::load(m_settings, m_product);
    m_window.setEthernetAddress(settings.address);
    m_window.setEthernetPort(settings.port);
}

void UpdateController::forget()
{
    QString error;
    // Only what the window saved: the section may hold keys the window reads but never writes
    // (HistoryLocation, set by whoever set up the station).
    if (!m_settings.removeKeys(
            {QLatin1String(ConnectionSettings::AddressKey), QLatin1String(ConnectionSettings::PortKey)},
            &error)) {
        m_window.appendLog(QStringLiteral("Could not forget the saved address and port: ") + error);
        scrollLog();
    }
    loadConnectionSettings();
}
