#include "TimeScale.h"
#include "WaitableTimer.h"

#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTest>
#include <QTimer>
#include <QWidget>

namespace {

class KeyRecorder : public QWidget
{
public:
    int keys = 0;

protected:
    void keyPressEvent(QKeyEvent*) override { ++keys; }
};

} // namespace

// These run at real time: the point is how long a wait really lasts.
class WaitableTimerTest : public QObject
{
    Q_OBJECT
private slots:
    void init() { TimeScale::set(1.0); }

    void waitLastsAtLeastItsTimeAndDispatchesPendingEvents()
    {
        bool dispatched = false;
        QMetaObject::invokeMethod(this, [&] { dispatched = true; }, Qt::QueuedConnection);
        QElapsedTimer clock;
        clock.start();
        WaitableTimer::Wait(30);
        QVERIFY(clock.elapsed() >= 30);
        QVERIFY(clock.elapsed() < 1000);
        QVERIFY(dispatched);
    }

    void nonPositiveWaitDispatchesOnceAndReturns()
    {
        bool dispatched = false;
        QMetaObject::invokeMethod(this, [&] { dispatched = true; }, Qt::QueuedConnection);
        QElapsedTimer clock;
        clock.start();
        WaitableTimer::Wait(0);
        QVERIFY(dispatched);
        dispatched = false;
        QMetaObject::invokeMethod(this, [&] { dispatched = true; }, Qt::QueuedConnection);
        WaitableTimer::Wait(-5);
        QVERIFY(dispatched);
        QVERIFY(clock.elapsed() < 500);
    }

    // An outer wait ends as soon as a wait nested inside it ends, whether that is before or
    // after the outer wait's own due time.
    void nestedWaitEndsTheOuterOne_data()
    {
        QTest::addColumn<double>("scale");
        QTest::addColumn<int>("innerMs");
        QTest::addColumn<int>("expectedMs");
        QTest::newRow("inner 100 ms ends a 2,000 ms wait at 600 ms") << 1.0 << 100 << 600;
        QTest::newRow("inner 3,666 ms keeps a 2,000 ms wait until 4,166 ms") << 0.1 << 3666 << 4166;
    }

    void nestedWaitEndsTheOuterOne()
    {
        QFETCH(double, scale);
        QFETCH(int, innerMs);
        QFETCH(int, expectedMs);
        TimeScale::set(scale);
        QTimer::singleShot(TimeScale::toRealMs(500), this, [innerMs] { WaitableTimer::Wait(innerMs); });
        QElapsedTimer clock;
        clock.start();
        WaitableTimer::Wait(2000);
        const qint64 realMs = clock.elapsed();
        const double expectedRealMs = expectedMs * scale;
        QVERIFY2(realMs >= expectedRealMs - 2, qPrintable(QString::number(realMs)));
        QVERIFY2(realMs < expectedRealMs + 150, qPrintable(QString::number(realMs)));
    }

    void keyPressDuringAWaitIsDispatchedAndDoesNotEndIt()
    {
        KeyRecorder widget;
        QTimer::singleShot(20, &widget, [&widget] {
            QCoreApplication::postEvent(&widget, new QKeyEvent(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a"));
        });
        QElapsedTimer clock;
        clock.start();
        WaitableTimer::Wait(150);
        QVERIFY(clock.elapsed() >= 150);
        QCOMPARE(widget.keys, 1);
    }
};

QTEST_MAIN(WaitableTimerTest)
#include "tst_waitabletimer.moc"
