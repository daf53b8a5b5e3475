#pragma once

#include <functional>

class QObject;

// Hands work to the main thread's event loop (the application object's thread).
namespace MainThread {

bool isMainThread();

// Runs fn on the main thread. Without wait it is queued and the call returns
// at once; with wait the caller blocks until fn has run. Called on the main
// thread itself, a waiting call runs fn directly.
void perform(std::function<void()> fn, bool wait = false);

// As above, but a queued call is dropped when context is destroyed first, so
// work handed over by a worker never runs against an object that is gone.
void perform(QObject* context, std::function<void()> fn, bool wait = false);

// Runs fn on the main thread once, after the delay.
void performAfter(int milliseconds, std::function<void()> fn);

} // namespace MainThread
