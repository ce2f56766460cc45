#include "history/HistoryLocation.h"

#include <QDir>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>

HistoryLocation HistoryLocation::invalid(const QString& text, const QString& why)
{
    HistoryLocation location;
    // The text may hold a password; show the scheme and the reason only.
    const qsizetype schemeEnd = text.indexOf(QLatin1String("://"));
    const QString shown = schemeEnd > 0 ? text.left(schemeEnd) + QStringLiteral("://...") : text;
    location.m_error = QStringLiteral("Invalid history location \"%1\": %2.").arg(shown, why);
    return location;
}

HistoryLocation HistoryLocation::sqliteFile(const QString& path)
{
    HistoryLocation location;
    location.m_kind = SQLite;
    location.m_path = QDir::cleanPath(QDir::current().absoluteFilePath(path));
    return location;
}

HistoryLocation HistoryLocation::parse(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return invalid(text, QStringLiteral("it is empty"));
    if (!trimmed.contains(QLatin1String("://")))
        return sqliteFile(trimmed);

    const QUrl url(trimmed, QUrl::StrictMode);
    if (!url.isValid()) {
        // QUrl's message quotes the whole URL, password and all: keep only what went wrong.
        const QString why = url.errorString().section(QLatin1String("; source was"), 0, 0);
        return invalid(trimmed, QStringLiteral("not a valid URL (%1)").arg(why));
    }
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("sqlite")) {
        if (!url.host().isEmpty())
            return invalid(trimmed, QStringLiteral("an SQLite location names a file, not a host: "
                                                   "sqlite:///path/to/history.sqlite"));
        const QString path = url.path(QUrl::FullyDecoded);
        if (path.isEmpty() || path.endsWith(QLatin1Char('/')))
            return invalid(trimmed, QStringLiteral("no file name"));
        if (url.hasQuery())
            return invalid(trimmed, QStringLiteral("an SQLite location takes no options"));
        return sqliteFile(path);
    }
    if (scheme != QLatin1String("postgresql") && scheme != QLatin1String("postgres"))
        return invalid(trimmed, QStringLiteral("the scheme must be sqlite or postgresql"));

    HistoryLocation location;
    location.m_kind = PostgreSQL;
    location.m_host = url.host(QUrl::FullyDecoded);
    location.m_port = url.port(5432);
    location.m_user = url.userName(QUrl::FullyDecoded);
    location.m_password = url.password(QUrl::FullyDecoded);
    location.m_database = url.path(QUrl::FullyDecoded).mid(1);
    if (location.m_database.isEmpty() || location.m_database.contains(QLatin1Char('/')))
        return invalid(trimmed, QStringLiteral("the URL must name one database: postgresql://host/database"));

    const QUrlQuery query(url);
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key == QLatin1String("connect_timeout")) {
            bool ok = false;
            const int seconds = value.toInt(&ok);
            if (!ok || seconds < 1 || seconds > 600)
                return invalid(trimmed,
                               QStringLiteral("connect_timeout must be whole seconds from 1 to 600"));
            location.m_connectTimeout = seconds;
        } else if (key == QLatin1String("host")) {
            location.m_host = value; // a folder: connect through the Unix socket there
        } else {
            return invalid(trimmed,
                           QStringLiteral("unknown option \"%1\" (known: connect_timeout, host)").arg(key));
        }
    }
    if (location.m_host.isEmpty())
        return invalid(trimmed, QStringLiteral("no host"));

    QUrl shown = url;
    shown.setPassword(QString());
    shown.setScheme(QStringLiteral("postgresql"));
    if (shown.port() < 0 && !query.hasQueryItem(QStringLiteral("host")))
        shown.setPort(location.m_port);
    location.m_shown = shown.toString();
    return location;
}

HistoryLocation HistoryLocation::resolve(const QString& explicitValue)
{
    if (!explicitValue.trimmed().isEmpty())
        return parse(explicitValue);
    const QString fromEnvironment = qEnvironmentVariable("UPLOADER_HISTORY");
    if (!fromEnvironment.trimmed().isEmpty()) {
        HistoryLocation location = parse(fromEnvironment);
        if (!location.isValid())
            location.m_error = QStringLiteral("UPLOADER_HISTORY: ") + location.m_error;
        return location;
    }
    return sqliteFile(defaultFile());
}

QString HistoryLocation::defaultFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/FirmwareUploader/history.sqlite");
}

QString HistoryLocation::defaultJournalFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/FirmwareUploader/journal.sqlite");
}

HistoryLocation HistoryLocation::journal() const
{
    if (m_kind != PostgreSQL)
        return *this;
    return sqliteFile(m_journalPath.isEmpty() ? defaultJournalFile() : m_journalPath);
}

QString HistoryLocation::display() const
{
    switch (m_kind) {
    case SQLite:
        return m_path;
    case PostgreSQL:
        return m_shown;
    case Invalid:
        break;
    }
    return QString();
}

QString HistoryLocation::redact(const QString& text) const
{
    if (m_password.isEmpty())
        return text;
    QString redacted = text;
    redacted.replace(m_password, QStringLiteral("***"));
    const QString encoded = QString::fromUtf8(QUrl::toPercentEncoding(m_password));
    if (encoded != m_password)
        redacted.replace(encoded, QStringLiteral("***"));
    return redacted;
}
