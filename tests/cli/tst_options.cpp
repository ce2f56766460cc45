// uploader-cli's command line, read in-process: what each option accepts and refuses, the one-line
// errors, the defaults of each build, product names and unit files.
#include "cli/Options.h"
#include "settings/ProductVariant.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

using Features = OptionsParser::Features;

const QString Firmware = u"fw.hex"_s;
const QString Sha256Lower = u"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"_s;

const ProductVariant* product(const QString& modelName)
{
    for (const ProductVariant& variant : ProductVariants::all())
        if (variant.modelName == modelName)
            return &variant;
    return nullptr;
}

// What the parser made of the command line, one "name=value" per field, so that a failing
// comparison names the field.
QStringList fields(const Options& options)
{
    static const QStringList actions{u"update"_s, u"check"_s, u"help"_s, u"version"_s};
    QStringList units;
    for (const UnitEntry& unit : options.units)
        units << unit.address.label() + (unit.serial.isEmpty() ? QString() : u'(' + unit.serial + u')');
    const auto yesNo = [](bool value) { return value ? u"yes"_s : u"no"_s; };
    return {
        u"action="_s + actions.at(int(options.action)),
        u"firmware="_s + options.firmwarePath,
        u"units="_s + units.join(u' '),
        u"product="_s + (options.product ? options.product->modelName : u"none"_s),
        u"parallel="_s + QString::number(options.parallel),
        u"repeat="_s + QString::number(options.repeat),
        u"keep-going="_s + yesNo(options.keepGoing),
        u"json="_s + yesNo(options.json),
        u"verbose="_s + yesNo(options.verbose),
        u"slow="_s + yesNo(options.slow),
        u"connect-timeout="_s + QString::number(options.connectTimeoutSeconds),
        u"reply-timeout="_s + QString::number(options.replyTimeoutSeconds),
        u"expect-sha256="_s + options.expectedSha256,
        u"time-scale="_s + QString::number(options.timeScale),
        u"warnings="_s + QString::number(options.warnings.size()),
        u"retries="_s + QString::number(options.retries),
        u"lot="_s + options.lot,
        u"failed-from="_s + options.failedFrom,
        u"watch="_s + yesNo(options.watch),
    };
}

// The fields of `--unit 10.0.0.7 fw.hex` in a Marlin build, with `changes` ("name=value") applied.
QStringList expectedFields(const QStringList& changes)
{
    QStringList expected{u"action=update"_s,
                         u"firmware=fw.hex"_s,
                         u"units=10.0.0.7:23"_s,
                         u"product=Marlin"_s,
                         u"parallel=0"_s,
                         u"repeat=1"_s,
                         u"keep-going=no"_s,
                         u"json=no"_s,
                         u"verbose=no"_s,
                         u"slow=no"_s,
                         u"connect-timeout=3.3"_s,
                         u"reply-timeout=15"_s,
                         u"expect-sha256="_s,
                         u"time-scale=1"_s,
                         u"warnings=0"_s,
                         u"retries=0"_s,
                         u"lot="_s,
                         u"failed-from="_s,
                         u"watch=no"_s};
    for (const QString& change : changes) {
        const QString name = change.section(u'=', 0, 0) + u'=';
        for (QString& field : expected)
            if (field.startsWith(name))
                field = change;
    }
    return expected;
}

} // namespace

class OptionsTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString writeFile(const QString& name, const QByteArray& contents)
    {
        QFile file(m_dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            qFatal("cannot write %s", qPrintable(file.fileName()));
        file.write(contents);
        return file.fileName();
    }

    static bool parse(const QStringList& arguments, Options* options, QString* error,
                      Features features = Features::Testing, const QString& buildProduct = u"Marlin"_s)
    {
        const OptionsParser parser(product(buildProduct), u"Test build"_s, features);
        return parser.parse(QStringList{u"uploader-cli"_s} + arguments, options, error);
    }

    static void verifyFields(const QStringList& actual, const QStringList& expected)
    {
        QCOMPARE(actual.size(), expected.size());
        for (qsizetype i = 0; i < actual.size(); ++i)
            QCOMPARE(actual.at(i), expected.at(i));
    }

private slots:
    // ---- defaults ------------------------------------------------------------------------------

    void buildDefaults_data()
    {
        QTest::addColumn<QString>("buildProduct");
        QTest::addColumn<QString>("port");
        QTest::newRow("Marlin") << u"Marlin"_s << u"23"_s;
        QTest::newRow("Caldera 16") << u"Caldera 16"_s << u"23"_s;
        QTest::newRow("Vireo Grand") << u"Vireo Grand"_s << u"5000"_s;
        QTest::newRow("Osprey") << u"Osprey"_s << u"5000"_s;
    }

    // A unit without a port gets the build's product's port; every other option its default.
    void buildDefaults()
    {
        QFETCH(QString, buildProduct);
        QFETCH(QString, port);
        Options options;
        QString error;
        QVERIFY2(
            parse({u"--unit"_s, u"10.0.0.7"_s, Firmware}, &options, &error, Features::Shipped, buildProduct),
            qPrintable(error));
        verifyFields(fields(options),
                     expectedFields({u"product="_s + buildProduct, u"units=10.0.0.7:"_s + port}));
    }

    // A build for no known product updates nothing until --product names one; --check needs none.
    void buildForNoProduct()
    {
        Options options;
        QString error;
        QVERIFY(!parse({u"--unit"_s, u"10.0.0.7:23"_s, Firmware}, &options, &error, Features::Testing, {}));
        QVERIFY2(error.contains(u"\"Test build\""_s) && error.contains(u"--product"_s), qPrintable(error));

        QVERIFY2(parse({u"--product"_s, u"quill"_s, u"--unit"_s, u"10.0.0.7"_s, Firmware}, &options, &error,
                       Features::Testing, {}),
                 qPrintable(error));
        verifyFields(fields(options), expectedFields({u"product=Quill"_s, u"units=10.0.0.7:5000"_s}));

        QVERIFY2(parse({u"--check"_s, Firmware}, &options, &error, Features::Testing, {}), qPrintable(error));
        verifyFields(fields(options), expectedFields({u"action=check"_s, u"units="_s, u"product=none"_s}));
    }

    // ---- accepted forms ------------------------------------------------------------------------

    void accepted_data()
    {
        const QString unit = u"10.0.0.7"_s;
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("changes"); // from the defaults of a Marlin build
        QTest::newRow("--parallel") << QStringList{u"--parallel"_s, u"4"_s, u"--unit"_s, unit, Firmware}
                                    << QStringList{u"parallel=4"_s};
        QTest::newRow("--repeat, --keep-going")
            << QStringList{u"--repeat"_s, u"3"_s, u"--keep-going"_s, u"--unit"_s, unit, Firmware}
            << QStringList{u"repeat=3"_s, u"keep-going=yes"_s};
        QTest::newRow("switches") << QStringList{u"--json"_s, u"--verbose"_s, u"--slow"_s,
                                                 u"--unit"_s, unit,           Firmware}
                                  << QStringList{u"json=yes"_s, u"verbose=yes"_s, u"slow=yes"_s};
        QTest::newRow("timeouts, fractions and the largest")
            << QStringList{u"--connect-timeout"_s,
                           u"0.25"_s,
                           u"--reply-timeout"_s,
                           u"86400"_s,
                           u"--unit"_s,
                           unit,
                           Firmware}
            << QStringList{u"connect-timeout=0.25"_s, u"reply-timeout=86400"_s};
        QTest::newRow("timeout with an exponent")
            << QStringList{u"--reply-timeout"_s, u"1e2"_s, u"--unit"_s, unit, Firmware}
            << QStringList{u"reply-timeout=100"_s};
        QTest::newRow("--expect-sha256 in capitals, stored in lower case")
            << QStringList{u"--expect-sha256"_s, Sha256Lower.toUpper(), u"--unit"_s, unit, Firmware}
            << QStringList{u"expect-sha256="_s + Sha256Lower};
        QTest::newRow("--expect-sha256 mixed case")
            << QStringList{u"--expect-sha256"_s, Sha256Lower.left(32) + Sha256Lower.mid(32).toUpper(),
                           u"--unit"_s, unit, Firmware}
            << QStringList{u"expect-sha256="_s + Sha256Lower};
        QTest::newRow("--product takes its own port")
            << QStringList{u"--product"_s, u"vireo grand"_s, u"--unit"_s, unit, Firmware}
            << QStringList{u"product=Vireo Grand"_s, u"units=10.0.0.7:5000"_s};
        QTest::newRow("several --unit, in order")
            << QStringList{u"--unit"_s, u"b.example:2000"_s, u"--unit"_s, u"a.example"_s, Firmware}
            << QStringList{u"units=b.example:2000 a.example:23"_s};
        QTest::newRow("options after the firmware file")
            << QStringList{Firmware, u"--unit"_s, unit, u"--json"_s} << QStringList{u"json=yes"_s};
        QTest::newRow("--time-scale in the test build")
            << QStringList{u"--time-scale"_s, u"0.02"_s, u"--unit"_s, unit, Firmware}
            << QStringList{u"time-scale=0.02"_s};
        QTest::newRow("--retries at its largest, --lot trimmed, --watch")
            << QStringList{u"--retries"_s, u"10"_s,     u"--lot"_s, u" WO-2291 "_s,
                           u"--watch"_s,   u"--unit"_s, unit,       Firmware}
            << QStringList{u"retries=10"_s, u"lot=WO-2291"_s, u"watch=yes"_s};
        QTest::newRow("--failed-from needs no unit, the id in lower case")
            << QStringList{u"--failed-from"_s, u"3FA1C2D4E5B6"_s, Firmware}
            << QStringList{u"failed-from=3fa1c2d4e5b6"_s, u"units="_s};
        QTest::newRow("--check needs no unit")
            << QStringList{u"--check"_s, Firmware} << QStringList{u"action=check"_s, u"units="_s};
        QTest::newRow("--check with --expect-sha256")
            << QStringList{u"--check"_s, u"--expect-sha256"_s, Sha256Lower, Firmware}
            << QStringList{u"action=check"_s, u"units="_s, u"expect-sha256="_s + Sha256Lower};
        // Nothing else is read.
        QTest::newRow("--help alone")
            << QStringList{u"--help"_s}
            << QStringList{u"action=help"_s, u"firmware="_s, u"units="_s, u"product=none"_s};
        QTest::newRow("--version alone")
            << QStringList{u"--version"_s}
            << QStringList{u"action=version"_s, u"firmware="_s, u"units="_s, u"product=none"_s};
    }

    void accepted()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, changes);
        Options options;
        QString error;
        QVERIFY2(parse(arguments, &options, &error), qPrintable(error));
        verifyFields(fields(options), expectedFields(changes));
    }

    // ---- refused forms -------------------------------------------------------------------------

    void refused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("wanted"); // each in the error
        const QStringList unit{u"--unit"_s, u"10.0.0.7"_s, Firmware};
        const auto value = [&](const QString& option, const QString& text) {
            QTest::addRow("%s \"%s\"", qPrintable(option), qPrintable(text))
                << (QStringList{option, text} + unit) << QStringList{option + u" \""_s + text + u'"'};
        };
        for (const QString& count : {u"0"_s, u"-2"_s, u"x"_s, u"1.5"_s, u""_s, u"99999999999"_s}) {
            value(u"--parallel"_s, count);
            value(u"--repeat"_s, count);
        }
        for (const QString& seconds :
             {u"0"_s, u"-1"_s, u"nan"_s, u"inf"_s, u"86401"_s, u"1e9"_s, u"soon"_s, u""_s}) {
            value(u"--connect-timeout"_s, seconds);
            value(u"--reply-timeout"_s, seconds);
        }
        for (const QString& retries : {u"-1"_s, u"11"_s, u"x"_s, u""_s})
            value(u"--retries"_s, retries);
        for (const QString& lot : {u""_s, u"  "_s, QString(65, u'L')})
            value(u"--lot"_s, lot);
        for (const QString& run : {u"3fa1"_s, u"3fa1c2d4e5bg"_s, u""_s})
            QTest::addRow("--failed-from \"%s\"", qPrintable(run))
                << QStringList{u"--failed-from"_s, run, Firmware} << QStringList{u"--failed-from \""_s + run};
        QTest::newRow("--failed-from with --unit")
            << (QStringList{u"--failed-from"_s, u"3fa1c2d4e5b6"_s} + unit) << QStringList{u"--unit"_s};
        QTest::newRow("--failed-from with --no-history")
            << QStringList{u"--failed-from"_s, u"3fa1c2d4e5b6"_s, u"--no-history"_s, Firmware}
            << QStringList{u"--no-history"_s};
        for (const QStringList& other :
             {QStringList{u"--repeat"_s, u"2"_s}, QStringList{u"--parallel"_s, u"2"_s},
              QStringList{u"--failed-from"_s, u"3fa1c2d4e5b6"_s}})
            QTest::addRow("--watch with %s", qPrintable(other.first()))
                << (QStringList{u"--watch"_s} + other + unit) << QStringList{u"--watch"_s, other.first()};
        for (const QString& scale : {u"0"_s, u"-0.5"_s, u"nan"_s, u"-inf"_s, u"1e9"_s, u"fast"_s})
            value(u"--time-scale"_s, scale);
        QTest::newRow("--time-scale above 1000 names the limit")
            << (QStringList{u"--time-scale"_s, u"1001"_s} + unit) << QStringList{u"at most 1000"_s};
        for (const QString& hex : {Sha256Lower.left(63), Sha256Lower + u'0', Sha256Lower.left(63) + u'g',
                                   u"sha256:"_s + Sha256Lower, u""_s})
            value(u"--expect-sha256"_s, hex);

        QTest::newRow("unknown product") << (QStringList{u"--product"_s, u"Albatross"_s} + unit)
                                         << QStringList{u"unknown product \"Albatross\""_s,
                                                        u"Tessera, \"Caldera 16\", \"Vireo Grand\", Marlin, "
                                                        "Quill, Osprey"_s};
        QTest::newRow("empty product")
            << (QStringList{u"--product"_s, u""_s} + unit) << QStringList{u"unknown product \"\""_s};
        QTest::newRow("a product without a default port, a unit without a port")
            << QStringList{u"--product"_s, u"tessera"_s, u"--unit"_s, u"10.0.0.7"_s, Firmware}
            << QStringList{u"--unit \"10.0.0.7\""_s, u"no default port"_s};
        QTest::newRow("bad port") << QStringList{u"--unit"_s, u"10.0.0.7:99999"_s, Firmware}
                                  << QStringList{u"--unit \"10.0.0.7:99999\""_s, u"1 to 65535"_s};
        QTest::newRow("unknown option")
            << (QStringList{u"--frobnicate"_s} + unit) << QStringList{u"Unknown option 'frobnicate'"_s};
        QTest::newRow("option without its value")
            << QStringList{Firmware, u"--unit"_s} << QStringList{u"Missing value after '--unit'"_s};
        QTest::newRow("no firmware file")
            << QStringList{u"--unit"_s, u"10.0.0.7"_s} << QStringList{u"no firmware file given"_s};
        QTest::newRow("two firmware files") << QStringList{u"a.hex"_s, u"--unit"_s, u"10.0.0.7"_s, u"b.hex"_s}
                                            << QStringList{u"one firmware file only, got 2: a.hex, b.hex"_s};
        QTest::newRow("no unit") << QStringList{Firmware} << QStringList{u"no unit given"_s, u"--unit"_s};
        QTest::newRow("unreadable unit file")
            << QStringList{u"--units"_s, m_dir.filePath(u"missing.txt"_s), Firmware}
            << QStringList{u"cannot read the unit file "_s + m_dir.filePath(u"missing.txt"_s)};

        // A repeated --unit adds a unit; any other option with a value is given once.
        for (const QString& option :
             {u"--units"_s, u"--product"_s, u"--parallel"_s, u"--repeat"_s, u"--connect-timeout"_s,
              u"--reply-timeout"_s, u"--expect-sha256"_s, u"--time-scale"_s, u"--retries"_s, u"--lot"_s}) {
            const QString good = option == u"--product"_s         ? u"marlin"_s
                                 : option == u"--expect-sha256"_s ? Sha256Lower
                                 : option == u"--units"_s         ? m_dir.filePath(u"missing.txt"_s)
                                                                  : u"2"_s;
            QTest::addRow("%s twice", qPrintable(option)) << (QStringList{option, good, option, good} + unit)
                                                          << QStringList{option + u" given more than once"_s};
        }
    }

    // A usage error is one line that names the option and the value it refuses.
    void refused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, wanted);
        Options options;
        QString error;
        QVERIFY(!parse(arguments, &options, &error));
        QVERIFY2(!error.isEmpty() && !error.contains(u'\n'), qPrintable(error));
        for (const QString& text : wanted)
            QVERIFY2(error.contains(text), qPrintable(error));
    }

    // The installed program has no option that changes how long it waits.
    void shippedBuildHasNoTimeScale()
    {
        Options options;
        QString error;
        QVERIFY(!parse({u"--time-scale"_s, u"0.02"_s, u"--unit"_s, u"10.0.0.7"_s, Firmware}, &options, &error,
                       Features::Shipped));
        QVERIFY2(error.contains(u"Unknown option 'time-scale'"_s), qPrintable(error));
        QVERIFY(!OptionsParser::helpText(product(u"Marlin"_s)).contains(u"time-scale"_s));
    }

    // ---- product names -------------------------------------------------------------------------

    void productNames_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("modelName"); // empty: no product
        for (const QString& typed : {u"marlin"_s, u"MARLIN"_s, u"Marlin"_s, u" marlin"_s})
            QTest::addRow("\"%s\"", qPrintable(typed)) << typed << u"Marlin"_s;
        for (const QString& typed : {u"Caldera 16"_s, u"caldera16"_s, u"CALDERA-16"_s, u"caldera - 16"_s})
            QTest::addRow("\"%s\"", qPrintable(typed)) << typed << u"Caldera 16"_s;
        for (const QString& typed : {u"vireogrand"_s, u"Vireo-Grand"_s, u"vireo grand"_s})
            QTest::addRow("\"%s\"", qPrintable(typed)) << typed << u"Vireo Grand"_s;
        for (const QString& typed : {u"tessera"_s, u"quill"_s, u"osprey"_s})
            QTest::addRow("\"%s\"", qPrintable(typed)) << typed << typed.left(1).toUpper() + typed.mid(1);
        for (const QString& typed : {u"caldera"_s, u"marlin2"_s, u"albatross"_s, u""_s, u" - "_s})
            QTest::addRow("\"%s\"", qPrintable(typed)) << typed << QString();
    }

    void productNames()
    {
        QFETCH(QString, typed);
        QFETCH(QString, modelName);
        const ProductVariant* found = ProductVariants::named(typed);
        QCOMPARE(found ? found->modelName : QString(), modelName);
    }

    // ---- unit files ----------------------------------------------------------------------------

    // Comments, blank lines, CR LF line ends and a byte-order mark are skipped; a unit named twice,
    // in the file or once there and once with --unit, is kept once, where it was first named, with
    // a warning that says where it came again.
    void unitFile()
    {
        const QString path = writeFile(u"units.txt"_s, "\xEF\xBB\xBF"
                                                       "10.0.0.5 # bench 3\r\n"
                                                       "\r\n"
                                                       "10.0.0.1\r\n"
                                                       "10.0.0.2:2000 \t SN 0042  # by the door\r\n"
                                                       "   \t\r\n"
                                                       "[::1]:2001\r\n"
                                                       "10.0.0.1:23\r\n"
                                                       "10.0.0.9 # again\r\n");
        Options options;
        QString error;
        QVERIFY2(parse({u"--unit"_s, u"10.0.0.9"_s, u"--units"_s, path, Firmware}, &options, &error),
                 qPrintable(error));
        verifyFields(
            fields(options),
            expectedFields({u"units=10.0.0.9:23 10.0.0.5:23 10.0.0.1:23 10.0.0.2:2000(SN 0042) [::1]:2001"_s,
                            u"warnings=2"_s}));
        QVERIFY2(options.warnings.at(0).contains(u"10.0.0.1:23"_s) &&
                     options.warnings.at(0).contains(path + u":7"_s),
                 qPrintable(options.warnings.at(0)));
        QVERIFY2(options.warnings.at(1).contains(u"10.0.0.9:23"_s) &&
                     options.warnings.at(1).contains(path + u":8"_s),
                 qPrintable(options.warnings.at(1)));
    }

    void unitFileErrors_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("wanted"); // after FILE:
        QTest::newRow("a bad address before a serial")
            << QByteArray("10.0.0.1\nbench:three SN-1\n") << u"2: \"bench:three\""_s;
        QTest::newRow("a serial too long")
            << QByteArray("10.0.0.1 SN-1\n10.0.0.2 " + QByteArray(65, 'S') + "\n") << u"2: serial"_s;
        QTest::newRow("a serial with a control character") << QByteArray("\n10.0.0.1 SN\x01"
                                                                         "1\n")
                                                           << u"2: serial"_s;
        QTest::newRow("port out of range, after blank lines")
            << QByteArray("\n\n# spare\n10.0.0.1:0\n") << u"4: \"10.0.0.1:0\""_s;
        QTest::newRow("unclosed bracket") << QByteArray("[::1\n") << u"1: \"[::1\""_s;
        QTest::newRow("a control character") << QByteArray("10.0.0.1\n10.0\x01.0.2\n") << u"2: "_s;
        QTest::newRow("a comment only") << QByteArray("# nothing yet\n") << QString();
    }

    // The error names the file and the line; a file without units is no run.
    void unitFileErrors()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QString, wanted);
        const QString path = writeFile(u"bad-units.txt"_s, contents);
        Options options;
        QString error;
        QVERIFY(!parse({u"--units"_s, path, Firmware}, &options, &error));
        QVERIFY2(!error.contains(u'\n'), qPrintable(error));
        QVERIFY2(error.contains(wanted.isEmpty() ? u"no unit given"_s : path + u':' + wanted),
                 qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(OptionsTest)
#include "tst_options.moc"
