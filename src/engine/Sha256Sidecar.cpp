#include "engine/Sha256Sidecar.h"

#include "engine/TextFormat.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

// A checksum file is a few lines; anything much bigger is not one.
constexpr qint64 MaxSidecarBytes = 64 * 1024;

} // namespace

bool Sha256::isHex(const QString& text)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    return hex.match(text).hasMatch();
}

Sha256Sidecar Sha256Sidecar::read(const QString& firmwarePath)
{
    Sha256Sidecar sidecar;
    sidecar.path = pathFor(firmwarePath);
    QFile file(sidecar.path);
    if (!file.exists())
        return sidecar;
    const QString shown = TextFormat::escaped(QFileInfo(sidecar.path).fileName());
    auto unusable = [&](const QString& problem) {
        sidecar.state = State::Unusable;
        sidecar.problem = problem;
        return sidecar;
    };
    if (!file.open(QIODevice::ReadOnly))
        return unusable(QStringLiteral("%1 cannot be read: %2").arg(shown, file.errorString()));
    if (file.size() > MaxSidecarBytes)
        return unusable(QStringLiteral("%1 is no SHA-256 checksum file (too large)").arg(shown));

    static const QRegularExpression line(QStringLiteral("^\\\\?([0-9A-Fa-f]{64}) [ *](.+)$"));
    const QString ownName = QFileInfo(firmwarePath).fileName();
    QStringList hashes;
    QString own;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (QByteArray bytes : lines) {
        if (bytes.endsWith('\r'))
            bytes.chop(1);
        if (bytes.trimmed().isEmpty())
            continue;
        const QRegularExpressionMatch match = line.match(QString::fromUtf8(bytes));
        if (!match.hasMatch())
            return unusable(QStringLiteral("%1 is not in the form sha256sum writes (HASH  NAME)").arg(shown));
        hashes << match.captured(1).toLower();
        if (QFileInfo(match.captured(2)).fileName() == ownName)
            own = hashes.last();
    }
    if (own.isEmpty() && hashes.size() == 1)
        own = hashes.first();
    if (own.isEmpty())
        return unusable(
            QStringLiteral("%1 holds no SHA-256 for %2").arg(shown, TextFormat::escaped(ownName)));
    sidecar.state = State::Found;
    sidecar.sha256 = own;
    return sidecar;
}
