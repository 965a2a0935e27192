#include "screens/PaymentThreads.h"

#include <QCoreApplication>
#include <QVariant>
#include <algorithm>
#include <chrono>

#include "devices/D200_Sberbank.h"
#include "devices/SberDevice.h"
#include "devices/Vendotek.h"
#include "kiosk/LogThread.h"
#include "kiosk/SaleRecord.h"
#include "platform/Clock.h"
#include "platform/Exception.h"

namespace {

QString messageOf(const std::exception& e) {
  if (auto* ex = dynamic_cast<const Exception*>(&e)) return ex->message();
  return QString::fromLocal8Bit(e.what());
}

void sleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

// ---- TPaymentThread ---------------------------------------------------------

TPaymentThread::TPaymentThread(const TCardPaymentSetup& setup,
                               const std::atomic<bool>& terminate_pay_process)
    : setup_(setup), terminate_(terminate_pay_process), thread_([this] { Execute(); }) {}

TPaymentThread::~TPaymentThread() {
  waitFor();
}

void TPaymentThread::waitFor() {
  if (thread_.joinable()) thread_.join();
}

void TPaymentThread::Execute() {
  try {
    takePayment();
    result_code_.store(0, std::memory_order_release);
    queueSaleEvents();
  } catch (const std::exception& e) {
    // After an approval nothing may turn the sale back into a failure.
    if (result_code_.load() != 0) {
      error_ = messageOf(e);
      if (setup_.events) setup_.events->add(evPaymentError, error_);
    } else if (setup_.log) {
      setup_.log(QStringLiteral("Sale events after an approval: ") + messageOf(e));
    }
  } catch (...) {
    if (result_code_.load() != 0) error_ = QStringLiteral("Unknown error.");
  }
  finished_.store(true, std::memory_order_release);
}

void TPaymentThread::takePayment() {
  const double amount = setup_.payment_amount;
  // Also catches NaN: a terminal must never be asked for nothing or less.
  if (!(amount > 0)) throw Exception(QString::fromUtf8(kBadPaymentAmount));
  if (setup_.pos_type == ptSber && setup_.sberPinPad) {
    setup_.sberPinPad->pay(amount, terminate_);
    return;
  }
  if (setup_.pos_type == ptVendotek && setup_.vendotek) {
    TVendotek& v = *setup_.vendotek;
    v.idleHandshake();
    v.startPayment(amount);
    while (v.paymentIsInProgress()) sleepMs(kPollMs);
    if (!v.paymentDone()) throw Exception(QString::fromUtf8(kPaymentFailed));
    return;
  }
  throw Exception(QStringLiteral("Оплата картой недоступна"));
}

void TPaymentThread::queueSaleEvents() {
  if (!setup_.events) return;
  const double coeff = setup_.discountCoeff;
  std::vector<TLogRecord> records;
  for (const TSaleLine& line : setup_.lines) {
    for (int unit = 0; unit < line.quantity; ++unit) {
      records.push_back(TLogThread::newRecord(evUnitSold, QString(), int(csCard),
                                              line.product.price * coeff, line.product.cell,
                                              line.product.nomenclature_id));
    }
  }
  recordSale(*setup_.events, std::move(records), setup_.saleCount);
}

// ---- TD200PinPadAbort -------------------------------------------------------

int TD200PinPadAbort::abort_operation(int timeoutMs) {
  struct Release {
    TD200Sberbank& pad;
    ~Release() { pad.close(); }
  } release{pad_};
  return pad_.abort_operation(timeoutMs);
}

// ---- TAbortThread -----------------------------------------------------------

TAbortThread::TAbortThread(const TCardPaymentSetup& setup)
    : setup_(setup), thread_([this] { Execute(); }) {}

TAbortThread::~TAbortThread() {
  if (thread_.joinable()) thread_.join();
}

void TAbortThread::log(const QString& text) const {
  if (setup_.log) setup_.log(text);
}

void TAbortThread::Execute() {
  log(QStringLiteral("TAbortThread.execute a"));
  if (setup_.sberPinPad) {
    try {
      setup_.sberPinPad->abort_operation();
    } catch (const std::exception& e) {
      log(QStringLiteral("TAbortThread: ") + messageOf(e));
    }
  }
  if (setup_.pinPad) {
    plat::Clock& clock = plat::clock();
    const int64_t deadline = clock.nowMs() + kLimitMs;
    for (int i = 0; i < kAttempts; ++i) {
      const int64_t left = deadline - clock.nowMs();
      if (left <= 0) break;
      attempts_.fetch_add(1);
      log(QStringLiteral("TAbortThread.execute c"));
      try {
        pad_answer_ = setup_.pinPad->abort_operation(int(left));
        log(QStringLiteral("TAbortThread.execute d %1").arg(pad_answer_.load()));
        break;
      } catch (const std::exception& e) {
        log(QStringLiteral("TAbortThread: ") + messageOf(e));
      }
      clock.sleepMs(std::min(kRetryPauseMs, std::max<int64_t>(0, deadline - clock.nowMs())));
    }
  }
  finished_.store(true, std::memory_order_release);
}

// ---- TCardPayment -----------------------------------------------------------

TCardPayment::TCardPayment(TCardPaymentSetup setup) : setup_(std::move(setup)) {}

TCardPayment::~TCardPayment() = default;

void TCardPayment::start() {
  if (thread_) return;
  thread_ = std::make_unique<TPaymentThread>(setup_, terminate_pay_process);
}

void TCardPayment::close(const std::function<void()>& pump) {
  if (!thread_) return;
  if (!thread_->finished()) {
    // Only the Sberbank terminal has anything to abort: the bridge watches
    // for the marker, and the pad has its own command. The Vendotek driver
    // ends a payment by itself after the terminal's operation time-out.
    if (setup_.pos_type == ptSber) {
      abort_tried_ = true;
      TAbortThread abort(setup_);
      while (!abort.finished()) {
        if (pump) pump();
        sleepMs(kWaitStepMs);
      }
      if (setup_.log) setup_.log(QStringLiteral("abortThread.Finished"));
    }
    while (!thread_->finished()) {
      if (pump) pump();
      sleepMs(kWaitStepMs);
    }
  }
  thread_->waitFor();
}

bool TCardPayment::takeCheckout() {
  if (checkout_taken_ || !finished() || !approved()) return false;
  checkout_taken_ = true;
  return true;
}

QString TCardPayment::failureText() const {
  QString text = thread_ ? thread_->error() : QString();
  if (text.isEmpty()) {
    const int code = thread_ ? thread_->result_code() : TPaymentThread::kNotApproved;
    text = QStringLiteral("Ошибка ") + QString::number(code);
  }
  return cutAtFirstDot(text);
}

QString TCardPayment::cutAtFirstDot(const QString& text) {
  const qsizetype dot = text.indexOf(u'.');
  return dot < 0 ? text : text.left(dot);
}

bool TCardPayment::showsSecondLine(const QString& cutText) {
  return cutText != QString::fromUtf8(kPaymentFailed);
}
