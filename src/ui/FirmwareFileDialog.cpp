#include "ui/FirmwareFileDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>

FirmwareFileDialog::FirmwareFileDialog(QWidget* window) : m_window(window) {}

QString FirmwareFileDialog::choose(const QString& lastChoice)
{
    if (!m_dialog) {
        m_dialog = new QFileDialog(m_window);
        m_dialog->setObjectName(QStringLiteral("dlgCommonDialog"));
    }
    m_dialog->setWindowTitle(QString::fromLatin1(Title));
    m_dialog->setAcceptMode(QFileDialog::AcceptOpen);
    m_dialog->setFileMode(QFileDialog::ExistingFile);
    const QDir lastFolder = QFileInfo(lastChoice).absoluteDir();
    m_dialog->setDirectory(!lastChoice.isEmpty() && lastFolder.exists() ? lastFolder.absolutePath()
                                                                        : QDir::currentPath());
    m_dialog->setNameFilter(QString::fromLatin1(Filter));
    m_dialog->setWindowModality(Qt::ApplicationModal);

    // The window may close, and the dialog go with it, while the dialog is open.
    QPointer<QFileDialog> dialog = m_dialog;
    const int result = dialog->exec();
    if (!dialog || result != QDialog::Accepted)
        return {};
    const QStringList files = dialog->selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}

void FirmwareFileDialog::cancel()
{
    if (m_dialog && m_dialog->isVisible())
        m_dialog->reject();
}
