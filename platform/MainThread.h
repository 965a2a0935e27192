#pragma once
// Hand-over of work from a worker thread to the GUI (main) thread.

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <atomic>
#include <functional>

namespace plat {

// Queues fn on the thread that `receiver` lives in and returns at once. fn
// runs from that thread's event loop, or never when receiver is deleted first.
// Use this, not a queued QMetaObject::invokeMethod, to hand work to another
// thread: it tells ThreadSanitizer that what the caller did before happens
// before fn (Qt's own queue is invisible to it).
void postTo(QObject* receiver, std::function<void()> fn);

// Queues fn on the main thread and returns at once.
void postToMain(std::function<void()> fn);

// Runs fn on the main thread and waits for it. On the main thread it runs fn
// directly. Returns false without running fn when `stop` becomes true before
// the main thread picked the work up, so that a worker being stopped never
// blocks a GUI thread that is waiting for it.
bool runOnMain(std::function<void()> fn, const std::atomic<bool>* stop = nullptr);

bool isMainThread();

}  // namespace plat
