#include "ui/LogSaveDialog.h"

#include "ui/FileDialogChoice.h"

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

    return chosenFile(m_dialog);
}

void LogSaveDialog::cancel()
{
    if (m_dialog && m_dialog->isVisible())
        m_dialog->reject();
}
