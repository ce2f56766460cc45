// What the update history costs: per update (begin, 12 log lines, finish) on the caller's thread
// and until its finished row is committed, a unit query on 100,000 rows, and the file's size.
//   history_bench [--rows N] [--updates N] [--location URL] [--cli PROGRAM] [--forward N]
// It also times `uploader-cli history --unit HOST:PORT` as a whole process on those rows (the
// program that was built beside it, or --cli).
// Without --location it works on a new SQLite file in a temporary folder (WAL, as the history
// always opens it).
#include "history/HistoryConnection.h"
#include "history/HistoryReader.h"
#include "history/HistorySql.h"
#include "history/HistoryTable.h"
#include "history/JournalForwarding.h"
#include "history/UpdateHistory.h"

#include <QUuid>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

double percentile(QList<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(qMin(values.size() - 1, qsizetype(values.size() * p)));
}

UpdateRecord sample(int n)
{
    UpdateRecord r;
    r.frontend = QStringLiteral("cli");
    r.product = QStringLiteral("Marlin");
    r.unitHost = QStringLiteral("10.0.%1.%2").arg(n / 250 % 4).arg(n % 250); // 1,000 units
    r.unitPort = 2323;
    r.fileName = QStringLiteral("marlin-arc-1.0.61.hex");
    r.filePath = QStringLiteral("/srv/firmware/marlin-arc-1.0.61.hex");
    r.fileSize = 27013;
    r.sha256 = QStringLiteral("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    r.recordsTotal = 601;
    return r;
}

const QStringList& logLines()
{
    static const QStringList lines = {
        QStringLiteral("Connecting to 10.0.1.17:2323"),
        QStringLiteral("Connected."),
        QStringLiteral("Product: Marlin"),
        QStringLiteral("Sending the product code..."),
        QStringLiteral("The unit accepted the product."),
        QStringLiteral("Sending 601 records..."),
        QStringLiteral("25% sent"),
        QStringLiteral("50% sent"),
        QStringLiteral("75% sent"),
        QStringLiteral("All records sent."),
        QStringLiteral("Waiting for the unit to restart"),
        QStringLiteral("Done!  Unit is ready to use."),
    };
    return lines;
}

void perUpdate(const HistoryLocation& location, int updates)
{
    UpdateHistory history;
    QObject::connect(&history, &UpdateHistory::warning,
                     [](const QString& text) { std::fprintf(stderr, "warning: %s\n", qPrintable(text)); });
    history.open(location);
    const UpdateEnd end{QStringLiteral("succeeded"), QString(), QString(), 22.7, 601};

    // On the caller's thread: updates back to back, as a busy front end issues them.
    QList<double> caller;
    for (int n = 0; n < updates; ++n) {
        QElapsedTimer timer;
        timer.start();
        const HistoryHandle handle = history.begin(sample(n));
        for (const QString& line : logLines())
            history.addLine(handle, line);
        history.finish(handle, end);
        caller << timer.nsecsElapsed() / 1000.0;
    }
    history.close(60000);

    // End to end: one update at a time, until its finished row is committed.
    history.open(location);
    QList<double> endToEnd;
    HistoryHandle waitingFor = 0;
    bool done = false;
    QEventLoop loop;
    QObject::connect(&history, &UpdateHistory::written, [&](HistoryHandle handle) {
        if (handle == waitingFor) {
            done = true;
            loop.quit();
        }
    });
    for (int n = 0; n < updates; ++n) {
        QElapsedTimer timer;
        timer.start();
        done = false;
        waitingFor = history.begin(sample(n));
        for (const QString& line : logLines())
            history.addLine(waitingFor, line);
        history.finish(waitingFor, end);
        if (!done)
            loop.exec();
        endToEnd << timer.nsecsElapsed() / 1000.0;
    }
    history.close(60000);
    std::printf("per update, caller's thread    median %8.1f us   p99 %8.1f us   (%d updates)\n",
                median(caller), percentile(caller, 0.99), updates);
    std::printf("per update, until committed    median %8.1f us   p99 %8.1f us\n", median(endToEnd),
                percentile(endToEnd, 0.99));
}

bool fill(const HistoryLocation& location, int rows)
{
    HistoryConnection connection(location);
    const HistoryError error = connection.open(HistoryConnection::Purpose::Write);
    if (!error.ok()) {
        std::fprintf(stderr, "%s\n", qPrintable(error.message));
        return false;
    }
    QSqlDatabase& db = connection.database();
    HistoryTable table(db);
    const QString log = logLines().join(QLatin1Char('\n'));
    QDateTime started = QDateTime::currentDateTimeUtc().addDays(-400);
    QSqlQuery transaction(db);
    for (int n = 0; n < rows; ++n) {
        if (n % 5000 == 0)
            transaction.exec(HistorySql::beginWrite(location.kind()));
        UpdateRecord r = sample(n);
        started = started.addSecs(300);
        r.started = started;
        r.ended = started.addMSecs(22700);
        r.outcome = n % 20 == 0 ? QStringLiteral("no-reply") : QStringLiteral("succeeded");
        r.elapsedSeconds = 22.7;
        r.recordsSent = 601;
        r.log = log;
        if (!table.insert(r)) {
            std::fprintf(stderr, "insert: %s\n", qPrintable(table.lastError().text()));
            return false;
        }
        if (n % 5000 == 4999 || n + 1 == rows)
            transaction.exec(QStringLiteral("COMMIT"));
    }
    if (location.kind() == HistoryLocation::SQLite)
        transaction.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    return true;
}

void unitQueries(const HistoryLocation& location, int rows)
{
    QElapsedTimer fillTimer;
    fillTimer.start();
    if (!fill(location, rows))
        return;
    std::printf("filled %d rows in %.1f s\n", rows, fillTimer.elapsed() / 1000.0);
    if (location.kind() == HistoryLocation::SQLite) {
        const qint64 size = QFileInfo(location.filePath()).size();
        std::printf(
            "file size                      %8.1f MB for %d updates (%.0f bytes per update, 12-line logs)\n",
            size / 1e6, rows, double(size) / rows);
    }

    QList<double> withOpen, queryOnly;
    HistoryConnection connection(location);
    connection.open(HistoryConnection::Purpose::Read);
    HistoryTable table(connection.database());
    for (int i = 0; i < 100; ++i) {
        HistoryFilter filter;
        const UpdateRecord unit = sample(int(QRandomGenerator::global()->bounded(1000)));
        filter.unitHost = unit.unitHost;
        filter.unitPort = unit.unitPort;
        QElapsedTimer timer;
        timer.start();
        const HistoryRows result = HistoryReader::list(location, filter);
        withOpen << timer.nsecsElapsed() / 1e6;
        if (!result.error.ok() || result.rows.size() != 50)
            std::fprintf(stderr, "query: %lld rows %s\n", qlonglong(result.rows.size()),
                         qPrintable(result.error.message));
        QList<UpdateRecord> direct;
        timer.restart();
        table.select(filter, &direct);
        queryOnly << timer.nsecsElapsed() / 1e6;
    }
    std::printf("unit query (50 latest of ~%d)  median %8.2f ms   p99 %8.2f ms   (HistoryReader::list, with "
                "its open)\n",
                rows / 1000, median(withOpen), percentile(withOpen, 0.99));
    std::printf("unit query, statement only     median %8.2f ms   p99 %8.2f ms\n", median(queryOnly),
                percentile(queryOnly, 0.99));
}

// A shared history back after an outage: `waiting` finished rows in this computer's journal (a new
// one), forwarded as the next program here does it.
void forwardWaiting(HistoryLocation location, const QString& journalPath, int waiting)
{
    location.setJournalFile(journalPath);
    {
        HistoryConnection connection(location.journal());
        if (!connection.open(HistoryConnection::Purpose::Write).ok())
            return;
        QSqlDatabase& db = connection.database();
        HistoryTable table(db);
        QSqlQuery transaction(db);
        transaction.exec(HistorySql::beginWrite(HistoryLocation::SQLite));
        const QString log = logLines().join(QLatin1Char('\n'));
        for (int n = 0; n < waiting; ++n) {
            UpdateRecord r = sample(n);
            r.started = QDateTime::currentDateTimeUtc();
            r.ended = r.started.addMSecs(22700);
            r.outcome = QStringLiteral("succeeded");
            r.recordsSent = 601;
            r.log = log;
            r.uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
            r.revision = 3;
            r.forwardTo = location.display();
            table.insert(r);
        }
        transaction.exec(QStringLiteral("COMMIT"));
    }
    QElapsedTimer timer;
    timer.start();
    const JournalForwarding::Result result = JournalForwarding(location, 10000).forward();
    const double ms = timer.nsecsElapsed() / 1e6;
    if (!result.error.ok())
        std::fprintf(stderr, "forward: %s\n", qPrintable(result.error.message));
    std::printf("forward %lld waiting rows       %8.1f ms   (%.2f ms per row; %lld still waiting)\n",
                qlonglong(result.forwarded), ms, ms / qMax<qint64>(1, result.forwarded), qlonglong(result.waiting));
}

// `uploader-cli history --unit X` as a person runs it: the whole process, start to exit.
void cliQueries(const HistoryLocation& location, const QString& program)
{
    QList<double> wall;
    for (int i = 0; i < 21; ++i) {
        const UpdateRecord unit = sample(int(QRandomGenerator::global()->bounded(1000)));
        QProcess cli;
        QElapsedTimer timer;
        timer.start();
        cli.start(program,
                  {QStringLiteral("history"), QStringLiteral("--history"), location.display(),
                   QStringLiteral("--unit"), QStringLiteral("%1:%2").arg(unit.unitHost).arg(unit.unitPort)});
        if (!cli.waitForFinished(60000) || cli.exitCode() != 0) {
            std::fprintf(stderr, "%s history: %s\n", qPrintable(program),
                         cli.readAllStandardError().constData());
            return;
        }
        wall << timer.nsecsElapsed() / 1e6;
        if (cli.readAllStandardOutput().count('\n') != 51)
            std::fprintf(stderr, "uploader-cli history printed another number of rows than 50\n");
    }
    std::printf("uploader-cli history --unit    median %8.2f ms   max %8.2f ms   (whole process, 21 runs)\n",
                median(wall), percentile(wall, 1.0));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("What the update history costs."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("rows"), QStringLiteral("Rows for the query and size test (100000)."),
                      QStringLiteral("N"), QStringLiteral("100000")});
    parser.addOption({QStringLiteral("updates"), QStringLiteral("Updates timed one by one (1000)."),
                      QStringLiteral("N"), QStringLiteral("1000")});
    parser.addOption({QStringLiteral("location"),
                      QStringLiteral("A history URL instead of a new SQLite file; "
                                     "its tables are filled with test rows."),
                      QStringLiteral("URL")});
    parser.addOption({QStringLiteral("cli"),
                      QStringLiteral("The uploader-cli to time `history --unit` with."),
                      QStringLiteral("PROGRAM"), QStringLiteral(BENCH_UPLOADER_CLI)});
    parser.addOption({QStringLiteral("forward"),
                      QStringLiteral("Only time forwarding N waiting rows into --location (PostgreSQL)."),
                      QStringLiteral("N")});
    parser.process(app);

    QTemporaryDir dir;
    const bool own = !parser.isSet(QStringLiteral("location"));
    HistoryLocation perUpdateLocation =
        own ? HistoryLocation::sqliteFile(dir.filePath(QStringLiteral("updates.sqlite")))
            : HistoryLocation::parse(parser.value(QStringLiteral("location")));
    const HistoryLocation queryLocation =
        own ? HistoryLocation::sqliteFile(dir.filePath(QStringLiteral("rows.sqlite"))) : perUpdateLocation;
    if (!perUpdateLocation.isValid()) {
        std::fprintf(stderr, "%s\n", qPrintable(perUpdateLocation.error()));
        return 2;
    }
    std::printf("history at %s\n", qPrintable(own ? dir.path() + QStringLiteral(" (SQLite, WAL)")
                                                  : perUpdateLocation.display()));
    if (parser.isSet(QStringLiteral("forward"))) {
        if (own) {
            std::fprintf(stderr, "--forward needs --location postgresql://...\n");
            return 2;
        }
        forwardWaiting(perUpdateLocation, dir.filePath(QStringLiteral("journal.sqlite")),
                       parser.value(QStringLiteral("forward")).toInt());
        return 0;
    }
    if (!own) // the per-update rows go through a journal of the bench's own
        perUpdateLocation.setJournalFile(dir.filePath(QStringLiteral("journal.sqlite")));
    perUpdate(perUpdateLocation, parser.value(QStringLiteral("updates")).toInt());
    unitQueries(queryLocation, parser.value(QStringLiteral("rows")).toInt());
    cliQueries(queryLocation, parser.value(QStringLiteral("cli")));
    return 0;
}
