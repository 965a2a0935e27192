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
#include "screens/SaleWorkers.h"

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
  // The workers of sales already paid get the budget's grace to finish on
  // their own; they run side by side, so one grace covers both. Then those
  // still running are broken off, each reporting its work undone, and the
  // close waits for the last of them to end: none may outlive the one-copy
  // lock, since a new copy may be numbering events in the same folder then.
  TfmMain::waitForSaleWorkers = [](const TCloseBudget& budget) {
    TSaleWorkers& submissions = TLoyalityCardSubmitThread::running();
    TSaleWorkers& checks = TCheckCreationThread::running();
    const int64_t graceEnd = plat::clock().nowMs() + budget.saleWorkersGraceMs;
    const bool submitted = submissions.waitForAll(budget.saleWorkersGraceMs);
    const bool checked = checks.waitForAll(std::max<int64_t>(0, graceEnd - plat::clock().nowMs()));
    if (submitted && checked) return;
    auto log = [](const QString& text) {
      if (fmMain) fmMain->log(text);
    };
    if (!submitted) log(QStringLiteral("Передача операций по картам лояльности не завершилась"));
    if (!checked) log(QStringLiteral("Формирование кассовых чеков не завершилось"));
    // Both at once: each wind-down is a back-office call broken off.
    submissions.requestStopAll();
    checks.requestStopAll();
    const int64_t stopEnd = plat::clock().nowMs() + budget.saleWorkersStopMs;
    const bool stopped = submissions.waitForAll(budget.saleWorkersStopMs) &&
                         checks.waitForAll(std::max<int64_t>(0, stopEnd - plat::clock().nowMs()));
    if (stopped) return;
    log(QStringLiteral("Работа по оплаченным продажам не прервалась за %1 мс; завершение ждёт её")
            .arg(budget.saleWorkersStopMs));
    submissions.joinAll();
    checks.joinAll();
  };
}
