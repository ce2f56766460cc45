#pragma once

#include <QMetaType>
#include <QString>

// How the signature of a firmware file stood against the trusted release keys.
struct SignatureVerdict
{
    enum class Kind
    {
        Good,
        Missing,        // no signature file
        Mismatch,       // the signature is not one of these bytes (or no signature at all)
        WrongNamespace, // signed for another purpose than firmware
        UnknownSigner,  // the key is not in the allowed signers
        Revoked,        // the key is in the revocation list
        NotTrusted,     // the allowed signers name the key, but not for firmware (or not now)
        FileChanged,    // the file is no longer what its check read
        Failed          // the keys could not be read, or the verification could not run
    };

    Kind kind = Kind::Failed;
    QString signer; // Good, Revoked, NotTrusted: the matching principal
    QString reason; // one line, for every kind but Good

    bool ok() const { return kind == Kind::Good; }
    // "unsigned-firmware"-like code of a refusal: "no-signature", "bad-signature", ...
    QString code() const;
};
Q_DECLARE_METATYPE(SignatureVerdict)
