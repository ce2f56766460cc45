// uploader-cli's live display, which only a terminal gets: the program runs on a pseudo-terminal
// of a known size against simulated units, and what it wrote is replayed on a model screen.
#include "HexFile.h"
#include "PtyProcess.h"
#include "ScreenModel.h"
#include "SimulatedUnits.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

using Units = std::vector<std::unique_ptr<unitsim::SimulatedUnit>>;

const QRegularExpression Bar(u"\\[[#.]{2,}"_s);
const QRegularExpression CountsLine(u"^\\d+ running, \\d+ waiting, \\d+ done$"_s);
const QRegularExpression TableHeader(u"^Unit +Outcome +Records +Time$"_s);

bool isLiveLine(const QString& line)
{
    return line.contains(Bar) || line.contains(CountsLine) || line.contains(u" more running"_s);
}

// The live lines of each redraw: the lines written just before the cursor goes back up over them
// ("\r ESC[nA"), after whatever scrolled above them since the screen was last cleared.
// Empty when those n lines were never written.
QList<QStringList> liveBlocks(const QString& output)
{
    static const QRegularExpression back(u"\\r\\x1b\\[(\\d+)A"_s);
    QList<QStringList> blocks;
    qsizetype from = 0;
    for (const QRegularExpressionMatch& match : back.globalMatch(output)) {
        const int n = match.captured(1).toInt();
        QString written = output.mid(from, match.capturedStart() - from);
        // Without the terminal's echo of a Ctrl+C typed meanwhile.
        QStringList lines = written.remove(u"\x1b[J"_s).remove(u"^C"_s).remove(u'\r').split(u'\n');
        if (lines.size() < n + 1 || !lines.last().isEmpty())
            return {};
        lines.removeLast();
        blocks << lines.mid(lines.size() - n);
        from = match.capturedEnd();
    }
    return blocks;
}

// The summary table at the end of the transcript: its header, one row per unit, the counts.
QStringList summaryTable(const QStringList& transcript)
{
    for (qsizetype i = transcript.size() - 1; i >= 0; --i)
        if (transcript.at(i).contains(TableHeader))
            return transcript.mid(i);
    return {};
}

} // namespace

class TerminalDisplayTest : public QObject
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

    static QStringList arguments(const Units& units, const QString& firmware, const QStringList& more = {})
    {
        QStringList list{u"--time-scale"_s, u"0.02"_s};
        for (const auto& unit : units)
            list << u"--unit"_s << SimulatedUnits::address(*unit);
        return list + more << firmware;
    }

    // What no screen of any size may show: control characters and escape sequences other than the
    // live display's own, and live lines left behind.
    static void verifyCleanScreen(const ScreenModel& screen, const QString& output)
    {
        QVERIFY2(screen.unexpected().isEmpty(), qPrintable(screen.unexpected().join(u"; "_s)));
        for (const QString& line : screen.transcript())
            QVERIFY2(!isLiveLine(line), qPrintable(u"left on the screen: "_s + line));
        QVERIFY2(!liveBlocks(output).isEmpty(), "the cursor went up over lines it had not written");
    }

private slots:
    void liveDisplay_data()
    {
        QTest::addColumn<int>("columns");
        QTest::addColumn<int>("rows");
        QTest::addColumn<bool>("verbose");
        QTest::newRow("100x30") << 100 << 30 << false;
        QTest::newRow("40x6") << 40 << 6 << false;
        QTest::newRow("40x4, more units than rows for them") << 40 << 4 << false;
        QTest::newRow("40x2, room for the counts only") << 40 << 2 << false;
        QTest::newRow("100x30, --verbose") << 100 << 30 << true;
        QTest::newRow("40x6, --verbose") << 40 << 6 << true;
    }

    // Three units, one refusing a record: the live lines while they run, the updates' ends and the
    // summary table after them, all within the width of the terminal.
    void liveDisplay()
    {
        QFETCH(int, columns);
        QFETCH(int, rows);
        QFETCH(bool, verbose);
        const QString firmware = writeFile(u"live.hex"_s, HexFile::join(HexFile::plain(60)));
        Units units;
        units.push_back(SimulatedUnits::listening(u"refuse:02@5"_s));
        units.push_back(SimulatedUnits::listening());
        units.push_back(SimulatedUnits::listening());
        // Several redraws while the records go out, and at least one before the refusal.
        units[0]->setLatencyMs(60);
        units[1]->setLatencyMs(5);
        units[2]->setLatencyMs(5);
        QStringList labels;
        for (const auto& unit : units)
            labels << SimulatedUnits::address(*unit);

        PtyProcess pty(columns, rows);
        QVERIFY(pty.start(QStringLiteral(UPLOADER_CLI_TESTING),
                          arguments(units, firmware, verbose ? QStringList{u"--verbose"_s} : QStringList{})));
        QVERIFY(pty.waitForExit(60000));
        const QString output = QString::fromUtf8(pty.output());
        QCOMPARE(pty.exitCode(), 1);
        ScreenModel screen(columns, rows);
        screen.feed(output);
        verifyCleanScreen(screen, output);
        if (QTest::currentTestFailed())
            return;

        // While the units ran.
        const QList<QStringList> blocks = liveBlocks(output);
        QStringList seen;
        for (const QStringList& block : blocks) {
            QVERIFY2(block.size() < rows, qPrintable(block.join(u'\n')));
            QVERIFY2(block.last().contains(CountsLine), qPrintable(block.last()));
            for (const QString& line : block) {
                QVERIFY2(line.size() <= columns, qPrintable(line));
                seen << line;
            }
        }
        // A line per unit while they and the counts fit above the cursor's row; else as many as
        // fit and "... and N more running"; on two rows only the counts.
        const bool roomForAll = rows - 2 >= int(units.size());
        for (const QString& label : labels) {
            const QRegularExpression live(u"^%1 +(connecting|sending|writing|rebooting) +\\[[#.]"_s.arg(
                QRegularExpression::escape(label)));
            QVERIFY2(!roomForAll || !seen.filter(live).isEmpty(), qPrintable(label + u" never shown"_s));
        }
        QVERIFY(rows < 4 || !seen.filter(QRegularExpression(u" sending +\\[#"_s)).isEmpty());
        QVERIFY(roomForAll || rows < 3 || !seen.filter(u"... and "_s).filter(u" more running"_s).isEmpty());
        QVERIFY(rows >= 3 || seen.filter(CountsLine).size() == seen.size());
        if (columns >= 70)
            QVERIFY(
                !seen.filter(QRegularExpression(u"\\[#+\\.+\\] +\\d+% +[\\d,]+ rec/s +\\d+:\\d\\d left"_s))
                     .isEmpty());

        // After them: each update's end, then the summary.
        const QStringList transcript = screen.transcript();
        const QStringList table = summaryTable(transcript);
        QVERIFY2(table.size() == 6, qPrintable(transcript.join(u'\n')));
        const QStringList outcomes{u"refused"_s, u"succeeded"_s, u"succeeded"_s};
        for (qsizetype i = 0; i < labels.size(); ++i) {
            QVERIFY2(table.at(i + 1).contains(QRegularExpression(
                         u"^%1 +%2 +"_s.arg(QRegularExpression::escape(labels.at(i)), outcomes.at(i)))),
                     qPrintable(table.at(i + 1)));
            QCOMPARE(transcript
                         .filter(QRegularExpression(
                             u"^%1  %2, "_s.arg(QRegularExpression::escape(labels.at(i)), outcomes.at(i))))
                         .size(),
                     1);
        }
        QVERIFY2(table.at(4).startsWith(u"3 units: 1 refused, 2 succeeded; "_s), qPrintable(table.at(4)));
        // The run's id last, for --failed-from.
        QVERIFY2(QRegularExpression(u"^run [0-9a-f]{12}$"_s).match(table.last()).hasMatch(),
                 qPrintable(table.last()));
        if (rows >= 10) {
            const QStringList shown = screen.screen();
            for (const QString& line : table)
                QVERIFY2(shown.contains(line), qPrintable(line));
        }

        // --verbose: the units' log lines stay above the live lines, which are cleared under them.
        const QStringList logLines = transcript.filter(QRegularExpression(u"^\\S+  \\| "_s));
        QCOMPARE(logLines.isEmpty(), !verbose);
        for (const QString& label : labels)
            QVERIFY(!verbose || !logLines.filter(label + u"  | Sending firmware..."_s).isEmpty());
        QVERIFY(screen.cleared().filter(u"  | "_s).isEmpty());
        QVERIFY(transcript.indexOf(TableHeader) > transcript.lastIndexOf(QRegularExpression(u"  \\| "_s)));
    }

    // Ctrl+C ends every update; the message, the ends and the summary are left on a clean screen.
    void interrupt()
    {
        const QString firmware = writeFile(u"long.hex"_s, HexFile::join(HexFile::plain(4000)));
        Units units;
        for (int i = 0; i < 3; ++i) {
            units.push_back(SimulatedUnits::listening());
            units.back()->setLatencyMs(2);
        }
        PtyProcess pty(100, 30);
        QVERIFY(pty.start(QStringLiteral(UPLOADER_CLI_TESTING), arguments(units, firmware)));
        QVERIFY(pty.waitForOutput(
            [](const QByteArray& output) {
                return output.contains(" sending ") && output.contains("3 running");
            },
            30000));
        QVERIFY(pty.type("\x03"));
        QVERIFY(pty.waitForExit(20000));
        QCOMPARE(pty.terminatingSignal(), 0);
        QCOMPARE(pty.exitCode(), 130);

        const QString output = QString::fromUtf8(pty.output());
        ScreenModel screen(100, 30);
        screen.feed(output);
        verifyCleanScreen(screen, output);
        if (QTest::currentTestFailed())
            return;
        const QStringList transcript = screen.transcript();
        QCOMPARE(transcript.filter(u"uploader-cli: interrupted: every update stopped"_s).size(), 1);
        const QStringList table = summaryTable(transcript);
        QVERIFY2(table.size() == 6, qPrintable(transcript.join(u'\n')));
        QVERIFY2(table.at(4).startsWith(u"3 units: 3 interrupted; "_s), qPrintable(table.at(4)));
        for (const auto& unit : units) {
            const QString label = SimulatedUnits::address(*unit);
            QVERIFY(
                table
                    .filter(QRegularExpression(u"^%1 +interrupted "_s.arg(QRegularExpression::escape(label))))
                    .size() == 1);
            QVERIFY(waitUntil([&] { return !unit->report().connections.last().open; }, 5000));
            QVERIFY(!unit->report().cumulative().imageComplete);
        }
    }

    // A name typed or read with control characters in it is shown in the program's escaped form.
    void namesAreEscaped()
    {
        const QString firmware = writeFile(u"fw\x1b[2J\x07.hex"_s, HexFile::join(HexFile::plain(10)));
        auto unit = SimulatedUnits::listening();
        const QByteArray address = SimulatedUnits::address(*unit).toUtf8();
        const QString unitFile = writeFile(u"units\x1b]0;title\x07.txt"_s, address + '\n' + address + '\n');
        PtyProcess pty(100, 30);
        QVERIFY(pty.start(QStringLiteral(UPLOADER_CLI_TESTING),
                          {u"--units"_s, unitFile, u"--expect-sha256"_s, QString(64, u'0'), firmware}));
        QVERIFY(pty.waitForExit(30000));
        QCOMPARE(pty.exitCode(), 3);

        const QString output = QString::fromUtf8(pty.output());
        ScreenModel screen(100, 30);
        screen.feed(output);
        QVERIFY2(screen.unexpected().isEmpty(), qPrintable(screen.unexpected().join(u"; "_s)));
        const QString shown = screen.transcript().join(u'\n');
        QVERIFY2(shown.contains(u"units\\033]0;title\\007.txt:2"_s), qPrintable(shown));
        QVERIFY2(shown.contains(u"fw\\033[2J\\007.hex: "_s), qPrintable(shown));
        QVERIFY(unit->report().connections.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TerminalDisplayTest)
#include "tst_terminal_display.moc"
