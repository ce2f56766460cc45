#include "engine/Sha256Hash.h"

#include <openssl/evp.h>

#include <QByteArray>

struct Sha256Hash::Context
{
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(md); }
};

Sha256Hash::Sha256Hash() : m_context(std::make_unique<Context>())
{
    reset();
}

Sha256Hash::~Sha256Hash() = default;

void Sha256Hash::reset()
{
    // Cannot fail for a built-in digest short of memory running out, which ends the program anyway.
    EVP_DigestInit_ex(m_context->md, EVP_sha256(), nullptr);
}

void Sha256Hash::addData(QByteArrayView bytes)
{
    if (!bytes.isEmpty())
        EVP_DigestUpdate(m_context->md, bytes.data(), size_t(bytes.size()));
}

QString Sha256Hash::finish()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context->md, digest, &length);
    reset();
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex());
}

QString Sha256Hash::of(QByteArrayView bytes)
{
    Sha256Hash hash;
    hash.addData(bytes);
    return hash.finish();
}
