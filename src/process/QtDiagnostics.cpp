#include "process/QtDiagnostics.h"

#include <QString>
#include <QtGlobal>

#include <cstdio>

namespace {

void handle(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    // A fatal one ends the program: that much must be said.
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(message));
        std::fflush(stderr);
    }
}

} // namespace

namespace QtDiagnostics {

void keepOffStandardError()
{
    if (qEnvironmentVariableIntValue("UPLOADER_QT_DIAGNOSTICS") != 0)
        return;
    qInstallMessageHandler(handle);
}

} // namespace QtDiagnostics
