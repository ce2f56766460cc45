#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// A checked firmware file kept by the station.
struct StoredFirmware
{
    QString sha256; // lower-case hex
    QString name;
    qint64 size = 0;
    qint64 records = 0;
    qint64 toSend = 0;
    QDateTime uploaded; // UTC
    QString signer;     // who signed it, as its verified signature says; empty: unsigned

    // sha256, name, size, records, to_send, signer ("unsigned" for none), and uploaded when asked for.
    QJsonObject toJson(bool withUploaded) const;
};

// The firmware files in STATE_DIR/firmware, each stored as SHA256.hex beside SHA256.json (its
// name, counts and upload time). Only files that passed the firmware check get there; files are
// addressed only by a validated SHA-256, never by a name a client gave.
class FirmwareStore
{
public:
    // Creates the folder (mode 0700), reads what is there and removes uploads left unfinished.
    bool open(const QString& stateDir, QString* error);

    QString folder() const { return m_folder; }
    // A fresh file for an upload in progress: folder()/upload-XXXXXX.part.
    QString uploadTemplate() const;
    QString pathOf(const QString& sha256) const;
    // Where the stored file's signature is kept: SHA256.hex.sig.
    QString signaturePathOf(const QString& sha256) const { return pathOf(sha256) + QStringLiteral(".sig"); }

    const StoredFirmware* find(const QString& sha256) const;
    // Newest first.
    QList<StoredFirmware> list() const;

    // Moves the checked file at `path` into the store. When the same bytes are stored already the
    // file is dropped, *existed is set and the stored entry stays as it was.
    bool add(const QString& path, const StoredFirmware& firmware, bool* existed, QString* error);
    bool remove(const QString& sha256, QString* error);
    // Keeps the verified signature at `path` (moved into the store) and its signer.
    bool setSignature(const QString& sha256, const QString& path, const QString& signer, QString* error);
    // The stored files with a signature kept beside them.
    QStringList signedFiles() const;
    // What verifying a kept signature again found (empty: it no longer holds); not written to disk.
    void setVerifiedSigner(const QString& sha256, const QString& signer);

    // 64 hex digits.
    static bool isSha256(const QString& text);

private:
    bool writeDescription(const StoredFirmware& firmware, QString* error) const;

    QString m_folder;
    QMap<QString, StoredFirmware> m_entries;
};
