#pragma once

#include <QString>

class QFileDialog;

// Shows the dialog modally and returns the file chosen, or "" for Cancel. The window may close,
// and the dialog go with it, while the dialog is open: then it is "" too.
QString chosenFile(QFileDialog* dialog);
