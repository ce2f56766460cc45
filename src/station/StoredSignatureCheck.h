#pragma once

#include "engine/FirmwareSignatureCheck.h"

#include <QObject>
#include <QStringList>

class FirmwareStore;

// When the station starts, the signatures kept with its stored firmware are verified again against
// the keys it trusts now, one file after another: a key removed from the allowed signers or revoked
// since no longer lets its files run. Until its signature has been verified, a file is unsigned.
class StoredSignatureCheck : public QObject
{
    Q_OBJECT
public:
    StoredSignatureCheck(FirmwareStore& store, SignatureTrust trust, QObject* parent = nullptr);

    void start();
    bool isDone() const { return m_pending.isEmpty() && !m_check; }

private:
    void next();

    FirmwareStore& m_store;
    SignatureTrust m_trust;
    QStringList m_pending;
    FirmwareSignatureCheck* m_check = nullptr;
};
