#pragma once

#include "engine/FirmwareSignatureCheck.h"
#include "station/ApiReply.h"

#include <QObject>
#include <QTemporaryFile>

class FirmwareStore;
class HttpExchange;

// One PUT of a stored file's signature: the body goes into a temporary file in the store's folder,
// the signature is verified against the station's release keys over the stored file's bytes, and
// a good one is kept with its signer (200 {"sha256", "signer"}); otherwise 422 bad-signature with
// the reason. Deleted with the exchange; a client that goes away leaves nothing behind.
class SignatureUpload : public QObject
{
    Q_OBJECT
public:
    // A signature is a few hundred bytes; anything larger is no signature.
    static constexpr qint64 MaxSize = 16 * 1024;

    // A child of the exchange. sha256: a stored file's.
    static void start(HttpExchange& exchange, FirmwareStore& store, const QString& sha256,
                      const SignatureTrust& trust);

private:
    SignatureUpload(HttpExchange& exchange, FirmwareStore& store, QString sha256);

    void bodyComplete(const SignatureTrust& trust);
    void verified(const SignatureVerdict& verdict);

    ApiReply m_reply;
    FirmwareStore& m_store;
    QString m_sha256;
    QTemporaryFile m_file;
    bool m_failed = false;
};
