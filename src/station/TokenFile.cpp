#include "station/TokenFile.h"

#include <QDir>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int TokenBytes = 32;

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool create(const QString& file, QByteArray* token, QString* error)
{
    if (!TokenFile::makeToken(token, error))
        return false;
    const QByteArray name = QFile::encodeName(file);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = QStringLiteral("cannot create %1: %2").arg(file, systemError());
        return false;
    }
    const QByteArray line = *token + '\n';
    const bool written =
        ::write(fd, line.constData(), size_t(line.size())) == line.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (!written) {
        *error = QStringLiteral("cannot write %1: %2").arg(file, systemError());
        ::unlink(name.constData());
        return false;
    }
    return true;
}

} // namespace

namespace TokenFile {

bool makeToken(QByteArray* token, QString* error)
{
    unsigned char random[TokenBytes];
    size_t filled = 0;
    while (filled < sizeof random) {
        const ssize_t n = ::getrandom(random + filled, sizeof random - filled, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = QStringLiteral("cannot get random bytes for the token: %1").arg(systemError());
            return false;
        }
        filled += size_t(n);
    }
    *token = QByteArray(reinterpret_cast<const char*>(random), TokenBytes).toHex();
    return true;
}

QString path(const QString& stateDir)
{
    return QDir(stateDir).filePath(QStringLiteral("token"));
}

bool loadOrCreate(const QString& stateDir, QByteArray* token, QString* error)
{
    const QString file = path(stateDir);
    const QByteArray name = QFile::encodeName(file);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT)
            return create(file, token, error);
        *error = QStringLiteral("cannot open %1: %2").arg(file, systemError());
        return false;
    }
    struct stat status
    {
    };
    QByteArray contents(256, '\0');
    ssize_t n = -1;
    if (::fstat(fd, &status) == 0)
        n = ::read(fd, contents.data(), size_t(contents.size()));
    ::close(fd);
    if (n < 0) {
        *error = QStringLiteral("cannot read %1: %2").arg(file, systemError());
        return false;
    }
    if (status.st_uid != ::geteuid()) {
        *error = QStringLiteral("%1 belongs to another user (uid %2); the station's token must be its own")
                     .arg(file)
                     .arg(status.st_uid);
        return false;
    }
    if ((status.st_mode & 077) != 0) {
        *error = QStringLiteral("%1 may be read or written by others (mode %2); make it the owner's only "
                                "(chmod 600 %1) or delete it for a new token")
                     .arg(file)
                     .arg(status.st_mode & 0777, 4, 8, QLatin1Char('0'));
        return false;
    }
    contents.truncate(n);
    *token = contents.trimmed();
    if (token->size() < 32 || QByteArray::fromHex(*token).toHex() != token->toLower()) {
        *error =
            QStringLiteral("%1 holds no token (at least 32 hex digits); delete it for a new one").arg(file);
        return false;
    }
    return true;
}

bool matches(const QByteArray& token, const QByteArray& presented)
{
    // Every byte of the token is looked at whatever the presented text is; only its length may
    // show, and the token's length is no secret.
    unsigned char difference = token.size() == presented.size() ? 0 : 1;
    for (qsizetype i = 0; i < token.size(); ++i) {
        const char other = i < presented.size() ? presented.at(i) : '\0';
        difference |= static_cast<unsigned char>(token.at(i) ^ other);
    }
    return difference == 0 && !token.isEmpty();
}

} // namespace TokenFile
