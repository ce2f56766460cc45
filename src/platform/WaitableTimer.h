#pragma once

// The one way a handler lets time pass: it blocks the caller while the event loop keeps
// dispatching window, timer and socket events, so the window stays alive and replies from the
// unit are handled during the wait.
//
// Every wait arms one shared single-shot timer. A wait started inside another (from an event
// handler that runs during the outer wait) re-arms it with its own due time; once it fires, every
// wait on the stack ends as control returns to it. An outer wait therefore ends right after any
// wait nested inside it, earlier or later than its own due time.
namespace WaitableTimer {

// Returns after ms milliseconds of program time (see TimeScale) and after the events pending by
// then have been dispatched. ms <= 0 dispatches pending events once and returns.
void Wait(int ms);

// Ends every wait on the stack and makes later waits return after a single dispatch; used when
// the program shuts down in the middle of an update so the handlers unwind at once.
void releaseAll();
bool released();

} // namespace WaitableTimer
