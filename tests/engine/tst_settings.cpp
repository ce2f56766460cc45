#include "settings/ConnectionSettings.h"
#include "settings/ProductVariant.h"
#include "settings/SettingsStore.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

class SettingsTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // What a build of this title shows in its boxes at start-up.
    struct Build
    {
        explicit Build(const QString& title) : title(title), store(title) { load(); }
        void load() { window = ConnectionSettings::load(store, ProductVariants::forTitle(title)); }
        void forget()
        {
            QVERIFY(store.removeSection());
            load();
        }
        QString title;
        SettingsStore store;
        ConnectionSettings window;
    };

private slots:
    void initTestCase() { QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path()); }

    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
    }

    void variantByTitlePrefix_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("model");
        QTest::newRow("this build") << "Marlin-ARC Firmware Uploader" << "Marlin";
        QTest::newRow("debug build") << "Marlin-ARC Firmware Uploader Debug" << "Marlin";
        QTest::newRow("caldera") << "Caldera 16 Uploader" << "Caldera 16";
        QTest::newRow("caldera without the blank") << "Caldera16 Uploader" << "";
        QTest::newRow("capitals match nothing") << "MARLIN-ARC Firmware Uploader" << "";
        QTest::newRow("no model") << "Firmware Uploader" << "";
        QTest::newRow("quill") << "Quill" << "Quill";
        QTest::newRow("tessera") << "Tessera X" << "Tessera";
    }

    void variantByTitlePrefix()
    {
        QFETCH(QString, title);
        QFETCH(QString, model);
        const ProductVariant* variant = ProductVariants::forTitle(title);
        QCOMPARE(variant ? variant->modelName : QString(), model);
    }

    // No model name may begin another, or the lookup would depend on the table's order.
    void modelNamesArePrefixFree()
    {
        for (const ProductVariant& a : ProductVariants::all())
            for (const ProductVariant& b : ProductVariants::all())
                QVERIFY(&a == &b || !b.modelName.startsWith(a.modelName));
    }

    void productCodeChecksums()
    {
        for (const ProductVariant& variant : ProductVariants::all()) {
            int sum = 0;
            for (char c : variant.productCodeFrame)
                sum += static_cast<unsigned char>(c);
            // Osprey's stored check byte is one off a zero sum, and the unit expects exactly it.
            QCOMPARE(sum % 256, variant.modelName == QLatin1String("Osprey") ? 255 : 0);
        }
    }

    void firstStartShowsTheDefaults()
    {
        Build build(QStringLiteral("Marlin-ARC Firmware Uploader"));
        QCOMPARE(build.window.address, QStringLiteral("192.168.10.11"));
        QCOMPARE(build.window.port, QStringLiteral("23"));
    }

    void savedValuesComeBackAndForgetRestoresDefaults()
    {
        const QString title = QStringLiteral("Marlin-ARC Firmware Uploader");
        {
            SettingsStore store(title);
            QVERIFY(store.write(QStringLiteral("EthernetAddress"), QStringLiteral("10.0.0.5")));
            QVERIFY(store.write(QStringLiteral("EthernetPort"), QStringLiteral("5000")));
        }
        Build build(title);
        QCOMPARE(build.window.address, QStringLiteral("10.0.0.5"));
        QCOMPARE(build.window.port, QStringLiteral("5000"));
        build.forget();
        QCOMPARE(build.window.address, QStringLiteral("192.168.10.11"));
        QCOMPARE(build.window.port, QStringLiteral("23"));
        build.forget(); // nothing left to delete is no error
        Build restarted(title);
        QCOMPARE(restarted.window.address, QStringLiteral("192.168.10.11"));
    }

    void eachProductHasItsDefaults_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("port");
        QTest::newRow("Caldera 16") << "Caldera 16 Uploader" << "192.168.254.102" << "23";
        QTest::newRow("Vireo Grand") << "Vireo Grand Uploader" << "192.168.11.2" << "5000";
        QTest::newRow("Marlin") << "Marlin-ARC Firmware Uploader" << "192.168.10.11" << "23";
        QTest::newRow("Quill") << "Quill Uploader" << "192.168.11.10" << "5000";
        QTest::newRow("Osprey") << "Osprey Uploader" << "192.168.11.10" << "5000";
        QTest::newRow("Tessera: none") << "Tessera Uploader" << "" << "";
    }

    void eachProductHasItsDefaults()
    {
        QFETCH(QString, title);
        QFETCH(QString, address);
        QFETCH(QString, port);
        const Build build(title);
        QCOMPARE(build.window.address, address);
        QCOMPARE(build.window.port, port);
    }

    void savedValuesAreWrittenAsTyped()
    {
        SettingsStore store(QStringLiteral("Quill Uploader"));
        QVERIFY((ConnectionSettings{QStringLiteral("unit-7.local"), QStringLiteral(" 5000 ")}.save(store)));
        QCOMPARE(store.read(QStringLiteral("EthernetAddress"), {}), QStringLiteral("unit-7.local"));
        QCOMPARE(store.read(QStringLiteral("EthernetPort"), {}), QStringLiteral(" 5000 "));
    }

    void eachKeyFallsBackOnItsOwn()
    {
        const QString title = QStringLiteral("Marlin-ARC Firmware Uploader");
        SettingsStore(title).write(QStringLiteral("EthernetPort"), QStringLiteral("6000"));
        Build build(title);
        QCOMPARE(build.window.address, QStringLiteral("192.168.10.11"));
        QCOMPARE(build.window.port, QStringLiteral("6000"));
    }

    // Every title keeps its own section, the "Debug" build included.
    void eachTitleHasItsOwnSection()
    {
        SettingsStore(QStringLiteral("Quill Uploader")).write(QStringLiteral("EthernetAddress"), QStringLiteral("10.1.1.1"));
        SettingsStore(QStringLiteral("Marlin-ARC Firmware Uploader Debug"))
            .write(QStringLiteral("EthernetAddress"), QStringLiteral("10.2.2.2"));
        QCOMPARE(Build(QStringLiteral("Quill Uploader")).window.address, QStringLiteral("10.1.1.1"));
        QCOMPARE(Build(QStringLiteral("Osprey Uploader")).window.address, QStringLiteral("192.168.11.10"));
        QCOMPARE(Build(QStringLiteral("Osprey Uploader")).window.port, QStringLiteral("5000"));
        QCOMPARE(Build(QStringLiteral("Marlin-ARC Firmware Uploader")).window.address, QStringLiteral("192.168.10.11"));
        QCOMPARE(Build(QStringLiteral("Marlin-ARC Firmware Uploader Debug")).window.address, QStringLiteral("10.2.2.2"));
    }

    void buildsWithoutDefaultsStartEmptyButShowWhatWasSaved()
    {
        QCOMPARE(Build(QStringLiteral("Tessera Uploader")).window.address, QString());
        QCOMPARE(Build(QStringLiteral("MARLIN-ARC Firmware Uploader")).window.port, QString());
        SettingsStore(QStringLiteral("Tessera Uploader")).write(QStringLiteral("EthernetPort"), QStringLiteral("7"));
        QCOMPARE(Build(QStringLiteral("Tessera Uploader")).window.port, QStringLiteral("7"));
    }

    void valuesAreStoredAsTyped()
    {
        const QString title = QStringLiteral("Marlin-ARC Firmware Uploader");
        const QString odd = QStringLiteral(" 10.0.0.5, or so ");
        QVERIFY(SettingsStore(title).write(QStringLiteral("EthernetAddress"), odd));
        QCOMPARE(Build(title).window.address, odd);
    }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_settings.moc"
