#pragma once

#include "station/Access.h"
#include "station/TokenStore.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QTimer>

#include <optional>

// The tokens the running station takes: the first-start token of STATE_DIR/token (an
// administrator's, named "admin") and the named ones of STATE_DIR/tokens, which `uploader-station
// token` changes while the station runs: the file is looked at again whenever its inode, size or
// time changes, so a revoked token is refused from the next request on. A file that cannot be
// read leaves only the first-start token (warned once). When each token was last used is written
// into the file a minute at most after its use.
class StationTokens : public QObject
{
    Q_OBJECT
public:
    struct Identity
    {
        QString name;
        Role role = Role::Operator;
    };

    StationTokens(QString stateDir, QByteArray firstToken, QObject* parent = nullptr);
    ~StationTokens() override; // writes the uses not yet written

    // Whose token that is; nullopt for a token the station does not take.
    std::optional<Identity> identify(const QByteArray& presented);

signals:
    void warning(const QString& message);

private:
    void reloadIfChanged();
    void writeUses();

    QString m_stateDir;
    QByteArray m_firstToken;
    TokenStore::Contents m_named;
    QByteArray m_fileStamp; // inode, size and time of the file last read; empty: none read
    bool m_warned = false;
    QHash<QString, QDateTime> m_uses; // not yet written
    QTimer m_useWriter;
};
