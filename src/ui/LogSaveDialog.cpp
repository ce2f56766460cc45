#include "ui/LogSaveDialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>

LogSaveDialog::LogSaveDialog(QWidget* window) : m_window(window) {}

QString LogSaveDialog::choose(const QString& suggestedPath)
{
    if (!m_dialog) {
        m_dialog = new QFileDialog(m_window);
        m_dialog->setObjectName(QStringLiteral("dlgSaveLog"));
    }
    m_dialog->setWindowTitle(QString::fromLatin1(Title));
    m_dialog->setAcceptMode(QFileDialog::AcceptSave);
    m_dialog->setFileMode(QFileDialog::AnyFile);
    m_dialog->setNameFilter(QString::fromLatin1(Filters));
    m_dialog->setDefaultSuffix(QStringLiteral("txt"));
    m_dialog->setWindowModality(Qt::ApplicationModal);
    const QFileInfo suggested(suggestedPath);
    m_dialog->setDirectory(suggested.absolutePath());
    m_dialog->selectFile(suggested.fileName());

    // The window may close, and the dialog go with it, while the dialog is open.
    QPointer<QFileDialog> dialog = m_dialog;
    const int result = dialog->exec();
    if (!dialog || result != QDialog::Accepted)
        return {};
    const QStringList files = dialog->selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}

void LogSaveDialog::cancel()
{
    if (m_dialog && m_dialog->isVisible())
        m_dialog->reject();
}
