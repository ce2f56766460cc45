#include "ReleaseKeys.h"

#include <QFile>
#include <QProcess>

ReleaseKeys::ReleaseKeys()
{
    QByteArray allowed;
    for (const QString& key :
         {QStringLiteral("release"), QStringLiteral("stranger"), QStringLiteral("retired")}) {
        if (!run({QStringLiteral("-q"),
                  QStringLiteral("-t"),
                  QStringLiteral("ed25519"),
                  QStringLiteral("-N"),
                  {},
                  QStringLiteral("-C"),
                  key,
                  QStringLiteral("-f"),
                  m_dir.filePath(key)}))
            return;
        QFile publicKey(m_dir.filePath(key + QStringLiteral(".pub")));
        if (!publicKey.open(QIODevice::ReadOnly))
            return;
        const QString principal = key == QLatin1String("release") ? Release : Retired;
        if (key != QLatin1String("stranger"))
            allowed += principal.toUtf8() + " namespaces=\"firmware\" " + publicKey.readAll();
    }
    QFile file(allowedSigners());
    if (!file.open(QIODevice::WriteOnly) || file.write(allowed) != allowed.size())
        return;
    file.close();
    m_valid = run({QStringLiteral("-q"), QStringLiteral("-k"), QStringLiteral("-f"), revokedKeys(),
                   m_dir.filePath(QStringLiteral("retired.pub"))});
}

bool ReleaseKeys::sign(const QString& file, const QString& key, const QString& nameSpace,
                       const QString& signature) const
{
    const QString made = file + QStringLiteral(".sig");
    QFile::remove(made);
    if (!run({QStringLiteral("-Y"), QStringLiteral("sign"), QStringLiteral("-n"), nameSpace,
              QStringLiteral("-f"), m_dir.filePath(key), file}))
        return false;
    if (signature.isEmpty() || signature == made)
        return true;
    QFile::remove(signature);
    return QFile::rename(made, signature);
}

bool ReleaseKeys::run(const QStringList& arguments) const
{
    QProcess process;
    process.start(QStringLiteral("ssh-keygen"), arguments);
    process.closeWriteChannel();
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}
