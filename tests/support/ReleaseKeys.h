#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Release keys made with ssh-keygen for a test: a trusted key, a key nobody trusts, a trusted key
// that is then revoked, the allowed-signers file naming the first and the third, and the
// revocation list naming the third.
class ReleaseKeys
{
public:
    static inline const QString Release = QStringLiteral("release@example.com");
    static inline const QString Retired = QStringLiteral("retired@example.com");

    ReleaseKeys();
    bool isValid() const { return m_valid; }

    QString allowedSigners() const { return m_dir.filePath(QStringLiteral("allowed_signers")); }
    QString revokedKeys() const { return m_dir.filePath(QStringLiteral("revoked.krl")); }

    // key: "release", "stranger" or "retired". Writes FILE.sig (or signature, when given).
    bool sign(const QString& file, const QString& key = QStringLiteral("release"),
              const QString& nameSpace = QStringLiteral("firmware"), const QString& signature = {}) const;

    // The same records with one hex digit in lower case: still a sound file, but other bytes.
    static QByteArray withOneByteChanged(QByteArray hex)
    {
        const qsizetype at = hex.indexOf('A') >= 0 ? hex.indexOf('A') : hex.indexOf('F');
        hex[at] = char(hex[at] + ('a' - 'A'));
        return hex;
    }

private:
    bool run(const QStringList& arguments) const;

    QTemporaryDir m_dir;
    bool m_valid = false;
};
