#include "screens/LoyalityCardSubmitThread.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "backoffice/JClient.h"
#include "kiosk/Main.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "screens/Recycle.h"

namespace {

// The submissions started and not yet ended; each leaves the list before it
// is deleted, under the lock, so a stop never reaches a deleted one.
std::mutex g_running_cs;
std::condition_variable g_running_cv;
std::vector<TLoyalityCardSubmitThread*> g_running;

}  // namespace

TLoyalityCardSubmitThread::TLoyalityCardSubmitThread(const TJClient& mainClient, qint64 vm,
                                                     TLoyalityCardInfo cardInfo,
                                                     TProductPositionArray cartPositions)
    : JClient(std::make_unique<TJClient>()),
      vm_id(vm),
      info(std::move(cardInfo)),
      positions(std::move(cartPositions)) {
  JClient->Assign(mainClient);
}

TLoyalityCardSubmitThread::~TLoyalityCardSubmitThread() = default;

void TLoyalityCardSubmitThread::Execute() {
  TClientInterrupt::Scope stoppable(stop_, JClient.get());
  TKernelAPI api(JClient.get());
  try {
    // With points written off the operation was registered before the
    // payment, and the copied card data already name it.
    if (cashback == 0)
      info = api.loyalityCardOperation(int(vm_id), card_no, amount, positions, kTimeout);
    api.loyalityCardSubmitOperation(int(vm_id), info, kTimeout);
  } catch (const std::exception& e) {
    if (log) log(QStringLiteral("TLoyalityCardSubmitThread: ") + exceptionMessage(e));
  }
  try {
    JClient->close();
  } catch (...) {
  }
}

void TLoyalityCardSubmitThread::start() {
  {
    std::lock_guard<std::mutex> lock(g_running_cs);
    g_running.push_back(this);
  }
  std::thread([this] {
    Execute();
    {
      std::lock_guard<std::mutex> lock(g_running_cs);
      std::erase(g_running, this);
      delete this;
    }
    g_running_cv.notify_all();
  }).detach();
}

bool TLoyalityCardSubmitThread::waitForAll(int64_t timeoutMs) {
  std::unique_lock<std::mutex> lock(g_running_cs);
  return plat::waitUntilMs(g_running_cv, lock,
                           plat::clock().nowMs() + std::max<int64_t>(0, timeoutMs),
                           [] { return g_running.empty(); });
}

bool TLoyalityCardSubmitThread::stopAll(int64_t timeoutMs) {
  {
    std::lock_guard<std::mutex> lock(g_running_cs);
    for (TLoyalityCardSubmitThread* t : g_running) t->stop_.interrupt();
  }
  return waitForAll(timeoutMs);
}

void createLoyalityCardSubmitThread(const QString& card_no, double amount, double cashback) {
  if (!fmMain || !fmMain->JClient) return;
  auto* t = new TLoyalityCardSubmitThread(
      *fmMain->JClient, fmMain->vm_id, fmMain->loyaltyCardInfo,
      fmRecycle ? fmRecycle->getProductPositions() : TProductPositionArray{});
  t->card_no = card_no;
  t->amount = amount;
  t->cashback = cashback;
  // The submission may outlive the main form: it holds the log itself.
  t->log = fmMain->logSink();
  t->start();
}
