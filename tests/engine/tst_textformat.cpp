// Names from outside are shown with their control characters escaped; counts group thousands.
#include "engine/TextFormat.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TextFormatTest : public QObject
{
    Q_OBJECT
private slots:
    void escaped_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("shown");
        QTest::newRow("plain path") << u"/srv/fw/unit v2.hex"_s << u"/srv/fw/unit v2.hex"_s;
        QTest::newRow("backslash and quotes stay") << u"C:\\fw\\\"a\".hex"_s << u"C:\\fw\\\"a\".hex"_s;
        QTest::newRow("non-ASCII stays")
            << u"f\u00fcr-\u00e9t\u00e9.hex"_s << u"f\u00fcr-\u00e9t\u00e9.hex"_s;
        QTest::newRow("escape sequence") << u"a\x1b[2Jb.hex"_s << u"a\\033[2Jb.hex"_s;
        QTest::newRow("tab, newline, return") << u"a\tb\nc\rd"_s << u"a\\tb\\nc\\rd"_s;
        QTest::newRow("DEL and a C1 control") << u"a\x7f\u009bz"_s << u"a\\177\\233z"_s;
        QTest::newRow("right-to-left override") << u"cod\u202Egnp.hex"_s << u"cod\\u202Egnp.hex"_s;
    }

    void escaped()
    {
        QFETCH(QString, name);
        QFETCH(QString, shown);
        QCOMPARE(TextFormat::escaped(name), shown);
    }

    void countGroupsThousandsWhateverTheLocale()
    {
        QLocale::setDefault(QLocale(QLocale::German));
        QCOMPARE(TextFormat::count(1234567), u"1,234,567"_s);
        QCOMPARE(TextFormat::count(999), u"999"_s);
        QLocale::setDefault(QLocale::c());
    }
};

QTEST_GUILESS_MAIN(TextFormatTest)
#include "tst_textformat.moc"
