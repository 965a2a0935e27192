#include "platform/MainThread.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace plat {

bool isMainThread() {
  auto* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

void postToMain(std::function<void()> fn) {
  auto* app = QCoreApplication::instance();
  if (!app) return;
  QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

bool runOnMain(std::function<void()> fn, const std::atomic<bool>* stop) {
  if (isMainThread()) {
    fn();
    return true;
  }
  struct Handover {
    std::mutex m;
    std::condition_variable cv;
    bool taken = false;    // main thread started or refused the work
    bool done = false;
    bool refused = false;  // the caller gave up before the main thread took it
  };
  auto h = std::make_shared<Handover>();
  postToMain([h, fn = std::move(fn)] {
    {
      std::lock_guard lk(h->m);
      if (h->refused) return;
      h->taken = true;
    }
    fn();
    std::lock_guard lk(h->m);
    h->done = true;
    h->cv.notify_all();
  });
  std::unique_lock lk(h->m);
  while (!h->done) {
    if (!h->taken && stop && stop->load()) {
      h->refused = true;
      return false;
    }
    h->cv.wait_for(lk, std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace plat
