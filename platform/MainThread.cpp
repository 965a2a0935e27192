#include "platform/MainThread.h"

#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/TsanAnnotations.h"

namespace plat {

namespace {

// The closure as it travels through Qt's event queue. Qt moves it into its
// call event on the posting thread and runs it on the receiver's; it frees it
// on whichever of the two lets go of it last, the poster's included. Every
// move ends by publishing what the poster did so far, the last move too, which
// fills Qt's event; the run picks that up before it touches the closure and
// publishes what it did in turn; the free picks up both, whether the closure
// ran or Qt dropped it unrun.
class PostedClosure {
 public:
  explicit PostedClosure(std::function<void()> fn) : fn_(std::move(fn)) { tsanRelease(this); }
  PostedClosure(PostedClosure&& other) noexcept : fn_(std::move(other.fn_)) { tsanRelease(this); }
  PostedClosure& operator=(PostedClosure&&) = delete;
  ~PostedClosure() { tsanAcquire(this); }

  void operator()() {
    tsanAcquire(this);
    struct Publish {
      const void* at;
      ~Publish() { tsanRelease(at); }
    } publish{this};
    if (fn_) fn_();
  }

 private:
  std::function<void()> fn_;
};

}  // namespace

bool isMainThread() {
  auto* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

void postTo(QObject* receiver, std::function<void()> fn) {
  if (!receiver) return;
  QMetaObject::invokeMethod(receiver, PostedClosure(std::move(fn)), Qt::QueuedConnection);
}

void postToMain(std::function<void()> fn) {
  postTo(QCoreApplication::instance(), std::move(fn));
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
