#include "screens/SaleScreenHooks.h"

#include <algorithm>
#include <cstdint>

#include "kiosk/KioskHooks.h"
#include "kiosk/Main.h"
#include "platform/Clock.h"
#include "screens/BarcodeKeypad.h"
#include "screens/Gratitude.h"
#include "screens/LoyalityCardSubmitThread.h"
#include "screens/Recycle.h"
#include "screens/ReviseTotals.h"

namespace {

// The sale screens as the kiosk core opens them.
class TSaleScreenHooks : public IKioskHooks {
 public:
  int openCart(bool show_drink_form) override { return ::openCart(show_drink_form); }
  void openReviseTotals() override { ::openReviseTotals(); }
  std::optional<TProduct> openBarcodeKeypad() override { return ::openBarcodeKeypad(); }
};

}  // namespace

void registerSaleScreens() {
  msSinceLastUserInput();  // the input watch must see input from the start
  static TSaleScreenHooks hooks;
  installKioskHooks(&hooks);
  // Loyalty submissions and fiscal checks left to the background write to
  // the main form's log: the form must outlive them. They run side by side,
  // so one grace covers both; then those still running are broken off, so
  // that the close, and with it an update's hand-over, stays in its budget.
  TfmMain::waitForSaleWorkers = [](const TCloseBudget& budget) {
    const int64_t graceEnd = plat::clock().nowMs() + budget.saleWorkersGraceMs;
    const bool submitted = TLoyalityCardSubmitThread::waitForAll(budget.saleWorkersGraceMs);
    const bool checked =
        TCheckCreationThread::waitForAll(std::max<int64_t>(0, graceEnd - plat::clock().nowMs()));
    if (submitted && checked) return;
    const int64_t stopEnd = plat::clock().nowMs() + budget.saleWorkersStopMs;
    if (!submitted) {
      if (fmMain)
        fmMain->log(QStringLiteral("Передача операций по картам лояльности не завершилась"));
      TLoyalityCardSubmitThread::stopAll(budget.saleWorkersStopMs);
    }
    if (!checked) {
      if (fmMain) fmMain->log(QStringLiteral("Формирование кассовых чеков не завершилось"));
      TCheckCreationThread::stopAll(std::max<int64_t>(0, stopEnd - plat::clock().nowMs()));
    }
  };
}
