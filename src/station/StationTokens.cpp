#include "station/StationTokens.h"

#include "station/TokenFile.h"

#include <QFile>

#include <sys/stat.h>

StationTokens::StationTokens(QString stateDir, QByteArray firstToken, QObject* parent)
    : QObject(parent), m_stateDir(std::move(stateDir)), m_firstToken(std::move(firstToken))
{
    m_useWriter.setSingleShot(true);
    m_useWriter.setInterval(60 * 1000);
    connect(&m_useWriter, &QTimer::timeout, this, &StationTokens::writeUses);
    reloadIfChanged();
}

StationTokens::~StationTokens()
{
    writeUses();
}

void StationTokens::reloadIfChanged()
{
    struct stat status
    {
    };
    QByteArray stamp;
    if (::stat(QFile::encodeName(TokenStore::path(m_stateDir)).constData(), &status) == 0)
        stamp = QByteArray::number(qulonglong(status.st_ino)) + ' ' +
                QByteArray::number(qlonglong(status.st_size)) + ' ' +
                QByteArray::number(qlonglong(status.st_mtim.tv_sec)) + '.' +
                QByteArray::number(qlonglong(status.st_mtim.tv_nsec)) + ' ' +
                QByteArray::number(qulonglong(status.st_mode));
    if (stamp == m_fileStamp && !stamp.isEmpty())
        return;
    m_fileStamp = stamp;
    QString error;
    if (!TokenStore::read(m_stateDir, &m_named, &error)) {
        m_named = {};
        m_fileStamp.clear(); // read again at the next request
        if (!m_warned)
            emit warning(error + QStringLiteral("; only the token in ") + TokenFile::path(m_stateDir) +
                         QStringLiteral(" is taken until it can be read"));
        m_warned = true;
        return;
    }
    m_warned = false;
}

std::optional<StationTokens::Identity> StationTokens::identify(const QByteArray& presented)
{
    reloadIfChanged();
    std::optional<Identity> found;
    if (TokenFile::matches(m_firstToken, presented))
        found = Identity{TokenStore::firstTokenName(), Role::Admin};
    // Every stored hash is compared, in constant time, whatever matched before.
    const QByteArray hash = TokenStore::hashOf(presented);
    for (const TokenStore::Entry& entry : std::as_const(m_named.tokens))
        if (TokenFile::matches(entry.sha256, hash) && !found)
            found = Identity{entry.name, entry.role};
    if (found) {
        m_uses.insert(found->name, QDateTime::currentDateTimeUtc());
        if (!m_useWriter.isActive())
            m_useWriter.start();
    }
    return found;
}

void StationTokens::writeUses()
{
    if (m_uses.isEmpty())
        return;
    QList<std::pair<QString, QDateTime>> uses;
    for (auto it = m_uses.cbegin(); it != m_uses.cend(); ++it)
        uses.append({it.key(), it.value()});
    m_uses.clear();
    QString error;
    if (!TokenStore::noteUse(m_stateDir, uses, &error))
        emit warning(QStringLiteral("cannot note when tokens were used: ") + error);
}
