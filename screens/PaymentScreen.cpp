#include "screens/PaymentScreen.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QTimer>

#include "kiosk/Main.h"
#include "platform/Exception.h"

TPaymentScreen::TPaymentScreen(QWidget* parent)
    : QDialog(parent), sale_(std::make_unique<TSaleInProgress>()) {
  // Not inside the main form's close request: the close path may wait for
  // the work to stop, and that request may come from any nested loop.
  if (fmMain)
    connect(
        fmMain, &TfmMain::closeRequested, this,
        [this] {
          if (!ended()) FormClose();
        },
        Qt::QueuedConnection);
}

TPaymentScreen::~TPaymentScreen() = default;

void TPaymentScreen::keyPressEvent(QKeyEvent* e) {
  e->accept();
}

void TPaymentScreen::reject() {
  FormClose();
}

void TPaymentScreen::closeEvent(QCloseEvent* e) {
  if (unconditional_closing) {
    e->accept();
    return;
  }
  // The close is ours to finish: the screen ends through done().
  e->ignore();
  FormClose();
}

void TPaymentScreen::FormClose() {
  if (ended() || busy()) return;
  closing_ = true;
  const bool paid = stopWork();
  // Events were processed while the work stopped: a hand-over taken before
  // the stop may have run the checkout and ended the screen meanwhile.
  if (unconditional_closing) return;
  if (paid && !checkout_ran_) {
    paidWhileClosing();
    if (unconditional_closing) return;
  }
  endWith(mrCancel);
}

void TPaymentScreen::finishPaid(const std::function<void()>& checkout) {
  if (checkout_ran_) return;
  checkout_ran_ = true;
  {
    TBusy busy(*this);
    QString failure;
    try {
      if (checkout) checkout();
    } catch (const std::exception& e) {
      failure = exceptionMessage(e);
    } catch (...) {
      failure = QStringLiteral("Unknown error.");
    }
    // The money is taken: a failing step after it is reported, but the sale
    // stays paid, so the customer is never asked to pay again.
    if (!failure.isEmpty()) reportCheckoutFailure(failure);
  }
  endWith(mrOk);
}

void TPaymentScreen::cancelAfter(int ms) {
  closing_ = true;
  // The screen keeps painting while the failure shows.
  QTimer::singleShot(ms, this, [this] {
    if (!unconditional_closing) endWith(mrCancel);
  });
}

void TPaymentScreen::endWith(int r) {
  unconditional_closing = true;
  closing_ = false;
  QDialog::done(r);
}
