#pragma once

#include "TestHistories.h"

#include "history/HistoryLocation.h"

#include <QFile>
#include <QProcess>
#include <QSqlQuery>
#include <QTemporaryDir>

// A PostgreSQL server of the test's own (tests/history/postgres-fixture.sh), for tests that stop it
// at once and start it again: the shared one serves tests running beside them.
class OwnPostgresServer
{
public:
    explicit OwnPostgresServer(QString fixtureScript) : m_script(std::move(fixtureScript)) {}
    ~OwnPostgresServer() { stop(); }

    // False when it failed; skipReason() says when PostgreSQL is missing here.
    bool start()
    {
        if (!run(QStringLiteral("start")))
            return false;
        m_started = true;
        QFile skip(m_dir.filePath(QStringLiteral("skip")));
        if (skip.open(QIODevice::ReadOnly)) {
            m_skip = QString::fromUtf8(skip.readAll());
            return true;
        }
        QFile url(m_dir.filePath(QStringLiteral("url")));
        if (!url.open(QIODevice::ReadOnly))
            return false;
        m_server = HistoryLocation::parse(QString::fromUtf8(url.readAll()).trimmed());
        return true;
    }
    void stop()
    {
        if (m_started)
            run(QStringLiteral("stop"));
        m_started = false;
    }
    // Stopped as a crash would stop it, and started again on the same port.
    bool pause() { return m_paused = run(QStringLiteral("pause")); }
    bool resume()
    {
        m_paused = !run(QStringLiteral("resume"));
        return !m_paused;
    }
    bool paused() const { return m_paused; }
    const QString& skipReason() const { return m_skip; }
    const HistoryLocation& server() const { return m_server; }

    // A database of its own on this server, named `name`.
    HistoryLocation freshHistory(const QString& name)
    {
        QSqlDatabase admin = TestHistories::inspect(m_server);
        QSqlQuery(admin).exec(QStringLiteral("CREATE DATABASE %1").arg(name));
        admin.close();
        return HistoryLocation::parse(QStringLiteral("postgresql://%1@%2:%3/%4?connect_timeout=2")
                                          .arg(m_server.user(), m_server.host())
                                          .arg(m_server.port())
                                          .arg(name));
    }

    // Its rows as another computer reads them: with no journal of its own.
    static QList<UpdateRecord> rowsOnServer(const HistoryLocation& location)
    {
        HistoryLocation elsewhere = location;
        elsewhere.setJournalFile(QStringLiteral("/nonexistent/journal.sqlite"));
        return TestHistories::allRows(elsewhere);
    }

private:
    bool run(const QString& action) { return QProcess::execute(m_script, {action, m_dir.path()}) == 0; }

    QString m_script;
    QTemporaryDir m_dir;
    QString m_skip;
    HistoryLocation m_server;
    bool m_started = false;
    bool m_paused = false;
};
