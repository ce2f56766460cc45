#include "HexFile.h"
#include "ReleaseKeys.h"

#include "engine/FirmwareCheck.h"
#include "engine/FirmwareSignatureCheck.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using Kind = SignatureVerdict::Kind;

class FirmwareSignatureTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    ReleaseKeys m_keys;

    QString write(const QString& name, const QByteArray& contents)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    static QByteArray firmware() { return HexFile::join(HexFile::plain(3000)); }

private slots:
    void initTestCase() { QVERIFY(m_keys.isValid()); }

    void verdicts_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("nameSpace");
        QTest::addColumn<bool>("changeAfterSigning");
        QTest::addColumn<bool>("changeAfterCheck");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("signer");

        QTest::newRow("good") << "release"
                              << "firmware" << false << false << int(Kind::Good) << ReleaseKeys::Release;
        QTest::newRow("unsigned") << ""
                                  << "" << false << false << int(Kind::Missing) << "";
        QTest::newRow("byte changed after signing")
            << "release"
            << "firmware" << true << false << int(Kind::Mismatch) << "";
        QTest::newRow("unknown key") << "stranger"
                                     << "firmware" << false << false << int(Kind::UnknownSigner) << "";
        QTest::newRow("other namespace") << "release"
                                         << "file" << false << false << int(Kind::WrongNamespace) << "";
        QTest::newRow("revoked key") << "retired"
                                     << "firmware" << false << false << int(Kind::Revoked)
                                     << ReleaseKeys::Retired;
        // Signed, and good, but not the bytes the check read: never passes as the checked file.
        QTest::newRow("changed after check") << "release"
                                             << "firmware" << false << true << int(Kind::FileChanged) << "";
    }

    void verdicts()
    {
        QFETCH(QString, key);
        QFETCH(QString, nameSpace);
        QFETCH(bool, changeAfterSigning);
        QFETCH(bool, changeAfterCheck);
        QFETCH(int, kind);
        QFETCH(QString, signer);

        QByteArray contents = firmware();
        const QString path = write(QStringLiteral("fw.hex"), contents);
        QFile::remove(FirmwareSignatureCheck::signatureBeside(path));
        if (!key.isEmpty())
            QVERIFY(m_keys.sign(path, key, nameSpace));
        contents = ReleaseKeys::withOneByteChanged(contents);
        if (changeAfterSigning)
            write(QStringLiteral("fw.hex"), contents);
        const FirmwareCheckResult checked = FirmwareCheck::checkFile(path);
        QVERIFY(checked.ok());
        if (changeAfterCheck)
            write(QStringLiteral("fw.hex"), contents);

        FirmwareSignatureCheck check(path, FirmwareSignatureCheck::signatureBeside(path), checked.sha256,
                                     {m_keys.allowedSigners(), m_keys.revokedKeys()});
        QSignalSpy finished(&check, &FirmwareSignatureCheck::finished);
        check.start();
        QVERIFY(finished.isEmpty());
        QVERIFY(finished.wait(15000));
        const auto verdict = finished.at(0).at(0).value<SignatureVerdict>();
        QCOMPARE(int(verdict.kind), kind);
        QCOMPARE(verdict.signer, signer);
        QCOMPARE(verdict.reason.isEmpty(), verdict.ok());
        QVERIFY(!verdict.reason.contains(u'\n'));
        QTest::qWait(20);
        QCOMPARE(finished.size(), 1);
    }

    void missingToolOrKeysFailWithAReason()
    {
        const QString path = write(QStringLiteral("keys.hex"), firmware());
        QVERIFY(m_keys.sign(path));
        FirmwareSignatureCheck check(path, FirmwareSignatureCheck::signatureBeside(path),
                                     FirmwareCheck::checkFile(path).sha256,
                                     {m_dir.filePath(QStringLiteral("none")), {}});
        QSignalSpy finished(&check, &FirmwareSignatureCheck::finished);
        check.start();
        QVERIFY(finished.wait(5000));
        const auto verdict = finished.at(0).at(0).value<SignatureVerdict>();
        QCOMPARE(verdict.kind, Kind::Failed);
        QVERIFY(verdict.reason.contains(u"allowed signers"));
    }
};

QTEST_GUILESS_MAIN(FirmwareSignatureTest)
#include "tst_firmwaresignature.moc"
