#include "ui/FirmwareFileDialog.h"

#include "ui/FileDialogChoice.h"

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

    return chosenFile(m_dialog);
}

void FirmwareFileDialog::cancel()
{
    if (m_dialog && m_dialog->isVisible())
        m_dialog->reject();
}
