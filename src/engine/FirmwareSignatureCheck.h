#pragma once

#include "engine/Sha256Hash.h"
#include "engine/SignatureVerdict.h"

#include <QFile>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include <chrono>

// The release keys a firmware file must be signed with: an OpenSSH allowed-signers file and,
// optionally, a revocation list (a key revocation list or public keys, as ssh-keygen -r reads).
struct SignatureTrust
{
    QString allowedSigners;
    QString revokedKeys; // empty: none

    bool isSet() const { return !allowedSigners.isEmpty(); }
};

// Verifies the OpenSSH signature of a checked firmware file with ssh-keygen -Y (namespace
// "firmware"). The file's bytes go to ssh-keygen as they are read, hashed on the way: unless they
// are the bytes whose SHA-256 the check found, the file has changed and the verdict says so, so a
// good signature always covers exactly what the check read and what the upload will send.
//
// The usual case takes two runs of ssh-keygen (which principal, then verify); a refusal takes
// one or two more to tell why. Each run is bounded by StepTimeout; nothing here blocks.
class FirmwareSignatureCheck : public QObject
{
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds StepTimeout{10000};
    static constexpr qint64 ChunkSize = 64 * 1024;
    static inline const QString Namespace = QStringLiteral("firmware");

    // checkedSha256: what the firmware check found for the file.
    FirmwareSignatureCheck(QString firmwarePath, QString signaturePath, QString checkedSha256,
                           SignatureTrust trust, QObject* parent = nullptr);
    ~FirmwareSignatureCheck() override;

    // The signature beside a firmware file: FW.sig.
    static QString signatureBeside(const QString& firmwarePath)
    {
        return firmwarePath + QStringLiteral(".sig");
    }

    // finished() comes once, always after start() has returned.
    void start();

signals:
    void finished(const SignatureVerdict& verdict);

private:
    enum class Step
    {
        FindPrincipal,
        Verify,
        CheckSignatureOnly,
        VerifyIgnoringRevocation
    };

    void run(Step step);
    void feedFile();
    void stepEnded(int exitCode, QProcess::ExitStatus status);
    void conclude(int exitCode);
    void finish(SignatureVerdict::Kind kind, const QString& reason);
    void stopProcess();

    QString m_firmwarePath;
    QString m_signaturePath;
    QString m_checkedSha256;
    SignatureTrust m_trust;

    Step m_step = Step::FindPrincipal;
    QProcess* m_process = nullptr;
    QFile m_file;
    Sha256Hash m_hash;
    bool m_fedWholeFile = false;
    QString m_principal;
    QTimer m_timeout;
    bool m_done = false;
};
