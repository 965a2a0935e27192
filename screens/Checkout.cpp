#include "screens/Checkout.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSoundEffect>
#include <QUrl>

#include "devices/PaymentModule.h"
#include "kiosk/FormServices.h"
#include "kiosk/LogThread.h"
#include "kiosk/Main.h"
#include "kiosk/SaleRecord.h"
#include "platform/Exception.h"
#include "screens/Confirmation.h"
#include "screens/LoyalityCardSubmitThread.h"

int creditSourceOf(TPaymentMethod method) {
  switch (method) {
    case TPaymentMethod::Card:
      return csCard;
    case TPaymentMethod::SBP:
      return csSBP;
    case TPaymentMethod::YandexBadge:
      return csYandexBadge;
    case TPaymentMethod::IdentityCard:
      return csIdentityCard;
  }
  return csCard;
}

TCounterKind counterKindOf(TPaymentMethod method) {
  switch (method) {
    case TPaymentMethod::Card:
      return ckCard;
    case TPaymentMethod::SBP:
      return ckSBP;
    case TPaymentMethod::YandexBadge:
    case TPaymentMethod::IdentityCard:
      return ckYandexBadge;
  }
  return ckCard;
}

namespace {

bool discountedMethod(TPaymentMethod m) {
  return m == TPaymentMethod::Card || m == TPaymentMethod::SBP;
}

}  // namespace

std::vector<TSaleEvent> saleEvents(const TCheckoutSale& sale) {
  std::vector<TSaleEvent> out;
  const bool discounted = discountedMethod(sale.method);
  const double coeff = discounted ? sale.discountCoeff : 1.0;
  for (const TSelectedGood& line : sale.lines) {
    for (int unit = 0; unit < line.quantity; ++unit) {
      TSaleEvent e;
      e.creditSource_id = creditSourceOf(sale.method);
      e.amount = line.product.price * coeff;
      e.cell = line.product.cell;
      e.nomenclature_id = line.product.nomenclature_id;
      if (sale.method == TPaymentMethod::SBP) {
        e.loyaltySystem_id = sale.loyaltySystem_id;
        if (sale.loyaltyCardActive) e.loayalty_card_no = sale.loyaltyCardNo;
        e.discount = line.product.price * (1 - coeff);
      } else if (sale.method == TPaymentMethod::IdentityCard) {
        e.cardProject_id = sale.cardProject_id;
        e.card_no = sale.card_no;
      }
      out.push_back(e);
    }
  }
  return out;
}

double counterDiscountOf(const TCheckoutSale& sale) {
  return discountedMethod(sale.method) ? sale.cashback + sale.discount : 0.0;
}

TGratitudeSetup gratitudeSetupOf(const TCheckoutSale& sale) {
  TGratitudeSetup g;
  if (sale.method == TPaymentMethod::YandexBadge || sale.method == TPaymentMethod::IdentityCard)
    g.disable_check_creation = true;
  if (sale.method == TPaymentMethod::IdentityCard)
    g.balance_message = QStringLiteral("Баланс карты: ") +
                        TFormServices::formatAmount(sale.final_balance) + QStringLiteral(" ₽");
  return g;
}

std::vector<TCounterLine> counterLinesOf(const std::vector<TSelectedGood>& lines) {
  std::vector<TCounterLine> counted;
  for (const TSelectedGood& g : lines)
    counted.push_back({g.product.isSnack, g.product.cell, g.quantity, g.product.price});
  return counted;
}

QStringList saleCountOf(const TCheckoutSale& sale) {
  return saleCountDelta(counterLinesOf(sale.lines), counterKindOf(sale.method),
                        counterDiscountOf(sale));
}

QString keptDrinkText(const TProduct& drink, const TCheckoutSale& sale) {
  const double coeff = discountedMethod(sale.method) ? sale.discountCoeff : 1.0;
  return QStringLiteral(
             "Оплаченный напиток \"%1\" на сумму %2 ₽ не "
             "приготовлен: "
             "программа завершилась. Требуется возврат денег.")
      .arg(drink.name, TFormServices::formatAmount(drink.price * coeff));
}

QString checkoutErrorText(const QString& step, const QString& message) {
  return QStringLiteral("Ошибка после оплаты (%1): %2").arg(step, message);
}

void ICheckoutSteps::queueSale(const std::vector<TSaleEvent>& events, const QStringList&) {
  // One lost event must not take the other units' events with it.
  for (const TSaleEvent& e : events) {
    try {
      queueSaleEvent(e);
    } catch (const std::exception& ex) {
      stepFailed(checkoutErrorText(QStringLiteral("sale event"), exceptionMessage(ex)));
    }
  }
}

void runCheckout(const TCheckoutSale& sale, ICheckoutSteps& steps, bool saleEventsQueued) {
  // Each step stands alone: the money is taken, so a failure must neither
  // skip what follows nor turn the sale into a cancel.
  auto guarded = [&](const char* step, auto&& fn) {
    try {
      fn();
    } catch (const std::exception& e) {
      try {
        steps.stepFailed(checkoutErrorText(QLatin1String(step), exceptionMessage(e)));
      } catch (...) {
      }
    } catch (...) {
      try {
        steps.stepFailed(checkoutErrorText(QLatin1String(step), QStringLiteral("unknown error")));
      } catch (...) {
      }
    }
  };

  if (!saleEventsQueued)
    guarded("sale event", [&] { steps.queueSale(saleEvents(sale), saleCountOf(sale)); });
  guarded("counters", [&] {
    steps.updateCounters(sale.lines, counterKindOf(sale.method), counterDiscountOf(sale));
  });
  guarded("payment module", [&] {
    if (!steps.drinkAfterPayment()) return;
    for (const TSelectedGood& line : sale.lines) {
      if (line.product.isSnack) continue;
      for (int unit = 0; unit < line.quantity; ++unit) {
        // A unit the module refuses three times is skipped: the machine's
        // own payment record is lost then, not the sale. The customer paid
        // for a drink the machine may not pour, so the operator is told.
        QString lastError;
        bool credited = false;
        for (int attempt = 0; attempt < kPaymentModuleTries && !credited; ++attempt) {
          try {
            steps.paymentModuleAddProduct(line.product.cell);
            credited = true;
          } catch (const std::exception& e) {
            lastError = exceptionMessage(e);
          } catch (...) {
            lastError = QStringLiteral("unknown error");
          }
        }
        if (!credited) {
          try {
            steps.stepFailed(checkoutErrorText(
                QStringLiteral("payment module, cell %1").arg(line.product.cell), lastError));
          } catch (...) {
          }
        }
      }
    }
  });
  if (discountedMethod(sale.method) && sale.loyaltyCardActive) {
    guarded("loyalty",
            [&] { steps.submitLoyalty(sale.loyaltyCardNo, sale.payment_amount, sale.cashback); });
  }
  guarded("sound", [&] { steps.playSound(QStringLiteral("payment_ok.wav")); });
  guarded("drinks", [&] {
    if (!steps.carimaliMachine()) return;
    for (const TSelectedGood& line : sale.lines) {
      if (line.product.isSnack) continue;
      for (int unit = 0; unit < line.quantity; ++unit) {
        bool confirmed = false, answered = false;
        guarded("cup confirmation", [&] {
          confirmed = steps.confirmCup(line.product);
          answered = true;
        });
        if (confirmed) {
          guarded("drink", [&] { steps.prepareDrink(line.product); });
        } else if (answered) {
          // The confirmation waits for the customer without a limit: it ends
          // unconfirmed only when the program closes. The drink is paid and
          // never made, so the operator must be told to refund it. (A
          // confirmation that failed was reported as such.)
          try {
            steps.stepFailed(keptDrinkText(line.product, sale));
          } catch (...) {
          }
        }
      }
    }
  });
  guarded("thanks screen", [&] { steps.showGratitude(gratitudeSetupOf(sale)); });
}

// ---- the running kiosk ------------------------------------------------------

void playProgramSound(const QString& fileName) {
  const QString path = QDir(QCoreApplication::applicationDirPath()).filePath(fileName);
  if (!QFile::exists(path)) return;
  auto* effect = new QSoundEffect(QCoreApplication::instance());
  QObject::connect(effect, &QSoundEffect::playingChanged, effect, [effect] {
    if (!effect->isPlaying()) effect->deleteLater();
  });
  QObject::connect(effect, &QSoundEffect::statusChanged, effect, [effect] {
    if (effect->status() == QSoundEffect::Error) effect->deleteLater();
  });
  effect->setSource(QUrl::fromLocalFile(path));
  effect->play();
}

TKioskCheckoutSteps::TKioskCheckoutSteps() : sale_(std::make_unique<TSaleInProgress>()) {}

TKioskCheckoutSteps::~TKioskCheckoutSteps() = default;

namespace {

// The sale's events are numbered by this copy's queue only while the close
// has not shut the gate; later ones could take a new copy's numbers.
bool saleEventsOpen(int count) {
  if (!fmMain || !fmMain->eventLog) return false;
  if (fmMain->eventsOpen()) return true;
  fmMain->log(QStringLiteral("События продажи (%1) не поставлены в очередь, программа завершилась")
                  .arg(count));
  return false;
}

}  // namespace

void TKioskCheckoutSteps::queueSaleEvent(const TSaleEvent& e) {
  if (!saleEventsOpen(1)) return;
  fmMain->eventLog->add(46, QString(), e.creditSource_id, e.amount, e.cell, e.nomenclature_id,
                        e.cardProject_id, e.card_no, e.loyaltySystem_id, e.loayalty_card_no,
                        e.discount);
}

void TKioskCheckoutSteps::queueSale(const std::vector<TSaleEvent>& events,
                                    const QStringList& saleCount) {
  if (!saleEventsOpen(int(events.size()))) return;
  std::vector<TLogRecord> records;
  for (const TSaleEvent& e : events)
    records.push_back(TLogThread::newRecord(46, QString(), e.creditSource_id, e.amount, e.cell,
                                            e.nomenclature_id, e.cardProject_id, e.card_no,
                                            e.loyaltySystem_id, e.loayalty_card_no, e.discount));
  recordSale(*fmMain->eventLog, std::move(records), saleCount);
}

void TKioskCheckoutSteps::updateCounters(const std::vector<TSelectedGood>& lines, TCounterKind kind,
                                         double discount) {
  if (!fmMain) return;
  ::updateCounters(fmMain->countersState, fmMain->drinks, fmMain->snacks, counterLinesOf(lines),
                   kind, discount);
  saleCounted(fmMain->countersState.dataFolder);
}

bool TKioskCheckoutSteps::drinkAfterPayment() const {
  return fmMain && fmMain->drink_after_payment && !fmMain->carimali_machine;
}

void TKioskCheckoutSteps::paymentModuleAddProduct(int cell) {
  if (!fmMain || !fmMain->paymentModule)
    throw Exception(QStringLiteral("Не указан номер COM-порта."));
  fmMain->paymentModule->addProduct(cell);
}

void TKioskCheckoutSteps::submitLoyalty(const QString& card_no, double amount, double cashback) {
  createLoyalityCardSubmitThread(card_no, amount, cashback);
}

void TKioskCheckoutSteps::playSound(const QString& fileName) {
  playProgramSound(fileName);
}

bool TKioskCheckoutSteps::carimaliMachine() const {
  return fmMain && fmMain->carimali_machine;
}

bool TKioskCheckoutSteps::confirmCup(const TProduct& drink) {
  return showCupConfirmation(drink.name);
}

void TKioskCheckoutSteps::prepareDrink(const TProduct& drink) {
  if (fmMain) fmMain->prepareCarimaliDrink(drink);
}

void TKioskCheckoutSteps::showGratitude(const TGratitudeSetup& setup) {
  if (gratitude) gratitude(setup);
}

void TKioskCheckoutSteps::stepFailed(const QString& text) {
  if (!fmMain) return;
  fmMain->log(text);
  fmMain->queueEvent(1, text);
}
