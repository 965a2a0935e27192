#pragma once
// What every screen that takes money shares: how it ends.
//
// - A payment that was taken is a sale. The checkout runs exactly once, a
//   failure inside it is reported and the screen still ends as paid.
// - Every close that does not come from the screen's own success (a system
//   close of the window, reject(), the close button) takes one path: the
//   screen stops its work, waiting while it ends, and follows what the work
//   turned out to be: paid means the checkout, anything else cancel.
// - While money moves (a request on the main thread, the checkout) closes are
//   refused; once the screen has ended, nothing reopens the question.
// - Escape and Enter never act: they are keys of the scanner and of a stray
//   keyboard, and a money screen must not be skipped or abandoned by a key.

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>

class QCloseEvent;
class QKeyEvent;
class TSaleInProgress;

class TPaymentScreen : public QDialog {
  Q_OBJECT
 public:
  enum { mrOk = 1, mrCancel = 2 };

  // Set once the screen has ended for good, paid or not.
  bool unconditional_closing = false;
  bool checkoutRan() const { return checkout_ran_; }

 public slots:
  // A close from outside takes the close path.
  void reject() override;

 protected:
  explicit TPaymentScreen(QWidget* parent);
  ~TPaymentScreen() override;

  void keyPressEvent(QKeyEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

  // The close path (see above). Refused while closing, busy or ended.
  void FormClose();
  // Stops the screen's work for a close, processing events while it waits,
  // and answers whether the work turned out paid.
  virtual bool stopWork() = 0;
  // A close found the payment taken: the screen's success path, which ends
  // in finishPaid.
  virtual void paidWhileClosing() = 0;
  // A step after the payment failed: the local log and an information event.
  virtual void reportCheckoutFailure(const QString& text) = 0;

  // Runs checkout once and ends the screen with ok; later calls do nothing.
  void finishPaid(const std::function<void()>& checkout);
  // The screen shows its failure for ms, ignoring closes, then ends with
  // cancel.
  void cancelAfter(int ms);

  bool closing() const { return closing_; }
  // Closing or ended: hand-overs and keys that arrive now belong to nothing.
  bool ended() const { return closing_ || unconditional_closing; }
  bool busy() const { return busy_ > 0; }

  // Money moves while it lives: closes wait for it.
  class TBusy {
   public:
    explicit TBusy(TPaymentScreen& s) : s_(s) { ++s_.busy_; }
    ~TBusy() { --s_.busy_; }
    TBusy(const TBusy&) = delete;
    TBusy& operator=(const TBusy&) = delete;

   private:
    TPaymentScreen& s_;
  };

 private:
  void endWith(int r);

  bool closing_ = false;
  int busy_ = 0;
  bool checkout_ran_ = false;
  // The payment may be approved at any moment while the screen lives, and
  // its worker queues the sale's events then: a close of the program waits
  // for the screen, which it asks to take the close path.
  std::unique_ptr<TSaleInProgress> sale_;
};
