// A process that records updates, for the history tests that need several real processes or one
// that dies mid-update.
//   history_test_writer write LOCATION COUNT   COUNT complete updates, then a normal close
//   history_test_writer hold LOCATION          one update begun; prints "recorded ID" once its row
//                                              exists, then waits to be killed
//   history_test_writer try LOCATION           one update begun and finished
//   history_test_writer read LOCATION          prints "rows N" (or "error: TEXT") and "check KIND",
//                                              KIND being what checkWritable says
// Every warning is printed as "warning: TEXT"; the last line is "closed true|false".
#include "history/HistoryReader.h"
#include "history/UpdateHistory.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

namespace {

void say(const QString& line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

UpdateRecord sample(int n)
{
    UpdateRecord record;
    record.frontend = QStringLiteral("cli");
    record.product = QStringLiteral("Marlin");
    record.unitHost = QStringLiteral("10.1.%1.%2").arg(QCoreApplication::applicationPid() % 200).arg(n % 250);
    record.unitPort = 2323;
    record.fileName = QStringLiteral("firmware.hex");
    record.filePath = QStringLiteral("/srv/firmware.hex");
    record.fileSize = 27013;
    record.sha256 = QStringLiteral("ab").repeated(32);
    record.recordsTotal = 601;
    return record;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3)
        return 2;
    const QString mode = args.at(1);
    if (mode == QLatin1String("read")) {
        const HistoryLocation location = HistoryLocation::parse(args.at(2));
        const HistoryRows rows = HistoryReader::list(location, {});
        say(rows.error.ok() ? QStringLiteral("rows %1").arg(rows.rows.size())
                            : QStringLiteral("error: ") + rows.error.message);
        const char* kinds[] = {"None",     "Unreachable", "NotHistory", "NewerSchema",
                               "ReadOnly", "Busy",        "Failed"};
        say(QStringLiteral("check ") + QLatin1String(kinds[UpdateHistory::checkWritable(location).kind]));
        return 0;
    }
    UpdateHistory history;
    QObject::connect(&history, &UpdateHistory::warning,
                     [](const QString& text) { say(QStringLiteral("warning: ") + text); });
    history.open(HistoryLocation::parse(args.at(2)));

    if (mode == QLatin1String("hold")) {
        QObject::connect(&history, &UpdateHistory::recorded,
                         [](HistoryHandle, qint64 id) { say(QStringLiteral("recorded %1").arg(id)); });
        const HistoryHandle handle = history.begin(sample(0));
        history.addLine(handle, QStringLiteral("Connecting..."));
        history.setRefreshInterval(50);
        return app.exec();
    }

    const int count = mode == QLatin1String("write") && args.size() > 3 ? args.at(3).toInt() : 1;
    for (int n = 0; n < count; ++n) {
        const HistoryHandle handle = history.begin(sample(n));
        history.addLine(handle, QStringLiteral("Connecting..."));
        history.addLine(handle, QStringLiteral("Sending..."));
        history.finish(handle, {QStringLiteral("succeeded"), QString(), QString(), 1.5, 601});
        // Let the writer interleave with the other processes instead of taking one big batch.
        if (n % 10 == 9)
            QCoreApplication::processEvents();
    }
    const bool written = history.close(60000);
    say(QStringLiteral("closed %1").arg(written ? QStringLiteral("true") : QStringLiteral("false")));
    return 0;
}
