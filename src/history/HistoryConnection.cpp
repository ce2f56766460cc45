#include "history/HistoryConnection.h"

#include "history/HistorySchema.h"
#include "history/HistorySql.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlQuery>

#include <dlfcn.h>
#include <libpq-fe.h>

namespace {

// libpq is the PostgreSQL driver plugin's, loaded with it when the first connection opens; linking
// it into every program would load it (and LDAP, GnuTLS and SASL with it) at each start.
void silenceNotices(PGconn* connection)
{
    using SetNoticeProcessor = PQnoticeProcessor (*)(PGconn*, PQnoticeProcessor, void*);
    static const SetNoticeProcessor set = [] {
        void* library = dlopen("libpq.so.5", RTLD_NOW | RTLD_NOLOAD);
        return library ? reinterpret_cast<SetNoticeProcessor>(dlsym(library, "PQsetNoticeProcessor")) : nullptr;
    }();
    if (set)
        set(connection, [](void*, const char*) {}, nullptr);
}

} // namespace

HistoryConnection::HistoryConnection(const HistoryLocation& location) : m_location(location)
{
    static QAtomicInteger<quint64> counter;
    m_name = QStringLiteral("uploader-history-%1").arg(++counter);
}

HistoryConnection::~HistoryConnection()
{
    close();
}

void HistoryConnection::close()
{
    if (!m_db.isValid())
        return;
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_name);
}

HistoryError HistoryConnection::problem(HistoryError::Kind kind, const QString& what) const
{
    HistoryError error;
    error.kind = kind;
    error.message =
        m_location.redact(QStringLiteral("The update history at %1 %2.").arg(m_location.display(), what));
    return error;
}

HistoryError HistoryConnection::open(Purpose purpose, int busyTimeoutMs, int schemaVersion)
{
    close();
    m_empty = false;
    m_readOnly = false;
    if (schemaVersion < 0)
        schemaVersion = HistorySchema::currentVersion();
    HistoryError error;
    switch (m_location.kind()) {
    case HistoryLocation::SQLite:
        error = openSQLite(purpose, busyTimeoutMs, schemaVersion);
        break;
    case HistoryLocation::PostgreSQL:
        error = openPostgreSQL(busyTimeoutMs, schemaVersion);
        break;
    case HistoryLocation::Invalid:
        error.kind = HistoryError::Unreachable;
        error.message = m_location.error();
        break;
    }
    if (!error.ok())
        close();
    return error;
}

HistoryError HistoryConnection::openSQLite(Purpose purpose, int busyTimeoutMs, int schemaVersion)
{
    const QString driver = QStringLiteral("QSQLITE");
    if (!QSqlDatabase::isDriverAvailable(driver))
        return problem(
            HistoryError::Unreachable,
            QStringLiteral("cannot be opened: Qt's SQLite driver is not installed (libqt6sql6-sqlite)"));
    const QFileInfo file(m_location.filePath());
    if (purpose == Purpose::Read && !file.exists()) {
        m_empty = true;
        return {};
    }
    if (file.exists() && !file.isFile())
        return problem(HistoryError::Unreachable, QStringLiteral("cannot be opened: it is not a file"));
    if (!QDir().mkpath(file.absolutePath()))
        return problem(
            HistoryError::Unreachable,
            QStringLiteral("cannot be opened: the folder %1 cannot be made").arg(file.absolutePath()));

    m_readOnly = purpose == Purpose::Read && !file.isWritable();
    m_db = QSqlDatabase::addDatabase(driver, m_name);
    m_db.setDatabaseName(m_location.filePath());
    QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs);
    if (m_readOnly)
        options += QStringLiteral(";QSQLITE_OPEN_READONLY");
    m_db.setConnectOptions(options);
    if (!m_db.open())
        return HistorySql::error(m_location, m_db.lastError(), QStringLiteral("cannot be opened"));

    // The first read of the header tells a database from any other file, and changes nothing.
    QSqlQuery probe(m_db);
    if (!probe.exec(QStringLiteral("SELECT count(*) FROM sqlite_master")))
        return HistorySql::error(m_location, probe.lastError(), QStringLiteral("cannot be read"));
    probe.finish();

    // Whatever is not a history is left exactly as it is: look before changing anything.
    int version = 0;
    HistoryError error = HistorySchema::readVersion(m_db, m_location, &version);
    if (!error.ok())
        return error;
    if (version > schemaVersion)
        return HistorySchema::newerError(m_location, version, schemaVersion);
    if (m_readOnly) {
        if (version == 0)
            m_empty = true;
        else if (version < schemaVersion)
            return problem(HistoryError::ReadOnly,
                           QStringLiteral("has an older layout (schema version %1) and is read-only, so it "
                                          "cannot be brought up to date")
                               .arg(version));
        return {};
    }

    // Write-ahead logging lets readers and one writer at a time work side by side across processes.
    QSqlQuery wal(m_db);
    if (!wal.exec(QStringLiteral("PRAGMA journal_mode = WAL")))
        return HistorySql::error(m_location, wal.lastError(), QStringLiteral("cannot be written"));
    if (wal.next() && wal.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
        return problem(HistoryError::ReadOnly,
                       QStringLiteral("cannot be written: write-ahead logging is refused"));
    wal.finish();
    return HistorySchema::prepare(m_db, m_location, schemaVersion);
}

HistoryError HistoryConnection::openPostgreSQL(int busyTimeoutMs, int schemaVersion)
{
    const QString driver = QStringLiteral("QPSQL");
    if (!QSqlDatabase::isDriverAvailable(driver))
        return problem(
            HistoryError::Unreachable,
            QStringLiteral("cannot be opened: Qt's PostgreSQL driver is not installed (libqt6sql6-psql)"));
    m_db = QSqlDatabase::addDatabase(driver, m_name);
    m_db.setHostName(m_location.host());
    m_db.setPort(m_location.port());
    m_db.setDatabaseName(m_location.database());
    m_db.setUserName(m_location.user());
    m_db.setPassword(m_location.password());
    m_db.setConnectOptions(QStringLiteral("connect_timeout=%1").arg(m_location.connectTimeoutSeconds()));
    if (!m_db.open())
        return HistorySql::error(m_location, m_db.lastError(), QStringLiteral("cannot be reached"));
    // libpq prints the server's notices on standard error by itself ("terminating connection due to
    // immediate shutdown command"): what matters of them comes back as the statements' errors. The
    // driver names the handle by its struct, pg_conn, or by the typedef.
    const QVariant handle = m_db.driver()->handle();
    if (handle.isValid() &&
        (qstrcmp(handle.typeName(), "PGconn*") == 0 || qstrcmp(handle.typeName(), "pg_conn*") == 0))
        if (PGconn* connection = *static_cast<PGconn* const*>(handle.constData()))
            silenceNotices(connection);
    QSqlQuery settings(m_db);
    if (!settings.exec(QStringLiteral("SET statement_timeout = %1").arg(busyTimeoutMs)) ||
        !settings.exec(QStringLiteral("SET client_min_messages = warning")))
        return HistorySql::error(m_location, settings.lastError(), QStringLiteral("cannot be used"));
    return HistorySchema::prepare(m_db, m_location, schemaVersion);
}
