#include "station/StoredSignatureCheck.h"

#include "station/FirmwareStore.h"

StoredSignatureCheck::StoredSignatureCheck(FirmwareStore& store, SignatureTrust trust, QObject* parent)
    : QObject(parent), m_store(store), m_trust(std::move(trust))
{
}

void StoredSignatureCheck::start()
{
    if (m_trust.isSet())
        m_pending = m_store.signedFiles();
    next();
}

void StoredSignatureCheck::next()
{
    if (m_pending.isEmpty())
        return;
    const QString sha256 = m_pending.takeFirst();
    m_check = new FirmwareSignatureCheck(m_store.pathOf(sha256), m_store.signaturePathOf(sha256), sha256,
                                         m_trust, this);
    connect(m_check, &FirmwareSignatureCheck::finished, this,
            [this, sha256](const SignatureVerdict& verdict) {
                m_check->deleteLater();
                m_check = nullptr;
                m_store.setVerifiedSigner(sha256, verdict.ok() ? verdict.signer : QString());
                next();
            });
    m_check->start();
}
