#include "station/SignatureUpload.h"

#include "station/FirmwareStore.h"
#include "station/HttpExchange.h"

#include <QJsonObject>

namespace {

StationError internal(const QString& message)
{
    return StationError(StationError::Code::Internal, message);
}

} // namespace

void SignatureUpload::start(HttpExchange& exchange, FirmwareStore& store, const QString& sha256,
                            const SignatureTrust& trust)
{
    auto* upload = new SignatureUpload(exchange, store, sha256.toLower());
    if (!upload->m_file.open()) {
        upload->m_reply.send(
            internal(QStringLiteral("Cannot store the signature: %1").arg(upload->m_file.errorString())));
        return;
    }
    exchange.receiveBody(
        MaxSize,
        [upload](const char* data, qsizetype size) {
            if (!upload->m_failed && upload->m_file.write(data, size) != size) {
                upload->m_failed = true;
                upload->m_reply.send(internal(
                    QStringLiteral("Cannot store the signature: %1").arg(upload->m_file.errorString())));
            }
        },
        [upload, trust] { upload->bodyComplete(trust); });
}

SignatureUpload::SignatureUpload(HttpExchange& exchange, FirmwareStore& store, QString sha256)
    : QObject(&exchange), m_reply(exchange), m_store(store), m_sha256(std::move(sha256)),
      m_file(store.folder() + QStringLiteral("/signature-XXXXXX.part"))
{
}

void SignatureUpload::bodyComplete(const SignatureTrust& trust)
{
    if (m_failed)
        return;
    if (!m_file.flush()) {
        m_reply.send(internal(QStringLiteral("Cannot store the signature: %1").arg(m_file.errorString())));
        return;
    }
    // The stored file was checked when it came, and is addressed by that SHA-256: the signature
    // must cover exactly those bytes.
    auto* check =
        new FirmwareSignatureCheck(m_store.pathOf(m_sha256), m_file.fileName(), m_sha256, trust, this);
    connect(check, &FirmwareSignatureCheck::finished, this, &SignatureUpload::verified);
    check->start();
}

void SignatureUpload::verified(const SignatureVerdict& verdict)
{
    if (!verdict.ok()) {
        m_reply.send(StationError(StationError::Code::BadSignature, verdict.reason,
                                  {{QStringLiteral("reason"), verdict.code()}}));
        return;
    }
    m_file.close();
    m_file.setAutoRemove(false);
    QString error;
    if (!m_store.setSignature(m_sha256, m_file.fileName(), verdict.signer, &error)) {
        m_reply.send(internal(error));
        return;
    }
    m_reply.send(HttpResponse::json(
        200, {{QStringLiteral("sha256"), m_sha256}, {QStringLiteral("signer"), verdict.signer}}));
}
