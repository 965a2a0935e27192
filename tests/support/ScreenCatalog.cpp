#include "tests/support/ScreenCatalog.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "kiosk/CoffeeDialogs.h"
#include "kiosk/DialogsAndMessages.h"
#include "kiosk/Expectation.h"
#include "kiosk/LoyaltySystemCard.h"
#include "kiosk/Main.h"
#include "kiosk/OperatorForm.h"
#include "kiosk/Screensaver.h"
#include "kiosk/ServicePassword.h"
#include "kiosk/Settings.h"
#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "kiosk/TouchButton.h"
#include "screens/Badge.h"
#include "screens/BarcodeKeypad.h"
#include "screens/Cashback.h"
#include "screens/Confirmation.h"
#include "screens/DrinkMenu.h"
#include "screens/Gratitude.h"
#include "screens/Pay.h"
#include "screens/PaymentMethod.h"
#include "screens/Recycle.h"
#include "screens/ReviseTotals.h"
#include "screens/SBP.h"
#include "screens/SaleScreenHooks.h"
#include "tests/support/SaleScreenTestKit.h"

namespace screencat {

// The demo stand-in back office, whose answer to "make a payment code" the
// catalogue picks for each SBP screen. Its sessions stay unpaid.
class TSbpOffice {
 public:
  using TAnswer = TScreenCatalog::TSbpAnswer;
  static constexpr const char* kRefusal = "Сервис оплаты СБП временно недоступен.";

  explicit TSbpOffice(const QString& folder)
      : sim_(QDir(folder).filePath(QStringLiteral("office.db"))) {
    sim_.db().setOption("sbp_polls", 1000000);
    sim_.server().setRequestHandler([this](const ServerRequest& rq, ServerReply& rp) {
      if (rq.code == 1088) {
        std::unique_lock lock(m_);
        ++codeRequests_;
        cv_.notify_all();
        if (answer_ == TAnswer::Refuse) throw Exception(QString::fromUtf8(kRefusal));
        // Held until the screen goes; a minute at most, should it never go.
        cv_.wait_for(lock, std::chrono::minutes(1), [this] { return answer_ != TAnswer::Hold; });
      }
      sim_.handlers().handle(rq, rp);
    });
    sim_.start();
    testkit::connectToSim(client_, sim_);
  }
  ~TSbpOffice() {
    release();
    sim_.stop();
  }
  TSbpOffice(const TSbpOffice&) = delete;
  TSbpOffice& operator=(const TSbpOffice&) = delete;

  TJClient* use(TAnswer answer) {
    std::lock_guard lock(m_);
    answer_ = answer;
    return &client_;
  }
  // A held request gets its code: the worker of a closing screen ends.
  void release() {
    std::lock_guard lock(m_);
    if (answer_ == TAnswer::Hold) answer_ = TAnswer::Code;
    cv_.notify_all();
  }
  int codeRequests() const {
    std::lock_guard lock(m_);
    return codeRequests_;
  }

 private:
  sim::BackofficeSim sim_;
  TJClient client_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  TAnswer answer_ = TAnswer::Code;
  int codeRequests_ = 0;
};

namespace {

// Names as long as the back office's assortment holds them.
const char* const kDrinkNames[] = {
    "Капучино с карамельным сиропом и корицей",
    "Латте макиато на кокосовом молоке",
    "Американо",
    "Горячий шоколад со сливками",
    "Эспрессо двойной",
    "Раф кофе ванильный",
    "Чай чёрный с бергамотом и лимоном",
    "Флэт уайт",
    "Какао на овсяном молоке",
    "Мокачино с маршмеллоу",
    "Глинтвейн безалкогольный пряный",
};

const char* const kSnackNames[] = {
    "Шоколадный батончик с цельным фундуком, карамелью и нугой, 50 г",
    "Вода питьевая негазированная «Горный родник», 0,5 л",
    "Круассан с миндальным кремом",
    "Сэндвич с ветчиной, сыром и свежими овощами на цельнозерновом хлебе",
    "Сок яблочный",
    "Орехи кешью жареные солёные, 40 г",
    "Йогурт питьевой клубника-банан 2,5 %",
    "Печенье овсяное",
    "Энергетический напиток без сахара, 0,45 л",
    "Чипсы картофельные со вкусом сметаны и зелени, 70 г",
    "Протеиновый батончик кокос",
    "Жевательная резинка мята",
    "Салат «Цезарь» с курицей",
    "Морс клюквенный, 0,3 л",
};

std::vector<TProduct> drinks() {
  std::vector<TProduct> out;
  int cell = 1;
  for (const char* name : kDrinkNames) {
    TProduct p;
    p.cell = cell;
    p.name = QString::fromUtf8(name);
    p.nomenclature_id = 100 + cell;
    p.price = cell % 3 == 0 ? 1249.5 : 180 + 15 * cell;
    out.push_back(p);
    ++cell;
  }
  return out;
}

std::vector<TProduct> snacks() {
  std::vector<TProduct> out;
  int n = 1;
  for (const char* name : kSnackNames) {
    TProduct p;
    p.isSnack = true;
    p.cell = 100 + n;
    p.name = QString::fromUtf8(name);
    p.nomenclature_id = 200 + n;
    p.price = n % 4 == 0 ? 12345.67 : 59 + 10 * n;
    // The first five share "111": typing it offers five result buttons.
    p.barCodes = (n <= 5 ? QStringLiteral("460111100000") : QStringLiteral("46022220000")) +
                 QString::number(n);
    out.push_back(p);
    ++n;
  }
  return out;
}

TLoyalityCardInfo loyaltyCard() {
  TLoyalityCardInfo card;
  card.isActive = true;
  card.user.first_name = QStringLiteral("Константин");
  card.user.barcode = QStringLiteral("7770000000031");
  card.discount.percent = 12.5;
  card.cashback.existed_summ = 12345.67;
  card.cashback.allowed_summ = 123.45;
  card.cashback.percent = 5;
  return card;
}

QWidget* openHome(TScreenCatalog& c) {
  return c.adopt(std::make_unique<TfmExpectation>());
}

QWidget* openCart(TScreenCatalog& c) {
  // The catalogue keeps the cart: the payment screens read it.
  return c.cart();
}

QWidget* openMethods(TScreenCatalog& c) {
  auto form = std::make_unique<TfmPaymentTypeDialog>(c.cart(), c.cart());
  form->tmIdle->stop();
  return c.adopt(std::move(form));
}

QWidget* openCard(TScreenCatalog& c) {
  auto pay = std::make_unique<TfmPay>(c.cart());
  const TCheckoutSale sale = c.cart()->checkoutSale(TPaymentMethod::Card);
  pay->payment_amount = sale.payment_amount;
  pay->total_amount = sale.total_amount;
  pay->discount = sale.discount;
  pay->cashback = sale.cashback;
  pay->playSound = nullptr;
  pay->setup.pos_type = ptNone;
  // No terminal answers: the screen waits for the card.
  pay->tmPaymentResult->setInterval(3600000);
  return c.adopt(std::move(pay));
}

QWidget* openSbp(TScreenCatalog& c, TScreenCatalog::TSbpAnswer answer) {
  auto sbp = std::make_unique<TfmSBP>(c.cart());
  const TCheckoutSale sale = c.cart()->checkoutSale(TPaymentMethod::SBP);
  sbp->payment_amount = sale.payment_amount;
  sbp->total_amount = sale.total_amount;
  sbp->discount = sale.discount;
  sbp->cashback = sale.cashback;
  sbp->playSound = nullptr;
  sbp->setup.mainClient = c.sbpOffice(answer);
  sbp->dataFolder = c.dataFolder();
  // The error stays until the screen is closed here.
  sbp->errorDisplayMs = 3600000;
  auto* raw = sbp.get();
  const int requests = c.sbpCodeRequests();
  QWidget* out = c.adopt(std::move(sbp));
  switch (answer) {
    case TScreenCatalog::TSbpAnswer::Hold:
      TScreenCatalog::settleUntil([&] { return c.sbpCodeRequests() > requests; });
      break;
    case TScreenCatalog::TSbpAnswer::Code:
      TScreenCatalog::settleUntil([raw] { return raw->imQRCode->isVisible(); });
      break;
    case TScreenCatalog::TSbpAnswer::Refuse:
      TScreenCatalog::settleUntil([raw] { return raw->lbErr1->isVisible(); });
      break;
  }
  return out;
}

template <typename Screen>
QWidget* openAccount(TScreenCatalog& c, TPaymentMethod method) {
  auto form = std::make_unique<Screen>(c.cart());
  form->sale = c.cart()->checkoutSale(method);
  form->playSound = nullptr;
  auto* raw = form.get();
  QWidget* out = c.adopt(std::move(form));
  // The badge screen asks the back office at once, on the main thread: the
  // screen stays at its invitation instead.
  raw->tmStart->stop();
  return out;
}

QWidget* openPoints(TScreenCatalog& c) {
  auto form = std::make_unique<TfmCashback>(c.cart(), [](double) {});
  form->amount = 1234.56;
  return c.adopt(std::move(form));
}

QWidget* openCup(TScreenCatalog& c) {
  return c.adopt(std::make_unique<TfmConfirmation>(c.cart()));
}

QWidget* openThanks(TScreenCatalog& c) {
  auto form = std::make_unique<TfmGratitude>(c.cart());
  form->disable_check_creation = true;
  form->balance_message =
      QStringLiteral("Остаток на бонусном счёте: 12345,67 ₽");
  form->payment_amount = c.cart()->payment_amount();
  form->tmClose->setInterval(3600000);
  auto* raw = form.get();
  QWidget* out = c.adopt(std::move(form));
  raw->tmClose->stop();
  return out;
}

// While the check is made: the back office did not answer the first try,
// and the next try is an hour away.
QWidget* openThanksMakingTheCheck(TScreenCatalog& c) {
  auto form = std::make_unique<TfmGratitude>(c.cart());
  form->create_checks = true;
  form->mainClient = nullptr;  // no back office
  form->events = nullptr;
  form->log = nullptr;
  form->retryPauseMs = 3600000;
  form->payment_amount = c.cart()->payment_amount();
  return c.adopt(std::move(form));
}

QWidget* openDrinks(TScreenCatalog& c) {
  return c.adopt(std::make_unique<TfmDrink>(c.main()));
}

QWidget* openBarcode(TScreenCatalog& c) {
  auto form = std::make_unique<TfmBarcode>(c.main());
  auto* raw = form.get();
  QWidget* out = c.adopt(std::move(form));
  // Digits that five snacks share: the result buttons show once the
  // keypad's short search timer has run, however busy the machine.
  TTouchButton* one = raw->keys[6];
  for (int i = 0; i < 3; ++i) emit one->mouseDown();
  TScreenCatalog::settleUntil(
      [raw] { return raw->goodsButtons.size() == 5 && raw->goodsButtons.back()->isVisible(); });
  return out;
}

QWidget* openLoyalty(TScreenCatalog& c) {
  auto form = std::make_unique<TfmLoyaltySystemCard>(loyaltyCard(), c.main());
  form->Timer1->stop();
  return c.adopt(std::move(form));
}

QWidget* openBoiler(TScreenCatalog& c) {
  TServiceMenuAccess service;
  service.showSettings = [] { return false; };
  service.closeProgram = [] {};
  auto form = std::make_unique<TfmBoilerInfill>(TCoffeeDialogContext{}, service, c.main());
  form->tmTimeout->stop();
  return c.adopt(std::move(form));
}

// After the fill command: the status line and the busy indicator.
QWidget* openBoilerFilling(TScreenCatalog& c) {
  auto* form = static_cast<TfmBoilerInfill*>(openBoiler(c));
  form->showFilling();
  return form;
}

QWidget* openDrinkWaiting(TScreenCatalog& c) {
  auto form = std::make_unique<TfmDrinkWaiting>(TCoffeeDialogContext{}, c.main());
  form->Timer1->stop();
  form->lbTop->setText(QString::fromUtf8(kDrinkNames[0]));
  return c.adopt(std::move(form));
}

QWidget* openScreensaver(TScreenCatalog& c) {
  const QString folder = QDir(c.dataFolder()).filePath(QStringLiteral("Wallpaper"));
  QDir().mkpath(folder);
  QImage img(1600, 900, QImage::Format_RGB32);
  img.fill(QColor(0xB8, 0x86, 0x0B));
  img.save(QDir(folder).filePath(QStringLiteral("wallpaper.png")), "PNG");
  return c.adopt(std::make_unique<TfmWallpaper>(QStringList{QStringLiteral("wallpaper.png")}, 3600,
                                                c.dataFolder(), c.main()->logSink(), c.main()));
}

QWidget* openServicePassword(TScreenCatalog& c) {
  return c.adopt(std::make_unique<TfmServicePassword>(QStringLiteral("5817"), false, c.main()));
}

QWidget* openServiceMenu(TScreenCatalog& c) {
  TServiceMenuContext ctx;
  ctx.SS = c.main()->SS();
  ctx.programPath = QDir(c.dataFolder()).filePath(QStringLiteral("vekta"));
  ctx.autostartFolder = QDir(c.dataFolder()).filePath(QStringLiteral("autostart"));
  ctx.setBringToFront = [](bool) {};
  ctx.refreshConfig = [] {};
  ctx.makeAudit = [](int) {};
  auto form = std::make_unique<TfmSettings>(std::move(ctx), c.main());
  form->setWindowState(Qt::WindowFullScreen);
  return c.adopt(std::move(form));
}

QWidget* openOperatorForm(TScreenCatalog& c) {
  TOperatorFormContext ctx;
  ctx.SS = c.main()->SS();
  ctx.programPath = QDir(c.dataFolder()).filePath(QStringLiteral("kelto"));
  ctx.makeAudit = [](int) {};
  auto form = std::make_unique<TfmRunOperatorForm>(std::move(ctx), c.main());
  form->setWindowState(Qt::WindowFullScreen);
  return c.adopt(std::move(form));
}

QWidget* openReconciliation(TScreenCatalog& c) {
  auto form = std::make_unique<TfmReviseTotals>(c.main());
  form->tmCheckThread->setInterval(3600000);
  return c.adopt(std::move(form));
}

QWidget* openQuestion(TScreenCatalog& c) {
  // The service menu's close question: all three buttons.
  auto form = std::make_unique<TfmYNCQuestion>(c.main());
  form->imExcl->hide();
  form->txt = QStringLiteral("Сохранить изменения?");
  // As the entry functions show it: over the whole screen.
  form->setGeometry(QGuiApplication::primaryScreen()->geometry());
  return c.adopt(std::move(form));
}

QWidget* openDeleteLine(TScreenCatalog& c) {
  auto form = std::make_unique<TfmDeleteGoodDialog>(c.cart());
  // A line of one unit, as the cart asks about it.
  form->setProductName(QString::fromUtf8(kSnackNames[3]));
  return c.adopt(std::move(form));
}

}  // namespace

TScreenCatalog::TScreenCatalog() {
  qputenv("VEKTA_DATA_DIR", data_.path().toUtf8());
  qputenv("XDG_RUNTIME_DIR", runtime_.path().toUtf8());
  qputenv("VEKTA_OSK_COMMAND", "true");  // no on-screen keyboard
  registerSaleScreens();                 // the main form refuses to start without them
  main_ = std::make_unique<TfmMain>();
  main_->show();
  main_->tmConfig->stop();  // no server: the cycle would only retry
  TSettingsStorage& ss = *main_->SS();
  writeText(ss, SettingsKeys::serialNumber, QStringLiteral("NVQ-00012345"));
  writeText(ss, SettingsKeys::support_phone, QStringLiteral("+7 (800) 555-35-35"));
  writeText(ss, SettingsKeys::host, QStringLiteral("backoffice.example.org"));
  writeText(ss, SettingsKeys::port, QStringLiteral("21000"));
  writeText(ss, SettingsKeys::login, QStringLiteral("kiosk-nvq001"));
  main_->sbp_enabled = true;
  main_->yandex_badge_enabled = true;
  main_->cardProject_id = 7;
  main_->manual_barcodes = true;
  main_->drinks = drinks();
  main_->snacks = snacks();
  main_->loyaltyCardInfo = loyaltyCard();
  main_->pos_type = ptVendotek;
}

TScreenCatalog::~TScreenCatalog() {
  close();
  fmRecycle = nullptr;
  cart_.reset();
  main_->check_password_on_exit = false;
  main_->close();
  main_.reset();
  qunsetenv("VEKTA_DATA_DIR");
}

QWidget* TScreenCatalog::adopt(std::unique_ptr<QWidget> form) {
  current_ = std::move(form);
  current_->setWindowModality(Qt::ApplicationModal);
  current_->show();
  return current_.get();
}

QWidget* TScreenCatalog::open(const TScreen& screen) {
  close();
  QWidget* form = screen.open(*this);
  settle(screen.settleMs);
  return form;
}

void TScreenCatalog::close() {
  if (sbpOffice_) sbpOffice_->release();
  if (current_) current_->hide();
  current_.reset();
  // A check that a thanks screen left to go on waits for its next try.
  TCheckCreationThread::stopAll(30000);
  settle(0);
}

TfmRecycle* TScreenCatalog::cart() {
  if (cart_) return cart_.get();
  cart_ = std::make_unique<TfmRecycle>(main_.get());
  fmRecycle = cart_.get();
  cart_->setWindowModality(Qt::ApplicationModal);
  cart_->show();
  // Nobody touches the screens here: no reset question after the idle time.
  cart_->tmIdle->stop();
  // The pay button shows the card's logo, not whichever method's turn it is
  // when a picture is taken.
  cart_->tmPaymentImage->stop();
  for (const TProduct& p : main_->snacks) cart_->addProduct(p);
  cart_->addProduct(main_->snacks[0]);
  cart_->addProduct(main_->drinks[0]);
  cart_->cart.discount = 0;
  // A full first page, with the page buttons and dots under it.
  while (cart_->cart.page_ind > 0) cart_->btPrevClick();
  settle();
  return cart_.get();
}

TJClient* TScreenCatalog::sbpOffice(TSbpAnswer answer) {
  if (!sbpOffice_) sbpOffice_ = std::make_unique<TSbpOffice>(data_.path());
  return sbpOffice_->use(answer);
}

int TScreenCatalog::sbpCodeRequests() const {
  return sbpOffice_ ? sbpOffice_->codeRequests() : 0;
}

bool TScreenCatalog::settleUntil(const std::function<bool()>& done, int limitMs) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.hasExpired(limitMs)) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

void TScreenCatalog::settle(int ms) {
  QElapsedTimer t;
  t.start();
  do {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  } while (!t.hasExpired(ms));
}

const std::vector<TScreenCatalog::TScreen>& TScreenCatalog::screens() {
  static const std::vector<TScreen> all = {
      {"home", "home screen", openHome},
      {"cart", "cart", openCart},
      {"methods", "payment-method dialog", openMethods},
      {"card", "card payment", openCard},
      {"sbp", "SBP payment, making the code",
       [](TScreenCatalog& c) { return openSbp(c, TScreenCatalog::TSbpAnswer::Hold); }},
      {"sbp-code", "SBP payment, the code shown",
       [](TScreenCatalog& c) { return openSbp(c, TScreenCatalog::TSbpAnswer::Code); }},
      {"sbp-error", "SBP payment failed",
       [](TScreenCatalog& c) { return openSbp(c, TScreenCatalog::TSbpAnswer::Refuse); }},
      {"badge", "badge payment",
       [](TScreenCatalog& c) {
         return openAccount<TfmYandexBadge>(c, TPaymentMethod::YandexBadge);
       }},
      {"identity-card", "identity-card payment",
       [](TScreenCatalog& c) {
         return openAccount<TfmIdentityCard>(c, TPaymentMethod::IdentityCard);
       }},
      {"points", "points offer", openPoints, 100, "cart"},
      {"cup", "cup confirmation", openCup},
      {"thanks", "thanks screen", openThanks},
      {"thanks-check", "thanks screen, making the check", openThanksMakingTheCheck},
      {"drinks", "drink menu", openDrinks},
      {"barcode", "barcode keypad", openBarcode},
      {"loyalty", "loyalty greeting", openLoyalty, 100, "home"},
      {"boiler", "boiler fill", openBoiler},
      {"boiler-filling", "boiler fill, filling", openBoilerFilling},
      {"drink-waiting", "drink waiting", openDrinkWaiting},
      {"screensaver", "screensaver", openScreensaver},
      {"service-password", "service password", openServicePassword},
      {"service-menu", "service menu", openServiceMenu},
      {"operator-form", "operator form", openOperatorForm},
      {"reconciliation", "totals reconciliation", openReconciliation, 100, "home"},
      {"question", "question dialog", openQuestion, 100, "service-menu"},
      {"delete-line", "line removal question", openDeleteLine, 100, "cart"},
  };
  return all;
}

}  // namespace screencat
