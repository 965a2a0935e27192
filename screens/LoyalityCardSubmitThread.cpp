#include "screens/LoyalityCardSubmitThread.h"

#include "backoffice/JClient.h"
#include "kiosk/EventSink.h"
#include "kiosk/LogThread.h"
#include "kiosk/Main.h"
#include "platform/Exception.h"
#include "screens/Recycle.h"
#include "screens/SaleWorkers.h"

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
    const QString message = exceptionMessage(e);
    if (log) log(QStringLiteral("TLoyalityCardSubmitThread: ") + message);
    // The purchase never reaches the loyalty service and nobody sends it
    // again, whether the close broke it off or it failed on its own: the back
    // office must learn of it, from this copy, before a new one takes over.
    // Nothing is resent here: a request whose answer was lost may have been
    // carried out, and a second one could count the purchase twice.
    // A request that went out whole and got no answer of the back office's
    // own may have been carried out: whoever reads the event must not carry
    // it out a second time on the word "not passed".
    const bool answerLost = JClient->requestSent() && !dynamic_cast<const EServerError*>(&e);
    if (events)
      events->add(
          evInformation,
          undoneText(stopRequested_ ? TSaleWorkers::closingMessage() : message, answerLost));
  }
  try {
    JClient->close();
  } catch (...) {
  }
}

QString TLoyalityCardSubmitThread::undoneText(const QString& reason, bool answerLost) const {
  // What someone needs to carry the operation out by hand: the card, the
  // amount, the points written off, and those the purchase earns as far as
  // this thread learned them (from the operation, or the card read before).
  auto points = [](double x) {
    QString t = QString::number(x, 'f', 2);
    if (t.endsWith(QLatin1String(".00"))) t.chop(3);
    return t;
  };
  return (answerLost
              ? QStringLiteral("Не получен ответ на операцию по карте лояльности %1 на сумму %2 "
                               "руб., списано баллов: %3, баллов к начислению: %4 (%5): запрос "
                               "отправлен, операция могла быть проведена.")
              : QStringLiteral("Не удалось передать операцию по карте лояльности %1 на сумму %2 "
                               "руб., списано баллов: %3, баллов к начислению: %4 (%5)."))
      .arg(card_no, QString::number(amount, 'f', 2), points(cashback),
           points(info.cashback.will_add), reason);
}

void TLoyalityCardSubmitThread::requestStop() {
  stopRequested_ = true;
  stop_.interrupt();
}

TSaleWorkers& TLoyalityCardSubmitThread::running() {
  // Made with the first submission, so it goes at the program's exit before
  // anything that existed by then; a submission still running is stopped
  // and joined first.
  static TSaleWorkers submissions;
  return submissions;
}

void TLoyalityCardSubmitThread::start(std::unique_ptr<TLoyalityCardSubmitThread> submission) {
  std::shared_ptr<TLoyalityCardSubmitThread> t(std::move(submission));
  running().start([t] { t->Execute(); }, [t] { t->requestStop(); });
}

bool TLoyalityCardSubmitThread::waitForAll(int64_t timeoutMs) {
  return running().waitForAll(timeoutMs);
}

bool TLoyalityCardSubmitThread::stopAll(int64_t timeoutMs) {
  running().requestStopAll();
  return running().waitForAll(timeoutMs);
}

void createLoyalityCardSubmitThread(const QString& card_no, double amount, double cashback) {
  if (!fmMain || !fmMain->JClient) return;
  auto t = std::make_unique<TLoyalityCardSubmitThread>(
      *fmMain->JClient, fmMain->vm_id, fmMain->loyaltyCardInfo,
      fmRecycle ? fmRecycle->getProductPositions() : TProductPositionArray{});
  t->card_no = card_no;
  t->amount = amount;
  t->cashback = cashback;
  // The submission may outlive the main form: it holds the sinks themselves.
  t->log = fmMain->logSink();
  t->events = fmMain->eventGate();
  TLoyalityCardSubmitThread::start(std::move(t));
}
