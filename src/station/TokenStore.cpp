#include "station/TokenStore.h"

#include "station/TokenFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <functional>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 MaxFileSize = 4 * 1024 * 1024;

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QString timeText(const QDateTime& time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

// Runs `change` while this process holds the tokens' lock.
bool locked(const QString& stateDir, const std::function<bool()>& change, QString* error)
{
    const QString lockPath = QDir(stateDir).filePath(QStringLiteral("tokens.lock"));
    const int fd =
        ::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = QStringLiteral("cannot open %1: %2").arg(lockPath, systemError());
        return false;
    }
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            *error = QStringLiteral("cannot lock %1: %2").arg(lockPath, systemError());
            ::close(fd);
            return false;
        }
    }
    const bool done = change();
    ::close(fd); // and the lock with it
    return done;
}

bool parse(const QString& file, const QByteArray& contents, TokenStore::Contents* tokens, QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(contents, &parseError);
    const QString bad = QStringLiteral("%1 is no tokens file (%2); keep a copy elsewhere and delete it");
    if (!document.isObject()) {
        *error = bad.arg(file, parseError.errorString());
        return false;
    }
    for (const QJsonValue& value : document.object().value(QStringLiteral("tokens")).toArray()) {
        const QJsonObject object = value.toObject();
        TokenStore::Entry entry;
        entry.name = object.value(QStringLiteral("name")).toString();
        entry.sha256 = object.value(QStringLiteral("sha256")).toString().toLatin1();
        entry.created =
            QDateTime::fromString(object.value(QStringLiteral("created")).toString(), Qt::ISODate);
        entry.lastUsed =
            QDateTime::fromString(object.value(QStringLiteral("last_used")).toString(), Qt::ISODate);
        if (!TokenStore::isName(entry.name) || entry.sha256.size() != 64 ||
            !Roles::parse(object.value(QStringLiteral("role")).toString(), &entry.role)) {
            *error = bad.arg(file, QStringLiteral("a token without a good name, role or hash"));
            return false;
        }
        tokens->tokens.append(entry);
    }
    tokens->firstTokenUsed = QDateTime::fromString(
        document.object().value(QStringLiteral("first_token_last_used")).toString(), Qt::ISODate);
    return true;
}

// Replaces the file whole: a new file of mode 0600 from the first instant, synced, renamed over it.
bool write(const QString& stateDir, const TokenStore::Contents& contents, QString* error)
{
    QJsonArray tokens;
    for (const TokenStore::Entry& entry : contents.tokens)
        tokens.append(QJsonObject{{QStringLiteral("name"), entry.name},
                                  {QStringLiteral("role"), Roles::name(entry.role)},
                                  {QStringLiteral("sha256"), QString::fromLatin1(entry.sha256)},
                                  {QStringLiteral("created"), timeText(entry.created)},
                                  {QStringLiteral("last_used"), timeText(entry.lastUsed)}});
    const QByteArray text = QJsonDocument(QJsonObject{{QStringLiteral("tokens"), tokens},
                                                      {QStringLiteral("first_token_last_used"),
                                                       timeText(contents.firstTokenUsed)}})
                                .toJson();
    const QString file = TokenStore::path(stateDir);
    QByteArray temporary = QFile::encodeName(file + QStringLiteral(".XXXXXX"));
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC); // mode 0600
    if (fd < 0) {
        *error = QStringLiteral("cannot create a file beside %1: %2").arg(file, systemError());
        return false;
    }
    const bool written =
        ::write(fd, text.constData(), size_t(text.size())) == text.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(temporary.constData(), QFile::encodeName(file).constData()) != 0) {
        *error = QStringLiteral("cannot write %1: %2").arg(file, systemError());
        ::unlink(temporary.constData());
        return false;
    }
    if (const int dir = ::open(QFile::encodeName(stateDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

// `change` says whether there is anything to write, or sets the error and returns false.
bool readModifyWrite(const QString& stateDir,
                     const std::function<bool(TokenStore::Contents&, bool* changed)>& change, QString* error)
{
    return locked(
        stateDir,
        [&] {
            TokenStore::Contents contents;
            bool changed = true;
            return TokenStore::read(stateDir, &contents, error) && change(contents, &changed) &&
                   (!changed || write(stateDir, contents, error));
        },
        error);
}

} // namespace

QString TokenStore::path(const QString& stateDir)
{
    return QDir(stateDir).filePath(QStringLiteral("tokens"));
}

bool TokenStore::isName(const QString& name)
{
    if (name.isEmpty() || name.size() > 32 || name.startsWith(u'.') || name.startsWith(u'-'))
        return false;
    for (QChar c : name)
        if (!(c.isLetterOrNumber() && c.unicode() < 0x80) && c != u'.' && c != u'_' && c != u'-')
            return false;
    return true;
}

QByteArray TokenStore::hashOf(const QByteArray& token)
{
    return QCryptographicHash::hash(token, QCryptographicHash::Sha256).toHex();
}

bool TokenStore::read(const QString& stateDir, Contents* tokens, QString* error)
{
    *tokens = {};
    const QString file = path(stateDir);
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        *error = QStringLiteral("cannot open %1: %2").arg(file, systemError());
        return false;
    }
    struct stat status
    {
    };
    QByteArray contents;
    bool readAll = ::fstat(fd, &status) == 0 && status.st_size <= MaxFileSize;
    if (readAll) {
        contents.resize(qsizetype(status.st_size));
        qsizetype filled = 0;
        while (filled < contents.size()) {
            const ssize_t n = ::read(fd, contents.data() + filled, size_t(contents.size() - filled));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            filled += n;
        }
        contents.truncate(filled);
    }
    ::close(fd);
    if (!readAll) {
        *error = QStringLiteral("cannot read %1").arg(file);
        return false;
    }
    if (status.st_uid != ::geteuid() || (status.st_mode & 077) != 0) {
        *error = QStringLiteral("%1 must be the station's user's own, mode 600").arg(file);
        return false;
    }
    return parse(file, contents, tokens, error);
}

bool TokenStore::add(const QString& stateDir, const QString& name, Role role, QByteArray* token,
                     QString* error)
{
    if (!isName(name)) {
        *error =
            QStringLiteral("\"%1\" is no token name (1 to 32 letters, digits, '.', '_' or '-')").arg(name);
        return false;
    }
    if (name == firstTokenName()) {
        *error = QStringLiteral("\"%1\" is the name of the token in %2").arg(name, TokenFile::path(stateDir));
        return false;
    }
    return readModifyWrite(
        stateDir,
        [&](Contents& contents, bool*) {
            for (const Entry& entry : contents.tokens)
                if (entry.name == name) {
                    *error =
                        QStringLiteral("there is a token named \"%1\" already; revoke it first").arg(name);
                    return false;
                }
            if (!TokenFile::makeToken(token, error))
                return false;
            contents.tokens.append({name, role, hashOf(*token), QDateTime::currentDateTimeUtc(), {}});
            return true;
        },
        error);
}

bool TokenStore::revoke(const QString& stateDir, const QString& name, QString* error)
{
    return readModifyWrite(
        stateDir,
        [&](Contents& contents, bool*) {
            const qsizetype before = contents.tokens.size();
            contents.tokens.removeIf([&](const Entry& entry) { return entry.name == name; });
            if (contents.tokens.size() == before) {
                *error = name == firstTokenName()
                             ? QStringLiteral("the token \"%1\" is the one in %2; delete that file and "
                                              "restart the station for a new one")
                                   .arg(name, TokenFile::path(stateDir))
                             : QStringLiteral("there is no token named \"%1\"").arg(name);
                return false;
            }
            return true;
        },
        error);
}

bool TokenStore::noteUse(const QString& stateDir, const QList<std::pair<QString, QDateTime>>& uses,
                         QString* error)
{
    return readModifyWrite(
        stateDir,
        [&](Contents& contents, bool* changed) {
            *changed = false;
            const auto later = [changed](QDateTime& kept, const QDateTime& time) {
                if (!kept.isValid() || kept < time) {
                    kept = time;
                    *changed = true;
                }
            };
            for (const auto& [name, time] : uses) {
                if (name == firstTokenName())
                    later(contents.firstTokenUsed, time);
                for (Entry& entry : contents.tokens)
                    if (entry.name == name)
                        later(entry.lastUsed, time);
            }
            return true;
        },
        error);
}
