#include "ui/LogMenu.h"

#include "ui/LogExport.h"
#include "ui/LogList.h"

#include <QAction>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QListWidget>
#include <QMenu>
#include <QStandardPaths>

#include <algorithm>
#include <utility>

namespace {

QAction* addItem(QMenu* menu, const char* name, const QString& caption)
{
    QAction* action = menu->addAction(caption);
    action->setObjectName(QString::fromLatin1(name));
    return action;
}

} // namespace

LogMenu::LogMenu(QListWidget* list, LogList& log, QWidget* window)
    : QObject(window), m_list(list), m_log(log), m_menu(new QMenu(list)), m_saveDialog(window)
{
    m_menu->setObjectName(QStringLiteral("mnuLog"));
    m_copy = addItem(m_menu, "mnuLogCopy", QStringLiteral("&Copy"));
    m_copyAll = addItem(m_menu, "mnuLogCopyAll", QStringLiteral("Copy &All"));
    m_menu->addSeparator()->setObjectName(QStringLiteral("mnuLogSeparator"));
    m_save = addItem(m_menu, "mnuLogSave", QStringLiteral("&Save Log As..."));

    // Ctrl+C on the list goes through this action rather than the list's own copy, which would
    // miss a line the list is still holding back.
    m_copy->setShortcut(QKeySequence::Copy);
    m_copy->setShortcutContext(Qt::WidgetShortcut);
    m_list->addAction(m_copy);

    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_list, &QWidget::customContextMenuRequested, this, &LogMenu::showMenu);
    connect(m_copy, &QAction::triggered, this, &LogMenu::copySelection);
    connect(m_copyAll, &QAction::triggered, this, &LogMenu::copyAll);
    connect(m_save, &QAction::triggered, this, &LogMenu::saveAs);
    // The items are disabled only while the menu shows; Ctrl+C checks for a selection itself.
    connect(m_menu, &QMenu::aboutToHide, this, [this] {
        for (QAction* action : m_menu->actions())
            action->setEnabled(true);
    });
}

void LogMenu::setSaveChooser(SaveChooser chooser)
{
    m_saveChooser = std::move(chooser);
}

void LogMenu::cancel()
{
    m_menu->close();
    m_saveDialog.cancel();
}

void LogMenu::showMenu(const QPoint& at)
{
    m_log.flush();
    m_copy->setEnabled(!m_list->selectedItems().isEmpty());
    m_copyAll->setEnabled(m_list->count() > 0);
    m_menu->popup(m_list->viewport()->mapToGlobal(at));
}

QStringList LogMenu::lines() const
{
    m_log.flush();
    QStringList lines;
    lines.reserve(m_list->count());
    for (int row = 0; row < m_list->count(); ++row)
        lines << m_list->item(row)->text();
    return lines;
}

QStringList LogMenu::selectedLines() const
{
    m_log.flush();
    QList<QListWidgetItem*> items = m_list->selectedItems();
    std::sort(items.begin(), items.end(),
              [this](QListWidgetItem* a, QListWidgetItem* b) { return m_list->row(a) < m_list->row(b); });
    QStringList lines;
    for (const QListWidgetItem* item : items)
        lines << item->text();
    return lines;
}

void LogMenu::copySelection()
{
    const QStringList selected = selectedLines();
    if (!selected.isEmpty())
        QGuiApplication::clipboard()->setText(LogExport::clipboardText(selected));
}

void LogMenu::copyAll()
{
    const QStringList all = lines();
    if (!all.isEmpty())
        QGuiApplication::clipboard()->setText(LogExport::clipboardText(all));
}

QString LogMenu::suggestedPath() const
{
    QString folder = m_lastSaveFolder;
    if (folder.isEmpty() || !QDir(folder).exists()) {
        folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        if (folder.isEmpty() || !QDir(folder).exists())
            folder = QDir::homePath();
    }
    return QDir(folder).filePath(LogExport::suggestedFileName(QDateTime::currentDateTime()));
}

void LogMenu::saveAs()
{
    const QString path =
        m_saveChooser ? m_saveChooser(suggestedPath()) : m_saveDialog.choose(suggestedPath());
    if (path.isEmpty())
        return;
    // The log as it is once a path is chosen: records may have streamed in while the dialog was open.
    QString error;
    if (!LogExport::write(path, lines(), &error)) {
        emit saveFailed(
            QStringLiteral("Could not write the log to %1: %2").arg(QDir::toNativeSeparators(path), error));
        return;
    }
    m_lastSaveFolder = QFileInfo(path).absolutePath();
}
