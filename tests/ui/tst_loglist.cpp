// The log list holding changes back while records stream: whatever it holds back, the engine's
// questions get the answers the list widget would give, and once shown the widget ends as the
// same changes made one at a time would leave it.
#include "ui/LogList.h"

#include "WaitUntil.h"

#include <QListWidget>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

QStringList texts(const QListWidget& widget)
{
    QStringList lines;
    for (int i = 0; i < widget.count(); ++i)
        lines << widget.item(i)->text();
    return lines;
}

// The window's log as it was before changes were held back: every change at once.
struct DirectLog
{
    QListWidget widget;
    void append(const QString& line) { widget.addItem(line); }
    void removeFirst() { delete widget.takeItem(0); }
    void select(int row)
    {
        widget.setCurrentRow(row);
        if (QListWidgetItem* item = widget.item(row))
            widget.scrollToItem(item);
    }
};

} // namespace

class TestLogList : public QObject
{
    Q_OBJECT
private slots:
    void matchesTheWidgetChangedOneAtATime_data();
    void matchesTheWidgetChangedOneAtATime();
    void heldBackLinesReachTheWidgetInOrder();
    void heldBackLinesShowWithinAFrame();
    void endingCoalescingShowsEverythingAtOnce();
    void scrolledToTheLastLineLikeTheDirectLog();
};

void TestLogList::matchesTheWidgetChangedOneAtATime_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed : {1u, 2u, 3u, 17u, 4242u})
        QTest::addRow("seed %u", seed) << seed;
}

// Random runs of the engine's operations, with removals often reaching the first, current and
// only line: after every step the answers match, and after every showing the widgets match.
void TestLogList::matchesTheWidgetChangedOneAtATime()
{
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    DirectLog direct;
    QListWidget shown;
    LogList log(&shown);
    int lines = 0;
    for (int step = 0; step < 3000; ++step) {
        const int pick = random.bounded(100);
        if (pick < 40) {
            const QString line = QStringLiteral("line %1").arg(lines++);
            direct.append(line);
            log.append(line);
        } else if (pick < 70) {
            direct.removeFirst();
            log.removeFirst();
        } else if (pick < 88) {
            // Mostly the last line, as the engine does; sometimes the first, or none at all.
            const int count = direct.widget.count();
            const int choice = random.bounded(6);
            const int row = choice == 0 ? 0 : choice == 1 ? -1 : choice == 2 ? count : count - 1;
            direct.select(row);
            log.select(row);
        } else if (pick < 93) {
            log.setCoalescing(!log.isCoalescing());
        } else if (pick < 95) {
            direct.widget.clear();
            log.clear();
        } else {
            log.flush();
        }
        QCOMPARE(log.count(), direct.widget.count());
        QCOMPARE(log.currentRow(), direct.widget.currentRow());
        if (!log.hasPending()) {
            QCOMPARE(texts(shown), texts(direct.widget));
            QCOMPARE(shown.currentRow(), direct.widget.currentRow());
        }
    }
    log.flush();
    QCOMPARE(texts(shown), texts(direct.widget));
    QCOMPARE(shown.currentRow(), direct.widget.currentRow());
}

void TestLogList::heldBackLinesReachTheWidgetInOrder()
{
    QListWidget widget;
    widget.addItem(QStringLiteral("Sending firmware..."));
    LogList log(&widget);
    log.setCoalescing(true);
    // What a watcher of the log sees: every line inserted, when it is inserted.
    QStringList seen;
    connect(widget.model(), &QAbstractItemModel::rowsInserted, this, [&](const QModelIndex&, int first, int last) {
        for (int row = first; row <= last; ++row)
            seen << widget.item(row)->text();
    });
    for (const char* line : {"To Unit :10000000", "Writing 0000", "Wait 30mS..."})
        log.append(QString::fromLatin1(line));
    log.removeFirst();
    QCOMPARE(widget.count(), 1);
    QVERIFY(seen.isEmpty());

    log.flush();
    QCOMPARE(seen, (QStringList{u"To Unit :10000000"_s, u"Writing 0000"_s, u"Wait 30mS..."_s}));
    QCOMPARE(texts(widget), seen);
}

void TestLogList::heldBackLinesShowWithinAFrame()
{
    QListWidget widget;
    LogList log(&widget);
    log.setCoalescing(true);
    log.append(QStringLiteral("From Unit  FD 55 AA 00 00 00 00 00"));
    log.select(0);
    QCOMPARE(widget.count(), 0);
    QVERIFY(waitUntil([&] { return widget.count() == 1; }, 20 * LogList::FrameMs));
    QCOMPARE(widget.currentRow(), 0);
    QVERIFY(!log.hasPending());
}

void TestLogList::endingCoalescingShowsEverythingAtOnce()
{
    QListWidget widget;
    LogList log(&widget);
    log.setCoalescing(true);
    log.append(QStringLiteral("Ack"));
    log.setCoalescing(false);
    QCOMPARE(texts(widget), QStringList{u"Ack"_s});
    log.append(QStringLiteral("Upload complete."));
    QCOMPARE(texts(widget), (QStringList{u"Ack"_s, u"Upload complete."_s}));
}

void TestLogList::scrolledToTheLastLineLikeTheDirectLog()
{
    DirectLog direct;
    QListWidget shown;
    LogList log(&shown);
    for (QListWidget* widget : {&direct.widget, &shown}) {
        widget->setUniformItemSizes(true);
        widget->resize(200, 80);
        widget->show();
    }
    log.setCoalescing(true);
    // The engine's pattern at the line limit: lines in, the oldest out, the last one selected.
    for (int i = 0; i < 2000; ++i) {
        const QString line = QStringLiteral("To Unit :10%1").arg(i, 4, 16, QLatin1Char('0'));
        direct.append(line);
        log.append(line);
        if (direct.widget.count() > 500) {
            direct.removeFirst();
            log.removeFirst();
        }
        direct.select(direct.widget.count() - 1);
        log.select(log.count() - 1);
    }
    log.flush();
    QCoreApplication::processEvents();
    QCOMPARE(texts(shown), texts(direct.widget));
    QCOMPARE(shown.currentRow(), 499);
    QCOMPARE(shown.verticalScrollBar()->value(), direct.widget.verticalScrollBar()->value());
    QVERIFY(shown.viewport()->rect().contains(shown.visualItemRect(shown.item(499))));
}

QTEST_MAIN(TestLogList)
#include "tst_loglist.moc"
