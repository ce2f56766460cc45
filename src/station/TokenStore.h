#pragma once

#include "station/Access.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// The named tokens in STATE_DIR/tokens: for each its name, role, when it was made and last used,
// and the SHA-256 of its text, never the text itself (a token is 256 random bits, so its hash
// cannot be turned back). The file is JSON, mode 0600, replaced whole through a new file renamed
// over it; a change by `uploader-station token` while the station runs and the station's own note
// of a token's use take a lock on STATE_DIR/tokens.lock so that neither loses the other's.
class TokenStore
{
public:
    struct Entry
    {
        QString name;
        Role role = Role::Operator;
        QByteArray sha256;           // lower-case hex of the token's text
        QDateTime created, lastUsed; // UTC; lastUsed invalid: never used
    };

    struct Contents
    {
        QList<Entry> tokens;
        QDateTime firstTokenUsed; // the last use of the token in STATE_DIR/token
    };

    // The name of the first-start token in STATE_DIR/token, an administrator's.
    static QString firstTokenName() { return QStringLiteral("admin"); }

    static QString path(const QString& stateDir);
    // 1 to 32 letters, digits, '.', '_' and '-', not starting with '.' or '-'.
    static bool isName(const QString& name);
    static QByteArray hashOf(const QByteArray& token);

    // The tokens in the file; none when there is no file. False with a message when it cannot be
    // read, is not the owner's alone or is not a tokens file.
    static bool read(const QString& stateDir, Contents* contents, QString* error);

    // A new token of that role: its text (shown once) is returned, its hash stored.
    static bool add(const QString& stateDir, const QString& name, Role role, QByteArray* token,
                    QString* error);
    // False with a message when there is no such token.
    static bool revoke(const QString& stateDir, const QString& name, QString* error);
    // Notes when these tokens were last used (names no longer in the file are skipped); writes
    // only when that changes anything.
    static bool noteUse(const QString& stateDir, const QList<std::pair<QString, QDateTime>>& uses,
                        QString* error);
};
