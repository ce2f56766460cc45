#include "engine/FirmwareSignatureCheck.h"

#include "engine/TextFormat.h"

#include <QFileInfo>

#include <utility>

namespace {

const QString Tool = QStringLiteral("ssh-keygen");

QString readableProblem(const QString& path, const QString& what)
{
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        return {};
    return QStringLiteral("cannot read the %1 %2: %3")
        .arg(what, TextFormat::escaped(path), file.errorString());
}

} // namespace

FirmwareSignatureCheck::FirmwareSignatureCheck(QString firmwarePath, QString signaturePath,
                                               QString checkedSha256, SignatureTrust trust, QObject* parent)
    : QObject(parent), m_firmwarePath(std::move(firmwarePath)), m_signaturePath(std::move(signaturePath)),
      m_checkedSha256(std::move(checkedSha256)), m_trust(std::move(trust))
{
    m_timeout.setSingleShot(true);
    m_timeout.setInterval(StepTimeout);
    connect(&m_timeout, &QTimer::timeout, this, [this] {
        stopProcess();
        finish(SignatureVerdict::Kind::Failed,
               QStringLiteral("%1 gave no answer within %2 s").arg(Tool).arg(StepTimeout.count() / 1000));
    });
}

FirmwareSignatureCheck::~FirmwareSignatureCheck()
{
    m_done = true;
    stopProcess();
}

void FirmwareSignatureCheck::start()
{
    // Refusals found without ssh-keygen still come from the event loop, like every other result.
    QTimer::singleShot(0, this, [this] {
        if (!QFileInfo(m_signaturePath).isFile())
            return finish(
                SignatureVerdict::Kind::Missing,
                QStringLiteral("no signature (%1 is missing)").arg(TextFormat::escaped(m_signaturePath)));
        for (const auto& [path, what] :
             {std::pair{m_signaturePath, QStringLiteral("signature")},
              std::pair{m_trust.allowedSigners, QStringLiteral("allowed signers file")},
              std::pair{m_trust.revokedKeys, QStringLiteral("revoked keys file")}}) {
            if (path.isEmpty())
                continue;
            if (const QString problem = readableProblem(path, what); !problem.isEmpty())
                return finish(SignatureVerdict::Kind::Failed, problem);
        }
        run(Step::FindPrincipal);
    });
}

void FirmwareSignatureCheck::run(Step step)
{
    m_step = step;
    QStringList arguments{QStringLiteral("-Y")};
    const QStringList signature{QStringLiteral("-s"), m_signaturePath};
    const QStringList allowed{QStringLiteral("-f"), m_trust.allowedSigners};
    const QStringList verify =
        QStringList{QStringLiteral("verify")} + allowed +
        QStringList{QStringLiteral("-I"), m_principal, QStringLiteral("-n"), Namespace} + signature;
    switch (step) {
    case Step::FindPrincipal:
        arguments += QStringList{QStringLiteral("find-principals")} + signature + allowed;
        break;
    case Step::Verify:
        arguments += verify;
        if (!m_trust.revokedKeys.isEmpty())
            arguments += QStringList{QStringLiteral("-r"), m_trust.revokedKeys};
        break;
    case Step::CheckSignatureOnly:
        arguments +=
            QStringList{QStringLiteral("check-novalidate"), QStringLiteral("-n"), Namespace} + signature;
        break;
    case Step::VerifyIgnoringRevocation:
        arguments += verify;
        break;
    }

    stopProcess();
    m_process = new QProcess(this);
    m_process->setProgram(Tool);
    m_process->setArguments(arguments);
    m_fedWholeFile = false;
    const bool feeds = step != Step::FindPrincipal;
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        stopProcess();
        finish(SignatureVerdict::Kind::Failed,
               QStringLiteral("cannot run %1 (from openssh-client) to verify the signature").arg(Tool));
    });
    connect(m_process, &QProcess::finished, this, &FirmwareSignatureCheck::stepEnded);
    if (feeds) {
        m_file.close();
        m_file.setFileName(m_firmwarePath);
        m_hash.reset();
        connect(m_process, &QProcess::started, this, &FirmwareSignatureCheck::feedFile);
        connect(m_process, &QProcess::bytesWritten, this, [this] {
            if (m_process && m_process->bytesToWrite() == 0)
                feedFile();
        });
    }
    m_timeout.start();
    m_process->start(feeds ? QIODevice::ReadWrite : QIODevice::ReadOnly);
    if (!feeds && m_process)
        m_process->closeWriteChannel();
}

void FirmwareSignatureCheck::feedFile()
{
    if (!m_process || m_fedWholeFile)
        return;
    if (!m_file.isOpen() && !m_file.open(QIODevice::ReadOnly)) {
        m_process->closeWriteChannel();
        return;
    }
    // One chunk at a time, the next once ssh-keygen has taken it: memory stays bounded.
    const QByteArray chunk = m_file.read(ChunkSize);
    if (chunk.isEmpty()) {
        m_fedWholeFile = !m_file.error();
        m_file.close();
        m_process->closeWriteChannel();
        return;
    }
    m_hash.addData(chunk);
    m_process->write(chunk);
}

void FirmwareSignatureCheck::stepEnded(int exitCode, QProcess::ExitStatus status)
{
    if (!m_process)
        return;
    m_timeout.stop();
    if (status != QProcess::NormalExit) {
        stopProcess();
        return finish(SignatureVerdict::Kind::Failed, QStringLiteral("%1 ended abnormally").arg(Tool));
    }
    if (m_step != Step::FindPrincipal && m_fedWholeFile && m_hash.finish() != m_checkedSha256) {
        stopProcess();
        return finish(SignatureVerdict::Kind::FileChanged,
                      QStringLiteral("the file changed after it was checked; choose it again"));
    }
    conclude(exitCode);
}

void FirmwareSignatureCheck::conclude(int exitCode)
{
    const QString output = QString::fromUtf8(m_process->readAllStandardOutput());
    const QString errors = QString::fromUtf8(m_process->readAllStandardError());
    stopProcess();
    const bool success = exitCode == 0;
    switch (m_step) {
    case Step::FindPrincipal:
        // The first principal a key is listed under names the signer.
        m_principal = success ? output.section(u'\n', 0, 0).trimmed() : QString();
        return run(m_principal.isEmpty() ? Step::CheckSignatureOnly : Step::Verify);
    case Step::Verify:
        if (success && m_fedWholeFile) {
            SignatureVerdict verdict;
            verdict.kind = SignatureVerdict::Kind::Good;
            verdict.signer = m_principal;
            m_done = true;
            emit finished(verdict);
            return;
        }
        return run(Step::CheckSignatureOnly);
    case Step::CheckSignatureOnly:
        if (!success) {
            if (errors.contains(QLatin1String("namespace")))
                return finish(SignatureVerdict::Kind::WrongNamespace,
                              QStringLiteral("the signature was not made for firmware (namespace \"%1\")")
                                  .arg(Namespace));
            return finish(SignatureVerdict::Kind::Mismatch,
                          QStringLiteral("the signature does not match the file"));
        }
        if (m_principal.isEmpty())
            return finish(SignatureVerdict::Kind::UnknownSigner,
                          QStringLiteral("signed by a key that is not in the allowed signers"));
        if (!m_trust.revokedKeys.isEmpty())
            return run(Step::VerifyIgnoringRevocation);
        return finish(SignatureVerdict::Kind::NotTrusted,
                      QStringLiteral("the allowed signers do not let %1 sign firmware").arg(m_principal));
    case Step::VerifyIgnoringRevocation:
        if (success)
            return finish(SignatureVerdict::Kind::Revoked,
                          QStringLiteral("signed by a revoked key (%1)").arg(m_principal));
        return finish(SignatureVerdict::Kind::NotTrusted,
                      QStringLiteral("the allowed signers do not let %1 sign firmware").arg(m_principal));
    }
}

void FirmwareSignatureCheck::finish(SignatureVerdict::Kind kind, const QString& reason)
{
    if (m_done)
        return;
    m_done = true;
    m_timeout.stop();
    SignatureVerdict verdict;
    verdict.kind = kind;
    verdict.reason = reason;
    if (kind == SignatureVerdict::Kind::Revoked || kind == SignatureVerdict::Kind::NotTrusted)
        verdict.signer = m_principal;
    emit finished(verdict);
}

void FirmwareSignatureCheck::stopProcess()
{
    m_file.close();
    if (!m_process)
        return;
    QProcess* process = std::exchange(m_process, nullptr);
    process->disconnect(this);
    process->kill();
    process->deleteLater();
}
