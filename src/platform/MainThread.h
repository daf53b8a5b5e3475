#pragma once

#include <functional>

// Hands work to the main thread's event loop (the application object's thread).
namespace MainThread {

bool isMainThread();

// Runs fn on the main thread. Without wait it is queued and the call returns
// at once; with wait the caller blocks until fn has run. Called on the main
// thread itself, a waiting call runs fn directly.
void perform(std::function<void()> fn, bool wait = false);

// Runs fn on the main thread once, after the delay.
void performAfter(int milliseconds, std::function<void()> fn);

} // namespace MainThread
