#include "screens/LoyalityCardSubmitThread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "backoffice/JClient.h"
#include "kiosk/Main.h"
#include "platform/Exception.h"
#include "screens/Recycle.h"

namespace {

std::mutex g_running_cs;
std::condition_variable g_running_cv;
int g_running = 0;

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
    ++g_running;
  }
  std::thread([this] {
    Execute();
    delete this;
    std::lock_guard<std::mutex> lock(g_running_cs);
    --g_running;
    g_running_cv.notify_all();
  }).detach();
}

bool TLoyalityCardSubmitThread::waitForAll(int timeoutMs) {
  std::unique_lock<std::mutex> lock(g_running_cs);
  return g_running_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [] { return g_running == 0; });
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
