// A close that comes while a paid sale's screens are open: the shutdown
// signal's handler runs inside the cup confirmation's nested event loop. The
// close must not run there: the confirmation ends, the sale's fiscal check
// starts at once, and the close then runs from the top, its grace covering
// the check, which a back office with a cash register takes a moment to make.
// Every event of the sale is queued while the kiosk still holds its one-copy
// lock, and the drink the close kept from being made is reported.

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "backoffice/JClient.h"
#include "kiosk/EventSink.h"
#include "kiosk/Main.h"
#include "kiosk/TouchButton.h"
#include "platform/SingleInstance.h"
#include "platform/TextCodec.h"
#include "screens/Checkout.h"
#include "screens/Confirmation.h"
#include "screens/PaymentMethod.h"
#include "screens/PaymentScreen.h"
#include "screens/SaleScreenHooks.h"
#include "support/LockWatchingSink.h"
#include "support/SaleScreenTestKit.h"
#include "support/WaitUntil.h"
#include "support/WhenShown.h"
#include "testbed/SimHandlers.h"

namespace {

using testkit::LockWatchingSink;

// The main form shown, its configuration cycle stopped and its events going
// to sink; its close asks for no password.
void showForm(TfmMain& form, IEventSink& sink) {
  form.show();
  form.tmConfig->stop();
  form.logThread = &sink;
  form.check_password_on_exit = false;
}

TEST(SaleClose, ACloseAtTheCupConfirmationWaitsForTheSaleAndItsCheck) {
  registerSaleScreens();
  testkit::KioskEnvironment env;
  QTemporaryDir officeDir;
  {
    QFile ini(env.data.filePath(QStringLiteral("vekta.ini")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(plat::toAnsi(QStringLiteral("[global]\r\ncreate_checks=1\r\n")));
  }
  // The back office holds the check's requests until the close has begun.
  sim::BackofficeSim office(officeDir.filePath(QStringLiteral("bo.sqlite")), true);
  office.start();
  TJClient client;
  testkit::connectToSim(client, office);
  office.setStalled(true);
  LockWatchingSink sink;
  sink.onEvent = [&](int id) {
    if (id == 33) office.setStalled(false);
  };

  const TCheckoutSale sale = testkit::cappuccinoSale();

  bool confirmationShown = false;
  {
    TfmMain form;
    ASSERT_FALSE(form.terminateRequested());
    showForm(form, sink);
    form.JClient->Assign(client);
    form.vm_id = 1;
    form.carimali_machine = true;

    // SIGTERM's handler, inside the confirmation's own event loop.
    testkit::whenShown<TfmConfirmation>(
        [&](TfmConfirmation*) {
          confirmationShown = true;
          form.shutdownClose();
        },
        20000);
    QTimer::singleShot(0, [&] { runKioskCheckout(sale, false); });
    TKioskApplication::run();
    form.closeIfPending();  // as the program's entry does

    EXPECT_FALSE(form.closePending());
    plat::SingleInstanceLock successor(QLatin1String(TfmMain::kInstanceName));
    EXPECT_TRUE(successor.tryLock()) << "the kiosk did not close";
    successor.unlock();
    office.setStalled(false);
  }

  EXPECT_TRUE(confirmationShown);
  EXPECT_EQ(office.db()
                .select(QStringLiteral("select count(*) from tbFiscalCheck"))
                .rows.value(0)
                .value(0)
                .toInt(),
            1)
      << "the paid sale has no fiscal check";
  std::vector<std::string> information;
  bool closed = false;
  for (const auto& e : sink.all()) {
    EXPECT_TRUE(e.underLock) << "after the lock went: " << e.id << " " << e.text.toStdString();
    if (e.id == 1) information.push_back(e.text.toStdString());
    if (e.id == 33) closed = true;
  }
  EXPECT_TRUE(closed);
  EXPECT_EQ(
      information,
      (std::vector<std::string>{
          "Оплаченный напиток \"Капучино\" на сумму 120 ₽ не "
          "приготовлен: "
          "программа завершилась. Требуется возврат денег."}));
  // Nothing of the sale was turned away by a shut gate.
  QFile log(env.data.filePath(QStringLiteral("vekta.log")));
  ASSERT_TRUE(log.open(QIODevice::ReadOnly));
  EXPECT_FALSE(QString::fromUtf8(log.readAll()).contains(QStringLiteral("не поставлен")));
}

// A payment screen whose worker may approve at any moment: the close asks it
// to take its close path (stop the work, follow what it turned out to be)
// and runs only once the screen has ended, never while the payment's worker
// may still queue the sale's events.
class FakePaymentScreen : public TPaymentScreen {
 public:
  explicit FakePaymentScreen(std::vector<std::string>& order)
      : TPaymentScreen(nullptr), order_(order) {}

 protected:
  bool stopWork() override {
    order_.push_back("payment stopped");
    return false;
  }
  void paidWhileClosing() override {}
  void reportCheckoutFailure(const QString&) override {}

 private:
  std::vector<std::string>& order_;
};

TEST(SaleClose, ACloseDuringAPaymentWaitsForItsScreen) {
  registerSaleScreens();
  testkit::KioskEnvironment env;
  std::vector<std::string> order;
  LockWatchingSink sink;
  sink.onEvent = [&](int id) {
    if (id == 33) order.push_back("close");
  };
  {
    TfmMain form;
    ASSERT_FALSE(form.terminateRequested());
    showForm(form, sink);
    {
      FakePaymentScreen screen(order);
      QTimer::singleShot(0, [&] { form.shutdownClose(); });
      // A screen the close never asked to end is ended here, so that the
      // case fails instead of waiting.
      QTimer::singleShot(10000, &screen, [&] { screen.done(0); });
      EXPECT_EQ(screen.exec(), TPaymentScreen::mrCancel);
    }
    EXPECT_TRUE(testkit::waitUntil([&] { return !form.isVisible(); }, std::chrono::seconds(10)));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"payment stopped", "close"}));
}

// The main thread's own events pass the gate as the workers' do: a button
// pressed on a screen still unwinding from the close is not numbered after
// the lock went.
TEST(SaleClose, PressFeedbackAfterTheCloseIsNotQueued) {
  registerSaleScreens();
  testkit::KioskEnvironment env;
  LockWatchingSink sink;
  {
    TfmMain form;
    ASSERT_FALSE(form.terminateRequested());
    showForm(form, sink);
    form.close();
    TRectangle button;
    button.setHint(QStringLiteral("Приготовление"));
    form.buttonPressed(&button);
  }
  for (const auto& e : sink.all()) {
    EXPECT_TRUE(e.underLock) << "after the lock went: " << e.id << " " << e.text.toStdString();
    EXPECT_NE(e.id, 42) << e.text.toStdString();
  }
}

}  // namespace
