#pragma once

#include <QByteArrayView>
#include <QString>

#include <memory>

// SHA-256 over bytes fed in pieces. OpenSSL's implementation: it uses the processor's SHA
// instructions where there are some, and hashes a firmware file about ten times as fast as
// QCryptographicHash does, so the hash adds little to the check that reads the file anyway.
class Sha256Hash
{
public:
    Sha256Hash();
    ~Sha256Hash();
    Sha256Hash(const Sha256Hash&) = delete;
    Sha256Hash& operator=(const Sha256Hash&) = delete;

    void reset();
    void addData(QByteArrayView bytes);
    // Lower-case hex of the bytes fed since the last reset; the hash then starts afresh.
    QString finish();

    static QString of(QByteArrayView bytes);

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};
