#include "engine/SignatureVerdict.h"

QString SignatureVerdict::code() const
{
    switch (kind) {
    case Kind::Good:
        return {};
    case Kind::Missing:
        return QStringLiteral("no-signature");
    case Kind::Mismatch:
        return QStringLiteral("bad-signature");
    case Kind::WrongNamespace:
        return QStringLiteral("wrong-namespace");
    case Kind::UnknownSigner:
        return QStringLiteral("unknown-signer");
    case Kind::Revoked:
        return QStringLiteral("revoked-signer");
    case Kind::NotTrusted:
        return QStringLiteral("untrusted-signer");
    case Kind::FileChanged:
        return QStringLiteral("file-changed");
    case Kind::Failed:
        return QStringLiteral("signature-check-failed");
    }
    return {};
}
