#include "station/FirmwareStore.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

#include <algorithm>

QJsonObject StoredFirmware::toJson(bool withUploaded) const
{
    QJsonObject object;
    object[QStringLiteral("sha256")] = sha256;
    object[QStringLiteral("name")] = name;
    object[QStringLiteral("size")] = double(size);
    object[QStringLiteral("records")] = double(records);
    object[QStringLiteral("to_send")] = double(toSend);
    object[QStringLiteral("signer")] = signer.isEmpty() ? QStringLiteral("unsigned") : signer;
    if (withUploaded)
        object[QStringLiteral("uploaded")] = uploaded.toString(Qt::ISODate);
    return object;
}

bool FirmwareStore::isSha256(const QString& text)
{
    if (text.size() != 64)
        return false;
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
    });
}

bool FirmwareStore::open(const QString& stateDir, QString* error)
{
    m_folder = QDir(stateDir).filePath(QStringLiteral("firmware"));
    QDir dir(m_folder);
    if (!dir.exists() && !QDir().mkpath(m_folder)) {
        *error = QStringLiteral("cannot create %1").arg(m_folder);
        return false;
    }
    QFile::setPermissions(m_folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QStringList leftovers =
        dir.entryList({QStringLiteral("upload-*.part"), QStringLiteral("signature-*.part")}, QDir::Files);
    for (const QString& name : leftovers)
        dir.remove(name);
    const QStringList entries = dir.entryList({QStringLiteral("*.json")}, QDir::Files);
    for (const QString& name : entries) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QJsonObject object = QJsonDocument::fromJson(file.read(64 * 1024)).object();
        StoredFirmware firmware;
        firmware.sha256 = name.chopped(5);
        if (!isSha256(firmware.sha256) || !QFile::exists(pathOf(firmware.sha256)))
            continue;
        firmware.name = object.value(QStringLiteral("name")).toString();
        firmware.size = qint64(object.value(QStringLiteral("size")).toDouble());
        firmware.records = qint64(object.value(QStringLiteral("records")).toDouble());
        firmware.toSend = qint64(object.value(QStringLiteral("to_send")).toDouble());
        // Whoever signed it counts only once the signature is verified again (StoredSignatureCheck):
        // the keys trusted may have changed since.
        firmware.uploaded =
            QDateTime::fromString(object.value(QStringLiteral("uploaded")).toString(), Qt::ISODate).toUTC();
        m_entries.insert(firmware.sha256, firmware);
    }
    return true;
}

QString FirmwareStore::uploadTemplate() const
{
    return QDir(m_folder).filePath(QStringLiteral("upload-XXXXXX.part"));
}

QString FirmwareStore::pathOf(const QString& sha256) const
{
    return QDir(m_folder).filePath(sha256.toLower() + QStringLiteral(".hex"));
}

const StoredFirmware* FirmwareStore::find(const QString& sha256) const
{
    const auto it = m_entries.constFind(sha256.toLower());
    return it == m_entries.cend() ? nullptr : &*it;
}

QList<StoredFirmware> FirmwareStore::list() const
{
    QList<StoredFirmware> all = m_entries.values();
    std::stable_sort(all.begin(), all.end(), [](const StoredFirmware& a, const StoredFirmware& b) {
        return a.uploaded > b.uploaded;
    });
    return all;
}

bool FirmwareStore::add(const QString& path, const StoredFirmware& firmware, bool* existed, QString* error)
{
    *existed = m_entries.contains(firmware.sha256);
    if (*existed) {
        QFile::remove(path);
        return true;
    }
    const QString target = pathOf(firmware.sha256);
    QFile::remove(target); // a file without its description is no entry
    if (!QFile::rename(path, target)) {
        *error = QStringLiteral("cannot store the firmware file as %1").arg(target);
        QFile::remove(path);
        return false;
    }
    QFile::remove(signaturePathOf(firmware.sha256)); // a signature left from other bytes
    if (!writeDescription(firmware, error)) {
        QFile::remove(target);
        return false;
    }
    m_entries.insert(firmware.sha256, firmware);
    return true;
}

bool FirmwareStore::writeDescription(const StoredFirmware& firmware, QString* error) const
{
    QSaveFile meta(QDir(m_folder).filePath(firmware.sha256 + QStringLiteral(".json")));
    QJsonObject object = firmware.toJson(true);
    object.remove(QStringLiteral("sha256"));
    if (!meta.open(QIODevice::WriteOnly) || meta.write(QJsonDocument(object).toJson()) < 0 ||
        !meta.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(meta.fileName(), meta.errorString());
        return false;
    }
    return true;
}

bool FirmwareStore::setSignature(const QString& sha256, const QString& path, const QString& signer,
                                 QString* error)
{
    const auto it = m_entries.find(sha256.toLower());
    if (it == m_entries.end()) {
        *error = QStringLiteral("no stored firmware has that SHA-256");
        QFile::remove(path);
        return false;
    }
    const QString target = signaturePathOf(it->sha256);
    QFile::remove(target);
    if (!QFile::rename(path, target)) {
        *error = QStringLiteral("cannot store the signature as %1").arg(target);
        QFile::remove(path);
        return false;
    }
    StoredFirmware signedFirmware = *it;
    signedFirmware.signer = signer;
    if (!writeDescription(signedFirmware, error)) {
        QFile::remove(target);
        return false;
    }
    *it = signedFirmware;
    return true;
}

bool FirmwareStore::remove(const QString& sha256, QString* error)
{
    const QString key = sha256.toLower();
    if (!m_entries.contains(key))
        return true;
    QDir dir(m_folder);
    const bool removed =
        dir.remove(key + QStringLiteral(".json")) || !dir.exists(key + QStringLiteral(".json"));
    dir.remove(key + QStringLiteral(".hex"));
    dir.remove(key + QStringLiteral(".hex.sig"));
    if (!removed) {
        *error = QStringLiteral("cannot remove %1 from %2").arg(key, m_folder);
        return false;
    }
    m_entries.remove(key);
    return true;
}

QStringList FirmwareStore::signedFiles() const
{
    QStringList files;
    for (const StoredFirmware& firmware : m_entries)
        if (QFile::exists(signaturePathOf(firmware.sha256)))
            files << firmware.sha256;
    return files;
}

void FirmwareStore::setVerifiedSigner(const QString& sha256, const QString& signer)
{
    const auto it = m_entries.find(sha256.toLower());
    if (it != m_entries.end())
        it->signer = signer;
}
