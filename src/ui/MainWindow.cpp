#include "ui/MainWindow.h"

#include "engine/TextFormat.h"
#include "engine/UpdateRequest.h"
#include "process/ConsoleOutput.h"
#include "ui/ClickWatcher.h"
#include "ui/ConnectionStatus.h"
#include "ui/LogList.h"

#include <QAction>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

namespace {

int toBarUnits(double value)
{
    if (!std::isfinite(value))
        return value > 0 ? INT_MAX : 0;
    return int(std::clamp(std::round(value), 0.0, double(INT_MAX)));
}

} // namespace

MainWindow::MainWindow(const QString& applicationTitle, const QString& version, const ProductVariant* product,
                       QWidget* parent)
    : QMainWindow(parent), m_title(applicationTitle), m_product(product), m_settings(applicationTitle),
      m_updates(*this, m_settings, applicationTitle, product, this), m_statusTimer(new QTimer(this)),
      m_progressFrame(new QTimer(this)), m_fileDialog(this)
{
    setObjectName(QStringLiteral("frmMain"));
    m_statusTimer->setObjectName(QStringLiteral("EthernetStatusTimer"));

    m_menus = MainWindowMenus::build(*this);
    m_controls = MainWindowControls::build(*this);
    // Trouble with the history stands beside the status line, in the status bar's own colours: it
    // is no part of any update's story, so it stays out of the log (whose colour tells how the
    // update went) and the status timer does not overwrite it.
    m_historyWarning = new QLabel(m_controls.statusBar);
    m_historyWarning->setObjectName(QStringLiteral("sbHistoryWarning"));
    m_historyWarning->setTextFormat(Qt::PlainText);
    m_historyWarning->hide();
    m_controls.statusBar->addPermanentWidget(m_historyWarning);
    m_log = new LogList(m_controls.listBox, this);
    m_logMenu = new LogMenu(m_controls.listBox, *m_log, this);
    connect(m_logMenu, &LogMenu::saveFailed, this, [this](const QString& message) {
        appendLog(message);
        m_updates.scrollLog();
    });
    m_progressFrame->setSingleShot(true);
    m_progressFrame->setTimerType(Qt::PreciseTimer);
    connect(m_progressFrame, &QTimer::timeout, this, &MainWindow::showProgress);
    m_startHeight = menuBar()->sizeHint().height() + MainWindowControls::ClientHeight;
    setFixedSize(MainWindowControls::ClientWidth, m_startHeight);

    auto* fileClicks = new ClickWatcher(this);
    fileClicks->watch(m_controls.firmwareFile);
    fileClicks->watch(m_controls.frmFirmwareFile);
    connect(fileClicks, &ClickWatcher::clicked, this, &MainWindow::chooseFirmwareFile);
    connect(m_menus.mnuFileOpen, &QAction::triggered, this, &MainWindow::chooseFirmwareFile);
    connect(m_menus.mnuFileHistory, &QAction::triggered, this, &MainWindow::showHistory);
    connect(m_menus.mnuFileExit, &QAction::triggered, this, &QWidget::close);
    connect(m_controls.loadStart, &QPushButton::clicked, &m_updates, &UpdateController::loadStart);
    connect(&m_updates, &UpdateController::firmwareChecked, this, &MainWindow::describeFirmwareFile);
    // The check items invert their own check mark before these run.
    connect(m_menus.mnuLoop, &QAction::triggered, this, &MainWindow::onLoopChosen);
    connect(m_menus.mnuDebug, &QAction::triggered, this, &MainWindow::onDebugChosen);
    connect(m_menus.mnuSlow, &QAction::triggered, &m_updates, &UpdateController::modesChanged);
    connect(m_menus.mnuForget, &QAction::triggered, &m_updates, &UpdateController::forget);
    connect(m_statusTimer, &QTimer::timeout, this, &MainWindow::onStatusTick);

    // Start-up, in this order.
    m_statusPeriodMs = StatusPeriodMs;
    m_statusTimer->start(realInterval(m_statusPeriodMs));
    setWindowTitle(applicationTitle + QStringLiteral(" v") + version);
    setFirmwareFileCaption(QStringLiteral("Select file..."));
    m_updates.loadConnectionSettings();
    connect(&m_history, &UpdateHistory::warning, this, &MainWindow::showHistoryWarning);
    connect(&m_history, &UpdateHistory::waitingChanged, this, &MainWindow::showHistoryWaiting);
    m_history.open(HistoryLocation::resolve(m_settings.read(QLatin1String(HistoryLocationKey), {})));
    m_updates.setHistory(&m_history);
    setControlEnabled(Control::LoadStart, false);
    m_menus.mnuSlow->setChecked(false);
    m_menus.mnuTools->menuAction()->setVisible(
        applicationTitle.endsWith(QStringLiteral("Debug"), Qt::CaseSensitive));
}

// The window is destroyed only after the event loop has returned, so no handler is waiting inside
// it any more; shutting the engine down here would also end the waits of every later window.
MainWindow::~MainWindow()
{
    m_closed = true;
    m_statusTimer->stop();
}

void MainWindow::setTimeScale(double scale)
{
    m_updates.setTimeScale(scale);
    m_statusTimer->setInterval(realInterval(m_statusPeriodMs));
}

// A real timer interval for a period in program time; never 0, which would fire continuously.
int MainWindow::realInterval(int programMs) const
{
    return std::max(1, int(UpdateTimings{.scale = m_updates.timeScale()}
                               .real(std::chrono::milliseconds(programMs))
                               .count()));
}

void MainWindow::setFileChooser(std::function<QString()> chooser)
{
    m_fileChooser = std::move(chooser);
}

void MainWindow::setLogSaveChooser(LogMenu::SaveChooser chooser)
{
    m_logMenu->setSaveChooser(std::move(chooser));
}

QString MainWindow::statusText() const
{
    return m_controls.statusText->text();
}

// ---- File -------------------------------------------------------------------------------------

void MainWindow::chooseFirmwareFile()
{
    const QString path = m_fileChooser ? m_fileChooser() : m_fileDialog.choose(m_updates.firmwarePath());
    // Cancel leaves an earlier choice, and Load and Start, as they were.
    if (m_closed || path.isEmpty())
        return;
    // A file chosen while an update runs is kept for the next one; Load and Start comes back
    // when the running update has ended (and the file has passed its check), not on top of it.
    m_updates.chooseFirmware(path);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // Nothing is saved or sent; an update in progress stops where it is, and every handler
    // waiting inside it unwinds without touching the window again.
    if (!m_closed) {
        m_closed = true;
        m_statusTimer->stop();
        m_fileDialog.cancel();
        m_logMenu->cancel();
        if (m_historyDialog)
            m_historyDialog->close();
        // The update under way is recorded as ended by the close, and written before the window
        // goes: the process may end as soon as this returns.
        m_updates.shutdown();
        m_history.close(HistoryCloseTimeoutMs);
    }
    event->accept();
}

HistoryDialog* MainWindow::showHistory()
{
    if (m_closed)
        return nullptr;
    if (!m_historyDialog) {
        m_historyDialog = new HistoryDialog(m_history.location(), this);
        if (m_historyCsvChooser)
            m_historyDialog->setCsvChooser(m_historyCsvChooser);
    }
    m_historyDialog->show();
    m_historyDialog->raise();
    m_historyDialog->activateWindow();
    m_historyDialog->refresh();
    return m_historyDialog;
}

void MainWindow::setHistoryCsvChooser(HistoryDialog::CsvChooser chooser)
{
    m_historyCsvChooser = chooser;
    if (m_historyDialog)
        m_historyDialog->setCsvChooser(std::move(chooser));
}

void MainWindow::showHistoryWarning(const QString& message)
{
    // Also for whoever reads the program's own output (a journal, a terminal).
    ConsoleOutput::warn(message);
    m_historyWarning->setText(m_historyWaiting > 0
                                  ? QStringLiteral("History unavailable: %1 waiting").arg(m_historyWaiting)
                                  : QStringLiteral("History unavailable"));
    m_historyWarning->setToolTip(message);
    m_historyWarning->setStatusTip(message);
    m_historyWarning->show();
}

void MainWindow::showHistoryWaiting(qint64 count)
{
    m_historyWaiting = count;
    if (m_historyWarning->toolTip().isEmpty())
        return; // nothing went wrong: rows on their way are no news
    if (count == 0) {
        // Everything recorded here is in the history now: it works again.
        m_historyWarning->hide();
        return;
    }
    m_historyWarning->setText(QStringLiteral("History unavailable: %1 waiting").arg(count));
    m_historyWarning->show();
}

QString MainWindow::historyWarning() const
{
    return m_historyWarning->isVisible() || !m_historyWarning->toolTip().isEmpty()
               ? m_historyWarning->toolTip()
               : QString();
}

// ---- Tools ------------------------------------------------------------------------------------

void MainWindow::onLoopChosen()
{
    m_updates.resetLoopCount();
    setStatusText(QStringLiteral("Loops: 0"));
}

void MainWindow::onDebugChosen()
{
    const bool debug = m_menus.mnuDebug->isChecked();
    // Sized by the client area: the frame's height is the window system's and may change or be
    // unknown (before the window is shown), and Debug off must give back the start-up size.
    setFixedHeight(m_startHeight + (debug ? DebugExtraHeight : 0));
    m_controls.listBox->resize(m_controls.listBox->width(),
                               debug ? MainWindowControls::DebugLogHeight : MainWindowControls::LogHeight);
    m_updates.modesChanged();
}

// The label shows the file's name; its tool tip says exactly which file that is.
void MainWindow::describeFirmwareFile()
{
    const QString path = m_updates.firmwarePath();
    QStringList lines{TextFormat::escaped(QDir::toNativeSeparators(path))};
    const QFileInfo info(path);
    if (info.isFile())
        lines << QStringLiteral("%1 bytes").arg(TextFormat::count(info.size()));
    if (!m_updates.firmwareSha256().isEmpty())
        lines << QStringLiteral("SHA-256: ") + m_updates.firmwareSha256();
    if (!m_updates.firmwareSigner().isEmpty())
        lines << QStringLiteral("Signed by: ") + TextFormat::escaped(m_updates.firmwareSigner());
    // As rich text with every line escaped: a name that looks like markup shows as typed.
    for (QString& line : lines)
        line = line.toHtmlEscaped();
    m_controls.firmwareFile->setToolTip(QStringLiteral("<qt>") + lines.join(QStringLiteral("<br>")) +
                                        QStringLiteral("</qt>"));
}

// ---- connection status and socket errors ------------------------------------------------------

void MainWindow::onStatusTick()
{
    if (m_closed)
        return;
    const int state = m_updates.socketState();
    setStatusText(ConnectionStatus::statusLine(state, m_updates.remoteHost()));
    if (state == ConnectionStatus::Connected && m_statusPeriodMs != ConnectedStatusPeriodMs) {
        m_statusPeriodMs = ConnectedStatusPeriodMs;
        m_statusTimer->setInterval(realInterval(m_statusPeriodMs));
    }
}

// ---- UploadWindow -----------------------------------------------------------------------------

LogList& MainWindow::log() const
{
    m_log->setCoalescing(isStreaming());
    return *m_log;
}

void MainWindow::appendLog(const QString& line)
{
    log().append(line);
}

void MainWindow::clearLog()
{
    log().clear();
}

int MainWindow::logCount() const
{
    return log().count();
}

void MainWindow::removeFirstLogLine()
{
    log().removeFirst();
}

int MainWindow::selectedLogIndex() const
{
    return log().currentRow();
}

void MainWindow::selectLogIndex(int index)
{
    log().select(index);
}

void MainWindow::setLogColour(LogColour colour)
{
    m_log->flush(); // lines written before the colour change show before it
    QColor background;
    switch (colour) {
    case LogColour::White:
        background = QColor(255, 255, 255);
        break;
    case LogColour::Green:
        background = QColor(0, 255, 0);
        break;
    case LogColour::Red:
        background = QColor(255, 0, 0);
        break;
    }
    QPalette palette = m_controls.listBox->palette();
    palette.setColor(QPalette::Base, background);
    m_controls.listBox->setPalette(palette);
}

void MainWindow::setProgressMaximum(double maximum)
{
    showProgress(); // a value held back was set against the old maximum
    m_progressMaximum = maximum;
    m_controls.progressBar->setMaximum(toBarUnits(maximum));
}

double MainWindow::progressMaximum() const
{
    return m_progressMaximum;
}

void MainWindow::setProgressValue(double value)
{
    if (isStreaming()) {
        m_pendingProgress = toBarUnits(value);
        if (!m_progressFrame->isActive())
            m_progressFrame->start(LogList::FrameMs);
        return;
    }
    m_pendingProgress = -1;
    m_progressFrame->stop();
    m_controls.progressBar->setValue(std::min(toBarUnits(value), m_controls.progressBar->maximum()));
}

void MainWindow::showProgress()
{
    m_progressFrame->stop();
    if (m_pendingProgress < 0)
        return;
    m_controls.progressBar->setValue(
        std::min(std::exchange(m_pendingProgress, -1), m_controls.progressBar->maximum()));
}

void MainWindow::setStatusText(const QString& text)
{
    m_controls.statusText->setText(text);
}

void MainWindow::setControlEnabled(Control control, bool enabled)
{
    QWidget* widget = nullptr;
    switch (control) {
    case Control::LoadStart:
        widget = m_controls.loadStart;
        break;
    case Control::FirmwareFile:
        widget = m_controls.firmwareFile;
        break;
    case Control::EthernetAddress:
        widget = m_controls.ethernetAddress;
        break;
    case Control::EthernetPort:
        widget = m_controls.ethernetPort;
        break;
    }
    if (widget)
        widget->setEnabled(enabled);
}

QString MainWindow::ethernetAddress() const
{
    return m_controls.ethernetAddress->text();
}

QString MainWindow::ethernetPort() const
{
    return m_controls.ethernetPort->text();
}

void MainWindow::setEthernetAddress(const QString& text)
{
    m_controls.ethernetAddress->setText(text);
}

void MainWindow::setEthernetPort(const QString& text)
{
    m_controls.ethernetPort->setText(text);
}

void MainWindow::setFirmwareFileCaption(const QString& caption)
{
    m_controls.firmwareFile->setText(caption);
}

QAction* MainWindow::modeAction(Mode mode) const
{
    switch (mode) {
    case Mode::Loop:
        return m_menus.mnuLoop;
    case Mode::Slow:
        return m_menus.mnuSlow;
    case Mode::Debug:
        return m_menus.mnuDebug;
    }
    return nullptr;
}

bool MainWindow::isChecked(Mode mode) const
{
    const QAction* action = modeAction(mode);
    return action && action->isChecked();
}

void MainWindow::setChecked(Mode mode, bool checked)
{
    if (QAction* action = modeAction(mode))
        action->setChecked(checked);
}
