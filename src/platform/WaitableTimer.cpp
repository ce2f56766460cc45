#include "WaitableTimer.h"

#include "TimeScale.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

namespace {

struct SharedTimer
{
    QPointer<QTimer> timer;
    bool signalled = true;
    bool released = false;
};

SharedTimer& shared()
{
    static SharedTimer state;
    return state;
}

QTimer* sharedTimer()
{
    SharedTimer& state = shared();
    if (!state.timer) {
        // Parented to the application so it goes with it; a later application gets a new one.
        auto* timer = new QTimer(QCoreApplication::instance());
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, [] { shared().signalled = true; });
        state.timer = timer;
    }
    return state.timer;
}

void dispatchPending()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace

namespace WaitableTimer {

void Wait(int ms)
{
    SharedTimer& state = shared();
    if (ms <= 0 || state.released || !QCoreApplication::instance()) {
        dispatchPending();
        return;
    }
    QTimer* timer = sharedTimer();
    state.signalled = false;
    timer->start(TimeScale::toRealMs(ms));
    // Block in the event loop until something arrives; each wake-up dispatches what is pending
    // (including the timer's own event), then the shared flag tells whether the timer fired.
    while (!state.signalled && !state.released)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    dispatchPending();
}

void releaseAll()
{
    SharedTimer& state = shared();
    state.released = true;
    state.signalled = true;
    if (state.timer)
        state.timer->stop();
    // Wake a wait that is blocked in the event loop so it notices.
    if (auto* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [] {}, Qt::QueuedConnection);
}

bool released()
{
    return shared().released;
}

} // namespace WaitableTimer
