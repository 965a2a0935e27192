#pragma once
// Hand-over of work from a worker thread to the GUI (main) thread.

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <atomic>
#include <functional>

namespace plat {

// Queues fn on the main thread and returns at once.
void postToMain(std::function<void()> fn);

// Runs fn on the main thread and waits for it. On the main thread it runs fn
// directly. Returns false without running fn when `stop` becomes true before
// the main thread picked the work up, so that a worker being stopped never
// blocks a GUI thread that is waiting for it.
bool runOnMain(std::function<void()> fn, const std::atomic<bool>* stop = nullptr);

bool isMainThread();

}  // namespace plat
