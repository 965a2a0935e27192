#include "screens/Recycle.h"

#include <QApplication>
#include <QEvent>
#include <QFontMetricsF>
#include <QGraphicsOpacityEffect>
#include <QKeyEvent>
#include <QLabel>
#include <QTimer>
#include <algorithm>
#include <cmath>

#include "kiosk/ButtonStrip.h"
#include "kiosk/Common.h"
#include "kiosk/DialogsAndMessages.h"
#include "kiosk/Expectation.h"
#include "kiosk/Main.h"
#include "kiosk/Pictures.h"
#include "kiosk/TouchButton.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "screens/Badge.h"
#include "screens/BarcodeKeypad.h"
#include "screens/Cashback.h"
#include "screens/DrinkMenu.h"
#include "screens/PaymentMethod.h"
#include "screens/SBP.h"

TfmRecycle* fmRecycle = nullptr;

// ---- user input watch ---------------------------------------------------------

namespace {

class TUserInputWatch : public QObject {
 public:
  std::atomic<qint64> last{plat::clock().nowMs()};

 protected:
  bool eventFilter(QObject* o, QEvent* e) override {
    switch (e->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::TouchBegin:
      case QEvent::KeyPress:
        last = plat::clock().nowMs();
        break;
      default:
        break;
    }
    return QObject::eventFilter(o, e);
  }
};

TUserInputWatch* inputWatch() {
  static TUserInputWatch* watch = [] {
    auto* w = new TUserInputWatch;
    if (auto* app = QCoreApplication::instance()) {
      w->setParent(app);
      app->installEventFilter(w);
    }
    return w;
  }();
  return watch;
}

}  // namespace

qint64 msSinceLastUserInput() {
  return plat::clock().nowMs() - inputWatch()->last.load();
}

// ---- widgets ----------------------------------------------------------------

namespace {

const QColor kBurlywood(0xDE, 0xB8, 0x87);
const QColor kGoldenrod(0xB8, 0x86, 0x0B);

constexpr int mrOk = 1;
constexpr int mrCancel = 2;

QLabel* makeLabel(const QString& text, QWidget* parent, double points, bool bold = false) {
  auto* l = new QLabel(text, parent);
  l->setTextFormat(Qt::PlainText);
  QFont f = l->font();
  f.setPointSizeF(points);
  f.setBold(bold);
  l->setFont(f);
  l->adjustSize();
  return l;
}

QRect rectOf(double x, double y, double w, double h) {
  return QRectF(x, y, w, h).toRect();
}

}  // namespace

TfmDeleteGoodDialog::TfmDeleteGoodDialog(QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  setAttribute(Qt::WA_TranslucentBackground);
  setWindowTitle(QStringLiteral("Подтверждение удаления товарной позиции"));
  pnBackground = new TRectangle(this);
  pnBackground->setFillColor(QColor(0, 0, 0, 128));
  pnMain = new TRectangle(this);
  pnMain->setFillColor(Qt::white);
  image = new QLabel(pnMain);
  image->setObjectName(QStringLiteral("image"));
  SetPicture(image, minusPicture);
  lb1 = makeLabel(QStringLiteral("Будет удалена позиция"), pnMain, 30);
  lb2 = makeLabel(QString(), pnMain, 30);
  QFont f = lb2->font();
  f.setItalic(true);
  lb2->setFont(f);
  lb2->setWordWrap(true);
  lb2->setAlignment(Qt::AlignCenter);
  pnBottom = new TRectangle(pnMain);
  pnBottom->setFillColor(Qt::white);
  btOK = new TTouchButton(QStringLiteral("OK"), pnBottom);
  btOK->setObjectName(QStringLiteral("btOK"));
  btCancel = new TTouchButton(QStringLiteral("Отмена"), pnBottom);
  btCancel->setObjectName(QStringLiteral("btCancel"));
  buttonPressed = [](QObject* sender) {
    if (fmMain) fmMain->buttonPressed(sender);
  };
  connect(btOK, &TRectangle::mouseDown, this, [this] { answer(btOK, mrOk); });
  connect(btCancel, &TRectangle::mouseDown, this, [this] { answer(btCancel, mrCancel); });
}

void TfmDeleteGoodDialog::answer(TTouchButton* button, int r) {
  if (buttonPressed) buttonPressed(button);
  done(r);
}

void TfmDeleteGoodDialog::setProductName(const QString& name) {
  lb2->setText(name + QStringLiteral("."));
}

void TfmDeleteGoodDialog::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  FitFormToMainForm(this);
  const QSizeF screen = ScreenSize();
  const double W = screen.width(), H = screen.height();
  pnBackground->setGeometry(rect());
  const double panelW = W * 2 / 3;
  const double imageW = panelW / 12;
  FitFontSize(lb1, panelW - 3 * imageW);
  SetFontSize(lb2, FontSizeOf(lb1));
  lb2->setFixedWidth(int(panelW - 3 * imageW));
  lb2->adjustSize();
  // The kiosk's OK/Cancel pair, ending at the panel's right edge.
  placeOkCancelButtons(btOK, btCancel, panelW);
  const double stripH = pnBottom->height();
  const double panelH = 4 * lb1->height() + MeasureTextHeight(lb2) + stripH;
  pnMain->setGeometry(rectOf((W - panelW) / 2, (H - panelH) / 2, panelW, panelH));
  pnBottom->setGeometry(rectOf(0, panelH - stripH, panelW, stripH));
  FitPicture(image, QRectF(imageW / 2, lb1->height(), imageW, imageW));
  const double textH = lb1->height() + MeasureTextHeight(lb2);
  const double g = (panelH - stripH - textH) / 3;
  lb1->move(int((panelW - lb1->width()) / 2), int(g));
  lb2->move(int((panelW - lb2->width()) / 2), int(2 * g + lb1->height()));
}

TCartHooks kioskCartHooks() {
  TCartHooks h;
  h.settings = [] {
    TCartSettings s;
    if (!fmMain) return s;
    s.vm_id = fmMain->vm_id;
    s.loyaltySystem_id = fmMain->loyaltySystem_id;
    s.sbp_enabled = fmMain->sbp_enabled;
    s.yandex_badge_enabled = fmMain->yandex_badge_enabled;
    s.cardProject_id = fmMain->cardProject_id;
    s.manual_barcodes = fmMain->manual_barcodes;
    s.hasDrinks = !fmMain->drinks.empty();
    s.vekta_recycle_warning_delay = fmMain->vekta_recycle_warning_delay;
    s.vekta_recycle_reset_delay = fmMain->vekta_recycle_reset_delay;
    return s;
  };
  h.loyaltyCardInfo = []() -> TLoyalityCardInfo& {
    static TLoyalityCardInfo none;
    return fmMain ? fmMain->loyaltyCardInfo : none;
  };
  h.queueEvent = [](int id, const QString& descr) {
    if (fmMain && fmMain->logThread) fmMain->logThread->add(id, descr);
  };
  h.loyalityCardOperation = [](qint64 vm_id, const QString& card_no, double amount,
                               const TProductPositionArray& positions) {
    if (!fmMain || !fmMain->kernel_api) throw Exception(QStringLiteral("Нет связи с сервером."));
    return fmMain->kernel_api->loyalityCardOperation(int(vm_id), card_no, amount, positions, 30);
  };
  h.confirmDelete = [](const QString& name) {
    TfmDeleteGoodDialog dlg(fmRecycle);
    dlg.setProductName(name);
    return dlg.exec() == mrOk;
  };
  h.offerPoints = [](double allowed) -> std::optional<double> {
    TfmCashback dlg(fmRecycle);
    fmCashback = &dlg;
    dlg.amount = allowed;
    const int r = dlg.exec();
    fmCashback = nullptr;
    if (r != mrOk) return std::nullopt;
    return dlg.amount;
  };
  h.choosePaymentMethod = [] { return showPaymentTypeDialog(fmRecycle); };
  h.runCardScreen = [] { return runCardPaymentScreen(); };
  h.payBySbp = [] { return runSbpPaymentScreen() == mrOk; };
  h.payByYandexBadge = [] { return runYandexBadgeScreen() == mrOk; };
  h.payByIdentityCard = [] { return runIdentityCardScreen() == mrOk; };
  h.cardTerminalFound = [] { return fmMain && fmMain->pos_type != ptNone; };
  h.askReset = [](int seconds) {
    return ConfirmOkCancel(QString::fromUtf8(TCart::kResetQuestion), seconds, QStringLiteral("#"));
  };
  h.msSinceLastInput = [] { return msSinceLastUserInput(); };
  h.setProductWasPaid = [] {
    if (fmMain) fmMain->product_was_paid = true;
  };
  h.scannerKeyUp = [](QKeyEvent* e) {
    if (fmMain) fmMain->FormKeyUp(e);
  };
  h.takeSelectedProduct = []() -> std::optional<TProduct> {
    if (!fmMain || !fmMain->product_selected) return std::nullopt;
    fmMain->product_selected = false;
    return fmMain->selected_product;
  };
  h.buttonPressed = [](QObject* sender) {
    if (fmMain) fmMain->buttonPressed(sender);
  };
  h.updateSerialNumberPanel = [](QWidget* panel) {
    if (fmMain) fmMain->updateSerialNumberPanel(panel);
  };
  h.checkCoffeeMachineState = [] { return !fmMain || fmMain->checkCoffeeMachineState(); };
  h.openDrinkMenu = [] { return ::openDrinkMenu(); };
  h.openBarcodeKeypad = [] { return ::openBarcodeKeypad(); };
  return h;
}

TfmRecycle::TfmRecycle(QWidget* parent, std::optional<TCartHooks> hooks)
    : QDialog(parent), cart(hooks ? std::move(*hooks) : kioskCartHooks()) {
  msSinceLastUserInput();  // starts the input watch
  FormCreate();
}

TfmRecycle::~TfmRecycle() {
  if (fmRecycle == this) fmRecycle = nullptr;
}

void TfmRecycle::FormCreate() {
  setUpWindow();
  createTop();
  createList();
  createAmountLine();
  createBottomButtons();
  createFooter();
  createTimers();
  connectHandlers();

  const TCartSettings s = cart.hooks.settings ? cart.hooks.settings() : TCartSettings{};
  startEmpty();
  showOfferedButtons(s);
  offerPaymentMethods(s);
  tmIdle->setInterval(std::max(1, s.vekta_recycle_warning_delay) * 1000);
  pauseTimersAroundModals();
  attachLineControls();
  layoutForm();
}

void TfmRecycle::setUpWindow() {
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  setWindowTitle(QStringLiteral("Корзина"));
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::white);
  setPalette(pal);
  pnMain = new QWidget(this);
}

void TfmRecycle::createTop() {
  pnTop = new TRectangle(pnMain);
  pnTop->setFillColor(kBurlywood);
  lbTop = makeLabel(QStringLiteral("Выбранные товары:"), pnTop, 30, true);
  btClose = new TTouchButton(QStringLiteral("✕"), pnTop);
  btClose->setHint(QStringLiteral("Закрыть"));
}

void TfmRecycle::createList() {
  pnList = new TRectangle(pnMain);
  pnList->setFillColor(Qt::white);
  pnHeader = new TRectangle(pnList);
  pnHeader->setFillColor(QColor(0xF5, 0xEB, 0xDC));
  lbName = makeLabel(QStringLiteral("Наименование"), pnHeader, 20, true);
  lbPrice = makeLabel(QStringLiteral("Цена"), pnHeader, 20, true);
  lbCount = makeLabel(QStringLiteral("Количество"), pnHeader, 20, true);
  line1 = new TRectangle(pnList);
  line1->setFillColor(kBurlywood);
  line2 = new TRectangle(pnList);
  line2->setFillColor(kBurlywood);
}

void TfmRecycle::createAmountLine() {
  pnAmount = new TRectangle(pnMain);
  pnAmount->setFillColor(QColor(0xF5, 0xEB, 0xDC));
  lbAmount = makeLabel(QStringLiteral("Итого:"), pnAmount, 30, true);
  btPrev = new TTouchButton(QStringLiteral("◀"), pnAmount);
  btPrev->setHint(QStringLiteral("Назад"));
  btNext = new TTouchButton(QStringLiteral("▶"), pnAmount);
  btNext->setHint(QStringLiteral("Вперёд"));
}

void TfmRecycle::createBottomButtons() {
  pnBottom = new TRectangle(pnMain);
  pnBottom->setFillColor(kBurlywood);
  btDrink = MakePictureButton(QStringLiteral("Добавить напиток"), cupPicture, pnBottom, "btDrink",
                              "imDrink", "lbDrink");
  btBarcode = MakePictureButton(QStringLiteral("Ввести штрих-код"), keypadPicture, pnBottom,
                                "btBarcode", "imBarcode", "lbBarcode");
  btPay = MakePictureButton(QStringLiteral("Оплатить"), bankCardPicture, pnBottom, "btPay", "imPay",
                            "lbPay");
  imDrink = btDrink->image();
  lbDrink = btDrink->label();
  imBarcode = btBarcode->image();
  lbBarcode = btBarcode->label();
  imPay = btPay->image();
  lbPay = btPay->label();
  // The other methods' logos: hidden until their turn, and only for the
  // methods offered.
  const auto logo = [this](TPicture picture, const char* name) {
    auto* l = new QLabel(btPay);
    l->setObjectName(QLatin1String(name));
    l->setAttribute(Qt::WA_TransparentForMouseEvents);
    SetPicture(l, picture);
    l->hide();
    return l;
  };
  imSBP = logo(sbpPicture, "imSBP");
  imYandexBadge = logo(yandexBadgePicture, "imYandexBadge");
  imIdentityCard = logo(identityCardPicture, "imIdentityCard");
}

void TfmRecycle::createFooter() {
  pnSerialNumber = new TRectangle(this);
  pnSerialNumber->setFillColor(kBurlywood);
  lbSerialNumber = makeLabel(QString(), pnSerialNumber, 14);
  lbSerialNumber->setObjectName(QStringLiteral("lbSerialNumber"));
  lbSupportPhone = makeLabel(QString(), pnSerialNumber, 14);
  lbSupportPhone->setObjectName(QStringLiteral("lbSupportPhone"));
}

void TfmRecycle::createTimers() {
  tmIdle = new QTimer(this);
  tmSelectedGood = new QTimer(this);
  tmSelectedGood->setInterval(1000);
  tmPaymentImage = new QTimer(this);
  tmPaymentImage->setInterval(TPaymentImageCycle::kIntervalMs);
  tmPaymentImageFade = new QTimer(this);
  tmPaymentImageFade->setInterval(20);
  tmDrink = new QTimer(this);
  tmDrink->setInterval(10);
}

void TfmRecycle::connectHandlers() {
  connect(btClose, &TRectangle::mouseDown, this, &TfmRecycle::btCloseMouseDown);
  connect(btPay, &TRectangle::mouseDown, this, &TfmRecycle::btPayMouseDown);
  connect(btDrink, &TRectangle::mouseDown, this, &TfmRecycle::btDrinkMouseDown);
  connect(btBarcode, &TRectangle::mouseDown, this, &TfmRecycle::btBarcodeMouseDown);
  connect(btPrev, &TRectangle::mouseDown, this, &TfmRecycle::btPrevClick);
  connect(btNext, &TRectangle::mouseDown, this, &TfmRecycle::btNextClick);
  connect(tmIdle, &QTimer::timeout, this, &TfmRecycle::tmIdleTimer);
  connect(tmSelectedGood, &QTimer::timeout, this, &TfmRecycle::tmSelectedGoodTimer);
  connect(tmPaymentImage, &QTimer::timeout, this, &TfmRecycle::tmPaymentImageTimer);
  connect(tmPaymentImageFade, &QTimer::timeout, this, &TfmRecycle::tmPaymentImageFadeTimer);
  connect(tmDrink, &QTimer::timeout, this, &TfmRecycle::tmDrinkTimer);
}

void TfmRecycle::startEmpty() {
  cart.page_ind = 0;
  show_drink_form = false;
  if (cart.hooks.updateSerialNumberPanel) cart.hooks.updateSerialNumberPanel(pnSerialNumber);
}

void TfmRecycle::showOfferedButtons(const TCartSettings& s) {
  // A button whose screen is not part of the kiosk yet would do nothing.
  btDrink->setVisible(s.hasDrinks && bool(cart.hooks.openDrinkMenu));
  btBarcode->setVisible(s.manual_barcodes && bool(cart.hooks.openBarcodeKeypad));
}

void TfmRecycle::offerPaymentMethods(const TCartSettings& s) {
  cart.countPaymentTypes();
  paymentImages = {imPay};
  if (s.sbp_enabled) paymentImages.push_back(imSBP);
  if (s.yandex_badge_enabled) paymentImages.push_back(imYandexBadge);
  if (s.cardProject_id > 0) paymentImages.push_back(imIdentityCard);
  paymentImageCycle = TPaymentImageCycle(int(paymentImages.size()));
  if (paymentImageCycle.cycles()) tmPaymentImage->start();
}

void TfmRecycle::attachLineControls() {
  cart.lineHeight = [this](TSelectedGood& g) { return measureLine(g); };
  cart.lineRemoved = [](TSelectedGood& g) {
    delete g.lNomenclature;
    delete g.lPrice;
    delete g.lCount;
    delete g.rectDec;
    delete g.rectInc;
    g.lNomenclature = g.lPrice = g.lCount = nullptr;
    g.rectDec = g.rectInc = nullptr;
  };
}

TfmRecycle::TModalPause::TModalPause(TfmRecycle& form)
    : form_(form),
      idle_(form.tmIdle->isActive()),
      selectedGood_(form.tmSelectedGood->isActive()),
      paymentImage_(form.tmPaymentImage->isActive()) {
  form_.tmIdle->stop();
  form_.tmSelectedGood->stop();
  form_.tmPaymentImage->stop();
}

TfmRecycle::TModalPause::~TModalPause() {
  if (form_.closing_) return;
  // The idle countdown starts over: the customer was busy with the modal.
  if (idle_) form_.startIdle();
  if (selectedGood_) form_.tmSelectedGood->start();
  if (paymentImage_) form_.tmPaymentImage->start();
}

namespace {

template <class R, class... A>
void runUnderModalPause(TfmRecycle* form, std::function<R(A...)>& hook) {
  if (!hook) return;
  hook = [form, inner = std::move(hook)](A... a) -> R {
    TfmRecycle::TModalPause pause(*form);
    return inner(std::forward<A>(a)...);
  };
}

}  // namespace

void TfmRecycle::pauseTimersAroundModals() {
  TCartHooks& h = cart.hooks;
  runUnderModalPause(this, h.loyalityCardOperation);
  runUnderModalPause(this, h.confirmDelete);
  runUnderModalPause(this, h.offerPoints);
  runUnderModalPause(this, h.choosePaymentMethod);
  runUnderModalPause(this, h.runCardScreen);
  runUnderModalPause(this, h.askReset);
  // A scanned code may open the loyalty greeting or a message.
  runUnderModalPause(this, h.scannerKeyUp);
  runUnderModalPause(this, h.openDrinkMenu);
  runUnderModalPause(this, h.openBarcodeKeypad);
  runUnderModalPause(this, h.checkCoffeeMachineState);
  runUnderModalPause(this, h.payBySbp);
  runUnderModalPause(this, h.payByYandexBadge);
  runUnderModalPause(this, h.payByIdentityCard);
}

void TfmRecycle::layoutForm() {
  FitFormToMainForm(this);
  const QSizeF screen = ScreenSize();
  const double W = screen.width();
  // Before the cart is shown nothing is visible: only a hidden footer takes no room.
  const double footer = pnSerialNumber->isHidden() ? 0 : pnSerialNumber->height();
  const double H = screen.height() - footer;
  const bool landscape = W > H;
  pnMain->setGeometry(rectOf(0, 0, W, H));
  pnSerialNumber->setGeometry(rectOf(0, H, W, footer));

  FitFontSize(lbTop, landscape ? W / 3 : W / 2);
  const double topH = lbTop->height() * (landscape ? 1.75 : 2);
  const double margin = W / 75;
  pnTop->setGeometry(rectOf(0, 0, W, topH));
  lbTop->move(int(margin), int((topH - lbTop->height()) / 2));
  btClose->setGeometry(rectOf(W - topH * 0.9, topH * 0.1, topH * 0.8, topH * 0.8));
  btClose->fitLabel();

  const double bottomH = H / 7;
  const double amountH = topH;
  pnBottom->setGeometry(rectOf(0, H - bottomH, W, bottomH));
  pnAmount->setGeometry(rectOf(0, H - bottomH - amountH, W, amountH));
  SetFontSize(lbAmount, FontSizeOf(lbTop));
  pnList->setGeometry(rectOf(margin, topH, W - 2 * margin, H - topH - bottomH - amountH));

  // The bottom buttons.
  const bool narrow = btDrink->isHidden() || btBarcode->isHidden();
  const double bw = narrow ? W / 3 : W / 4;
  const double bh = bottomH * 2 / 3;
  const double by = (bottomH - bh) / 2;
  btDrink->setGeometry(rectOf(margin, by, bw, bh));
  btPay->setGeometry(rectOf(W - margin - bw, by, bw, bh));
  if (btDrink->isHidden())
    btBarcode->setGeometry(rectOf(margin, by, bw, bh));
  else
    btBarcode->setGeometry(rectOf((W - bw) / 2, by, bw, bh));
  placeButtonPictures(bw, bh, landscape);

  // Column headers and lines.
  const double listW = pnList->width();
  SetFontSize(lbName, FontSizeOf(lbTop) * 0.75);
  SetFontSize(lbPrice, FontSizeOf(lbName));
  SetFontSize(lbCount, FontSizeOf(lbName));
  const double headerH = lbName->height() * 1.5;
  pnHeader->setGeometry(rectOf(0, 0, listW, headerH));
  const double x1 = listW * 4 / 7, x2 = listW * 5 / 7;
  line1->setGeometry(rectOf(x1, 0, 2, pnList->height()));
  line2->setGeometry(rectOf(x2, 0, 2, pnList->height()));
  const double hy = (headerH - lbName->height()) / 2;
  lbName->move(int((x1 - lbName->width()) / 2), int(hy));
  lbPrice->move(int(x1 + (x2 - x1 - lbPrice->width()) / 2), int(hy));
  lbCount->move(int(x2 + (listW - x2 - lbCount->width()) / 2), int(hy));

  // Page buttons on the total line.
  const double pbH = amountH * 3 / 4;
  const double pbY = amountH / 8;
  btPrev->setGeometry(rectOf(margin, pbY, pbH * 1.5, pbH));
  btNext->setGeometry(rectOf(btDrink->x() + bw - pbH * 1.5, pbY, pbH * 1.5, pbH));
  nextHomeX_ = btNext->x();
  btPrev->fitLabel();
  btNext->fitLabel();

  cart.geometry.headerHeight = headerH;
  cart.geometry.gap = lbName->height() * 0.4;
  cart.geometry.listHeight = pnList->height();
}

void TfmRecycle::placeButtonPictures(double bw, double bh, bool landscape) {
  // The pictures keep off the buttons' frames.
  const int inset = qRound((landscape ? bh : bh / 2) / 12);
  for (QLabel* l : {imDrink, imBarcode, imPay, imSBP, imYandexBadge, imIdentityCard})
    l->setContentsMargins(inset, inset, inset, inset);
  if (landscape) {
    // Beside the label: the drink picture as wide as its button is high,
    // the pay and barcode pictures as wide as the drink picture is high.
    const QRectF drink(0, 0, bh, bh);
    btDrink->setImageGeometry(drink);
    const QRectF other(0, 0, drink.height(), bh);
    btBarcode->setImageGeometry(other);
    btPay->setImageGeometry(other);
    FitFontSize(lbDrink, bw - 2 * drink.width());
  } else {
    // Above the label, half the button high.
    for (TTouchButton* b : {btDrink, btBarcode, btPay})
      b->setImageGeometry(QRectF(0, 0, bw, bh / 2));
    FitFontSize(lbDrink, bw * 4 / 5);
  }
  SetFontSize(lbBarcode, FontSizeOf(lbDrink));
  SetFontSize(lbPay, FontSizeOf(lbDrink));
  for (QLabel* logo : {imSBP, imYandexBadge, imIdentityCard}) FitPicture(logo, imPay->geometry());
}

double TfmRecycle::measureLine(TSelectedGood& g) {
  const double listW = pnList->width();
  const double x1 = listW * 4 / 7;
  if (!g.lNomenclature) {
    QFont f = lbName->font();
    f.setFamily(QStringLiteral("Courier New"));
    f.setBold(false);
    g.lNomenclature = new QLabel(g.product.name, pnList);
    g.lNomenclature->setTextFormat(Qt::PlainText);
    g.lNomenclature->setFont(f);
    g.lNomenclature->adjustSize();
    if (g.lNomenclature->width() > x1) {
      g.lNomenclature->setWordWrap(true);
      g.lNomenclature->setFixedWidth(int(x1));
      g.lNomenclature->setFixedHeight(int(std::ceil(MeasureTextHeight(g.lNomenclature))));
    }
    g.lPrice = new QLabel(TFormServices::formatAmount(g.product.price), pnList);
    g.lPrice->setFont(f);
    g.lCount = new QLabel(pnList);
    g.lCount->setFont(f);
    g.lCount->setAlignment(Qt::AlignCenter);
    g.rectInc = new TTouchButton(QString(), pnList);
    g.rectInc->setHint(QStringLiteral("+"));
    static_cast<TTouchButton*>(g.rectInc)->setPicture(plusPicture);
    g.rectDec = new TTouchButton(QString(), pnList);
    g.rectDec->setHint(QStringLiteral("-"));
    static_cast<TTouchButton*>(g.rectDec)->setPicture(minusPicture);
    // The buttons carry the product's identity, not a pointer into the list,
    // which changes as lines come and go.
    const bool isSnack = g.product.isSnack;
    const int cell = g.product.cell;
    auto find = [this, isSnack, cell]() -> const TProduct* {
      for (const TSelectedGood& s : cart.selected_goods)
        if (s.product.isSnack == isSnack && s.product.cell == cell) return &s.product;
      return nullptr;
    };
    connect(g.rectInc, &TRectangle::mouseDown, this, [this, find] {
      if (cart.hooks.buttonPressed) cart.hooks.buttonPressed(sender());
      if (const TProduct* p = find()) addProduct(TProduct(*p));
    });
    connect(g.rectDec, &TRectangle::mouseDown, this, [this, find] {
      if (cart.hooks.buttonPressed) cart.hooks.buttonPressed(sender());
      if (const TProduct* p = find()) removeProduct(TProduct(*p));
    });
  }
  g.lCount->setText(QString::number(g.quantity));
  g.lCount->adjustSize();
  g.lPrice->adjustSize();
  return g.lNomenclature->height();
}

void TfmRecycle::setLineStyle(TSelectedGood& g, bool underlined) {
  for (QLabel* l : {g.lNomenclature, g.lPrice, g.lCount}) {
    if (!l) continue;
    QFont f = l->font();
    f.setUnderline(underlined);
    l->setFont(f);
  }
}

void TfmRecycle::fitPriceToColumn(TSelectedGood& g) {
  // A long price can be wider than the room its column leaves it (five
  // figures on a portrait screen); running over the column's line it reads
  // as the end of the name. Such a price alone gives way, the other lines
  // keep the name's font, and it keeps a line's width of room from the line.
  const QRect line = line1->geometry();
  const double room = lbPrice->x() + lbPrice->width() - (line.x() + 2 * line.width());
  SetFontSize(g.lPrice, FontSizeOf(g.lNomenclature));
  if (g.lPrice->width() <= room) return;
  FitFontSize(g.lPrice, room);
}

void TfmRecycle::placeLines() {
  const double listW = pnList->width();
  const double x2 = listW * 5 / 7;
  const double priceRight = lbPrice->x() + lbPrice->width();
  for (size_t i = 0; i < cart.selected_goods.size(); ++i) {
    TSelectedGood& g = cart.selected_goods[i];
    if (!g.lNomenclature) continue;
    const double y = i < cart.lineTops.size() ? cart.lineTops[i] : 0;
    const bool visible = g.page_ind == cart.page_ind;
    const double h = g.lCount->height();
    g.lNomenclature->move(0, int(y));
    fitPriceToColumn(g);
    // A smaller price stands on the name's first line, not above it.
    const double baseline =
        QFontMetricsF(g.lNomenclature->font()).ascent() - QFontMetricsF(g.lPrice->font()).ascent();
    g.lPrice->move(int(priceRight - g.lPrice->width()), int(y + baseline));
    g.lCount->setGeometry(rectOf(x2, y, listW - x2, h));
    g.rectInc->setGeometry(rectOf(lbCount->x(), y, h * 1.5, h));
    g.rectDec->setGeometry(rectOf(lbCount->x() + lbCount->width() - h * 1.5, y, h * 1.5, h));
    setLineStyle(g, g.tm == cart.selected_good_tm && tmSelectedGood->isActive());
    for (QWidget* w :
         std::initializer_list<QWidget*>{g.lNomenclature, g.lPrice, g.lCount, g.rectInc, g.rectDec})
      w->setVisible(visible);
  }
}

void TfmRecycle::placePageButtons() {
  // The next-page button's own place; more pages than the room between the
  // buttons holds move it right, at most to the middle of the total line.
  const QRect prev = btPrev->geometry();
  const double limit = pnAmount->width() / 2.0 - btNext->width();
  pageDots_ = TPageDots::place(cart.view().pages, prev.x() + prev.width(), nextHomeX_, limit,
                               pnAmount->height() / 7.0);
  btNext->move(int(std::lround(pageDots_.nextLeft)), btNext->y());
}

void TfmRecycle::updatePageDots() {
  for (TRectangle* c : drinkCircles) delete c;
  drinkCircles.clear();
  const double d = pageDots_.diameter;
  for (size_t i = 0; i < pageDots_.centres.size(); ++i) {
    auto* c = new TCircle(pnAmount);
    c->setGeometry(rectOf(pageDots_.centres[i] - d / 2, (pnAmount->height() - d) / 2, d, d));
    c->setFillColor(int(i) == cart.page_ind ? pnBottom->fillColor() : Qt::transparent);
    c->setStroke(pnBottom->fillColor(), 2,
                 Qt::TopEdge | Qt::BottomEdge | Qt::LeftEdge | Qt::RightEdge);
    c->show();
    drinkCircles.push_back(c);
  }
}

void TfmRecycle::refreshProductList() {
  const TCartView v = cart.refreshProductList();
  placeLines();
  lbTop->setText(v.caption);
  lbTop->adjustSize();
  btPay->label()->setText(v.payText);
  btPay->setEnabled(v.payEnabled);
  btPrev->setVisible(v.prevVisible);
  btPrev->setEnabled(v.prevEnabled);
  btNext->setVisible(v.nextVisible);
  btNext->setEnabled(v.nextEnabled);
  placePageButtons();
  placeAmount(v.amountText);
  updatePageDots();
}

void TfmRecycle::placeAmount(const QString& text) {
  // The total keeps to the right of the page buttons: on a narrow screen the
  // total with a discount is wider than the room they leave, and only then
  // does its font give way.
  const double margin = ScreenSize().width() / 75.0;
  const double left = margin + (btNext->isHidden() ? 0 : btNext->geometry().right() + 1);
  const double room = pnAmount->width() - margin - left;
  lbAmount->setText(text);
  SetFontSize(lbAmount, FontSizeOf(lbTop));
  lbAmount->adjustSize();
  if (lbAmount->width() > room) {
    FitFontSize(lbAmount, room);
    lbAmount->adjustSize();
  }
  lbAmount->move(int(pnAmount->width() - margin - lbAmount->width()),
                 int((pnAmount->height() - lbAmount->height()) / 2));
}

void TfmRecycle::restartSelectedGoodTimer() {
  tmSelectedGood->stop();
  tmSelectedGood->start();
}

void TfmRecycle::addProduct(const TProduct& product) {
  restartSelectedGoodTimer();
  cart.addProduct(product, QDateTime::currentDateTime());
  refreshProductList();
}

void TfmRecycle::removeProduct(const TProduct& product) {
  if (cart.removeProduct(product, QDateTime::currentDateTime())) restartSelectedGoodTimer();
  refreshProductList();
}

TCheckoutSale TfmRecycle::checkoutSale(TPaymentMethod method) const {
  TCheckoutSale s;
  s.method = method;
  s.lines = cart.selected_goods;
  for (TSelectedGood& g : s.lines) {
    // The copy is plain data: the widgets stay with the cart.
    g.lNomenclature = g.lPrice = g.lCount = nullptr;
    g.rectDec = g.rectInc = nullptr;
  }
  s.total_amount = cart.total_amount;
  s.discount = cart.discount;
  s.cashback = cart.cashback;
  s.payment_amount = cart.payment_amount();
  s.discountCoeff = cart.getDiscountCoeff();
  if (cart.hooks.loyaltyCardInfo) {
    const TLoyalityCardInfo& c = cart.hooks.loyaltyCardInfo();
    s.loyaltyCardActive = c.isActive;
    s.loyaltyCardNo = c.user.barcode;
  }
  const TCartSettings st = cart.hooks.settings ? cart.hooks.settings() : TCartSettings{};
  if (st.loyaltySystem_id > 0) s.loyaltySystem_id = st.loyaltySystem_id;
  return s;
}

void TfmRecycle::takeSelectedProduct() {
  if (!cart.hooks.takeSelectedProduct) return;
  if (std::optional<TProduct> p = cart.hooks.takeSelectedProduct()) addProduct(*p);
}

void TfmRecycle::startIdle() {
  tmIdle->start();
}

void TfmRecycle::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (shown_) return;
  shown_ = true;
  fmRecycle = this;
  layoutForm();
  refreshProductList();
  takeSelectedProduct();
  // Without a drink menu there is nothing to open first: the cart shows.
  if (show_drink_form && cart.hooks.openDrinkMenu) {
    pnMain->hide();
    tmDrink->start();
  } else {
    startIdle();
  }
}

void TfmRecycle::tmDrinkTimer() {
  tmDrink->stop();
  std::optional<TProduct> p = cart.hooks.openDrinkMenu ? cart.hooks.openDrinkMenu() : std::nullopt;
  pnMain->show();
  if (!p) {
    done(mrCancel);
    return;
  }
  addProduct(*p);
  startIdle();
}

void TfmRecycle::keyPressEvent(QKeyEvent* e) {
  // Escape and Enter must not close the cart: the scanner ends codes with Enter.
  e->accept();
}

void TfmRecycle::keyReleaseEvent(QKeyEvent* e) {
  TLoyalityCardInfo before;
  if (cart.hooks.loyaltyCardInfo) before = cart.hooks.loyaltyCardInfo();
  if (cart.hooks.scannerKeyUp) cart.hooks.scannerKeyUp(e);
  takeSelectedProduct();
  if (!cart.hooks.loyaltyCardInfo) return;
  const TLoyalityCardInfo& now = cart.hooks.loyaltyCardInfo();
  if (now.isActive != before.isActive ||
      now.cashback.existed_summ != before.cashback.existed_summ ||
      now.discount.percent != before.discount.percent) {
    // A loyalty card was just scanned: its discount applies at once.
    refreshProductList();
    tmSelectedGoodTimer();
  }
}

void TfmRecycle::btCloseMouseDown() {
  if (cart.hooks.buttonPressed) cart.hooks.buttonPressed(btClose);
  if (cart.hooks.queueEvent)
    cart.hooks.queueEvent(42, QStringLiteral("Отказ от оплаты товаров в корзине"));
  done(mrCancel);
}

void TfmRecycle::btPayMouseDown() {
  if (cart.selected_goods.empty()) return;
  tmIdle->stop();
  struct Restart {
    TfmRecycle* f;
    ~Restart() {
      if (!f->closing_) f->startIdle();
    }
  } restart{this};
  if (cart.hooks.buttonPressed) cart.hooks.buttonPressed(btPay);
  if (cart.pay() == TCart::TPayResult::Paid) done(mrOk);
}

void TfmRecycle::btDrinkMouseDown() {
  tmIdle->stop();
  struct Restart {
    TfmRecycle* f;
    ~Restart() {
      if (!f->closing_) f->startIdle();
    }
  } restart{this};
  if (cart.hooks.buttonPressed) cart.hooks.buttonPressed(btDrink);
  if (cart.hooks.checkCoffeeMachineState && !cart.hooks.checkCoffeeMachineState()) return;
  if (!cart.hooks.openDrinkMenu) return;
  if (std::optional<TProduct> p = cart.hooks.openDrinkMenu()) addProduct(*p);
}

void TfmRecycle::btBarcodeMouseDown() {
  tmIdle->stop();
  struct Restart {
    TfmRecycle* f;
    ~Restart() {
      if (!f->closing_) f->startIdle();
    }
  } restart{this};
  if (cart.hooks.buttonPressed) cart.hooks.buttonPressed(btBarcode);
  if (!cart.hooks.openBarcodeKeypad) return;
  if (std::optional<TProduct> p = cart.hooks.openBarcodeKeypad()) addProduct(*p);
}

void TfmRecycle::btPrevClick() {
  if (cart.hooks.buttonPressed) cart.hooks.buttonPressed(btPrev);
  cart.prevPage();
  refreshProductList();
}

void TfmRecycle::btNextClick() {
  if (cart.hooks.buttonPressed) cart.hooks.buttonPressed(btNext);
  cart.nextPage();
  refreshProductList();
}

void TfmRecycle::tmIdleTimer() {
  // Recent input: the timer simply fires again after a full interval.
  if (cart.hooks.msSinceLastInput && cart.hooks.msSinceLastInput() < TCart::kRecentInputMs) return;
  tmIdle->stop();
  switch (cart.idleTimeout()) {
    case TCart::TIdleResult::Reset:
      done(mrCancel);
      break;
    case TCart::TIdleResult::Resumed:
    case TCart::TIdleResult::Postponed:
      startIdle();
      break;
  }
}

void TfmRecycle::tmSelectedGoodTimer() {
  tmSelectedGood->stop();
  for (TSelectedGood& g : cart.selected_goods) setLineStyle(g, false);
}

void TfmRecycle::tmPaymentImageTimer() {
  if (!paymentImageCycle.cycles()) return;
  QLabel* shown = paymentImages[size_t(paymentImageInd())];
  shown->setGraphicsEffect(nullptr);
  shown->hide();
  paymentImageCycle.next(plat::clock().nowMs());
  QLabel* logo = paymentImages[size_t(paymentImageInd())];
  auto* fade = new QGraphicsOpacityEffect(logo);
  fade->setOpacity(0);
  logo->setGraphicsEffect(fade);
  logo->show();
  tmPaymentImageFade->start();
}

void TfmRecycle::tmPaymentImageFadeTimer() {
  QLabel* logo = paymentImages[size_t(paymentImageInd())];
  const double opacity = paymentImageCycle.opacity(plat::clock().nowMs());
  if (opacity < 1) {
    if (auto* fade = qobject_cast<QGraphicsOpacityEffect*>(logo->graphicsEffect()))
      fade->setOpacity(opacity);
    return;
  }
  tmPaymentImageFade->stop();
  logo->setGraphicsEffect(nullptr);
}

void TfmRecycle::done(int r) {
  if (closing_) return;
  tmIdle->stop();
  if (!cart.closeQuery()) {
    startIdle();
    return;
  }
  closing_ = true;
  tmSelectedGood->stop();
  tmPaymentImage->stop();
  tmPaymentImageFade->stop();
  QDialog::done(r);
}

int openCart(bool show_drink_form) {
  TfmRecycle form(fmMain);
  form.show_drink_form = show_drink_form;
  fmRecycle = &form;
  const int r = form.exec();
  fmRecycle = nullptr;
  return r == mrOk ? mrOk : mrCancel;
}
