#include "ui/FileDialogChoice.h"

#include <QFileDialog>
#include <QPointer>

QString chosenFile(QFileDialog* dialog)
{
    QPointer<QFileDialog> guarded = dialog;
    const int result = guarded->exec();
    if (!guarded || result != QDialog::Accepted)
        return {};
    const QStringList files = guarded->selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}
