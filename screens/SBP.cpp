#include "screens/SBP.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QSaveFile>
#include <QTimer>
#include <algorithm>
#include <chrono>

#include "backoffice/JClient.h"
#include "backoffice/KernelAPI.h"
#include "kiosk/BusyIndicator.h"
#include "kiosk/Common.h"
#include "kiosk/DialogsAndMessages.h"
#include "kiosk/EventSink.h"
#include "kiosk/FormServices.h"
#include "kiosk/LogThread.h"
#include "kiosk/Main.h"
#include "kiosk/Pictures.h"
#include "kiosk/TouchButton.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "platform/MainThread.h"
#include "screens/Checkout.h"
#include "screens/Gratitude.h"
#include "screens/Pay.h"
#include "screens/PaymentMethod.h"
#include "screens/PaymentThreads.h"
#include "screens/Recycle.h"
#include "screens/ScreenLayout.h"

TfmSBP* fmSBP = nullptr;

namespace {

const char* const kSessionFailed = "Не удалось совершить платёж.";

QString messageOf(const std::exception& e) {
  return exceptionMessage(e);
}

}  // namespace

TSbpPollOutcome sbpPollOutcome(std::optional<int> status, int64_t elapsedMs, int64_t limitMs) {
  if (status && *status == 1) return TSbpPollOutcome::Paid;
  if (status && *status == 2) return TSbpPollOutcome::Refused;
  if (elapsedMs > limitMs) return TSbpPollOutcome::Expired;
  return TSbpPollOutcome::Pending;
}

// ---- TSbpPaymentThread --------------------------------------------------------

TSbpPaymentThread::TSbpPaymentThread(TSbpPaymentSetup setup, TSbpHandovers handovers)
    : setup_(std::move(setup)), handovers_(std::move(handovers)), thread_([this] { Execute(); }) {}

TSbpPaymentThread::~TSbpPaymentThread() {
  requestStop();
  waitFor();
}

void TSbpPaymentThread::requestStop() {
  {
    std::lock_guard lk(m_);
    stop_ = true;
  }
  cv_.notify_all();
}

void TSbpPaymentThread::giveUp() {
  final_check_ = true;
  requestStop();
}

std::optional<int> TSbpPaymentThread::poll(TKernelAPI& api, int64_t session, int timeout) {
  try {
    polls_.fetch_add(1);
    return api.sbpGetSessionStatus(session, timeout);
  } catch (const std::exception& e) {
    if (setup_.events) setup_.events->add(evPaymentError, messageOf(e));
  }
  return std::nullopt;
}

void TSbpPaymentThread::waitFor() {
  if (thread_.joinable()) thread_.join();
}

QString TSbpPaymentThread::qrCode() const {
  std::lock_guard lk(m_);
  return qrCode_;
}

bool TSbpPaymentThread::pause(int ms) {
  std::unique_lock lk(m_);
  cv_.wait_for(lk, std::chrono::milliseconds(std::max(0, ms)), [this] { return stop_.load(); });
  return !stop_;
}

bool TSbpPaymentThread::handOver(const std::function<void()>& fn) {
  if (!fn) return true;
  // A hand-over that raised would leave this thread waiting for good: the
  // screen's handlers report their own failures, this is the last guard.
  return plat::runOnMain(
      [&] {
        try {
          fn();
        } catch (const std::exception& e) {
          if (setup_.log) setup_.log(QStringLiteral("TfmSBP: ") + messageOf(e));
        } catch (...) {
        }
      },
      &stop_);
}

void TSbpPaymentThread::fail(const QString& message, const QString& eventText) {
  error_ = message;
  status_.store(trError, std::memory_order_release);
  if (setup_.events) setup_.events->add(evPaymentError, eventText);
  handOver(handovers_.onPaymentError);
}

void TSbpPaymentThread::Execute() {
  TJClient client;
  TKernelAPI api(&client);
  // The main client belongs to the main thread; the hand-over gives up when
  // the screen is closing, so closing never waits on it.
  const bool assigned = plat::runOnMain(
      [&] {
        if (setup_.mainClient) client.Assign(*setup_.mainClient);
        client.setShowProgress(false);
      },
      &stop_);
  if (!assigned) {
    finished_.store(true, std::memory_order_release);
    return;
  }

  QString code;
  int64_t session = 0;
  // A session of nothing or of a refund must never be opened.
  if (!(setup_.payment_amount > 0)) {
    fail(QString::fromUtf8(kBadPaymentAmount), QString::fromUtf8(kBadPaymentAmount));
    finished_.store(true, std::memory_order_release);
    return;
  }
  try {
    api.sbpGenerateQrCode(int(setup_.vm_id), setup_.payment_amount, code, session, setup_.timeout);
    if (code.trimmed().isEmpty())
      throw Exception(QStringLiteral("Сервер не вернул QR-код для оплаты."));
  } catch (const std::exception& e) {
    const QString m = messageOf(e);
    fail(m, m);
    finished_.store(true, std::memory_order_release);
    return;
  }
  {
    std::lock_guard lk(m_);
    qrCode_ = code;
  }
  sessionID_ = session;
  status_.store(trQrCodeGenerated, std::memory_order_release);
  QString notShown;
  handOver([&] {
    if (handovers_.onQrCodeGenerated) notShown = handovers_.onQrCodeGenerated();
  });
  // A code the customer cannot see cannot be paid: waiting would only keep
  // the customer standing for three minutes.
  if (!notShown.isEmpty()) {
    fail(notShown, notShown);
    finished_.store(true, std::memory_order_release);
    return;
  }
  const int64_t start = plat::clock().nowMs();

  TSbpPollOutcome outcome = TSbpPollOutcome::Pending;
  // The answer counts even when a stop came meanwhile: "paid" means the
  // customer's money is gone, and the screen's close path reads it.
  while (outcome == TSbpPollOutcome::Pending && pause(setup_.pollMs))
    outcome = sbpPollOutcome(poll(api, session, setup_.timeout), plat::clock().nowMs() - start,
                             setup_.limitMs);
  // Giving up on the session (the time limit, or the screen closes): the
  // customer may be paying at this very moment, so one more look first.
  const bool givingUp = outcome == TSbpPollOutcome::Expired ||
                        (outcome == TSbpPollOutcome::Pending && final_check_.load());
  if (givingUp) {
    const std::optional<int> last = poll(api, session, setup_.finalCheckTimeout);
    if (last && *last == 1)
      outcome = TSbpPollOutcome::Paid;
    else if (last && *last == 2)
      outcome = TSbpPollOutcome::Refused;
  }
  switch (outcome) {
    case TSbpPollOutcome::Paid:
      status_.store(trPaid, std::memory_order_release);
      handOver(handovers_.onPaymentDone);
      break;
    case TSbpPollOutcome::Refused:
    case TSbpPollOutcome::Expired:
      fail(QString(), QString::fromUtf8(kSessionFailed));
      break;
    case TSbpPollOutcome::Pending:
      break;  // stopped: the screen closes without a verdict
  }
  finished_.store(true, std::memory_order_release);
}

// ---- TfmSBP -------------------------------------------------------------------

TfmSBP::TfmSBP(QWidget* parent) : TPaymentScreen(parent) {
  setUpSaleScreenWindow(this, QStringLiteral("Оплата покупки"));

  const TSaleScreenHeader header = createSaleScreenHeader(this);
  pnTop = header.pnTop;
  lbTop = header.lbTop;
  btClose = header.btClose;
  pnSerialNumber = createSerialNumberPanel(this, lbSerialNumber, lbSupportPhone);
  lbPaymentAmount = saleScreenLabel(QString(), this, "lbPaymentAmount", true);
  lbPayment = saleScreenLabel(QStringLiteral("Сумма к оплате:"), this, "lbPayment");
  image = new QLabel(this);
  image->setObjectName(QStringLiteral("image"));
  SetPicture(image, sbpPicture);
  createErrorLines(this, lbErr1, lbErr2);
  AniIndicator = new TBusyIndicator(this);
  lbQrCode = saleScreenLabel(QStringLiteral("Формирование QR-кода..."), this, "lbQrCode", true, 40);
  imQRCode = new QLabel(this);
  imQRCode->setObjectName(QStringLiteral("imQRCode"));
  imQRCode->setAlignment(Qt::AlignCenter);
  imQRCode->hide();
  tmSound = new QTimer(this);
  tmSound->setInterval(10000);
  lbTotal = saleScreenLabel(QStringLiteral("Итого:"), this, "lbTotal");
  lbDiscount = saleScreenLabel(QStringLiteral("Скидка:"), this, "lbDiscount");
  lbCashback = saleScreenLabel(QStringLiteral("Списано баллов:"), this, "lbCashback");

  connect(btClose, &TRectangle::mouseDown, this, &TfmSBP::btCloseMouseDown);
  connect(tmSound, &QTimer::timeout, this, &TfmSBP::tmSoundTimer);

  playSound = PlayPaymentSound;
  confirmKeepWaiting = [] {
    return ConfirmOkCancel(QString::fromUtf8(kCloseQuestion), kCloseQuestionSeconds);
  };
  if (fmMain) {
    setup.mainClient = fmMain->JClient.get();
    setup.vm_id = fmMain->vm_id;
    setup.events = fmMain->logThread;
    setup.log = [](const QString& text) {
      if (fmMain) fmMain->log(text);
    };
    dataFolder = fmMain->commonAppDataFolder;
  }
  fmSBP = this;
}

TfmSBP::~TfmSBP() {
  // The worker ends before the fields its hand-overs read go.
  if (paymentThread_) {
    paymentThread_->requestStop();
    paymentThread_->waitFor();
  }
  if (fmSBP == this) fmSBP = nullptr;
}

void TfmSBP::log(const QString& text) const {
  if (setup.log) setup.log(text);
}

void TfmSBP::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (shown_) return;
  shown_ = true;
  FormShow();
}

void TfmSBP::FormShow() {
  lbErr1->hide();
  lbErr2->hide();
  layoutForm();

  TSbpPaymentSetup s = setup;
  s.payment_amount = payment_amount;
  TSbpHandovers h;
  h.onQrCodeGenerated = [this] { return onQrCodeGenerated(); };
  h.onPaymentDone = [this] { onPaymentDone(); };
  h.onPaymentError = [this] { onPaymentError(); };
  paymentThread_ = std::make_unique<TSbpPaymentThread>(std::move(s), std::move(h));
}

void TfmSBP::layoutForm() {
  const TSaleScreenArea area = fitSaleScreen(this, pnSerialNumber);
  const double W = area.width, H = area.height;
  screen_height = area.usable_height;
  const double S = screen_height;
  const bool landscape = W > H;

  showAmountLines(lbPaymentAmount, lbTotal, lbDiscount, lbCashback, payment_amount, total_amount,
                  discount, cashback);

  const double top = layoutSaleScreenHeader({pnTop, lbTop, btClose}, W, landscape);
  const double heading = FontSizeOf(lbTop);
  SetFontSize(lbPaymentAmount, heading * 1.5);
  SetFontSize(lbPayment, heading);
  for (QLabel* l : {lbTotal, lbDiscount, lbCashback}) SetFontSize(l, heading / 2);

  double y = 0;
  if (landscape) {
    FitPicture(image, QRectF(0, 1.5 * top, W / 5, top));
    lbPayment->move(int(W - top / 2 - lbPayment->width()), 0);
    y = 1.5 * top;
  } else {
    FitPicture(image, QRectF(W / 4, top + S / 8, W / 2, S / 4));
    lbPayment->move(int((W - lbPayment->width()) / 2), 0);
    y = (H + W / 3) / 2 + lbPayment->height();
  }
  for (QLabel* l : {lbTotal, lbDiscount, lbCashback}) {
    if (!l->isVisible()) continue;
    l->move(lbPayment->x(), int(y));
    y += l->height();
  }
  lbPayment->move(lbPayment->x(), int(y));
  // The amount right-aligned with its caption, 1.5 caption heights lower.
  lbPaymentAmount->move(lbPayment->x() + lbPayment->width() - lbPaymentAmount->width(),
                        int(y + 1.5 * lbPayment->height()));

  const double side = std::min(W / 3, H / 3);
  AniIndicator->setGeometry(QRectF((W - side) / 2, (H - side) / 2, side, side).toRect());
  FitFontSize(lbQrCode, W / 4);
  lbQrCode->move(0, int((H + side) / 2 + lbQrCode->height()));
  centreX(lbQrCode, 0, W);
}

QString TfmSBP::onQrCodeGenerated() {
  if (ended()) return {};
  AniIndicator->hide();
  lbQrCode->hide();
  const QSizeF screen = ScreenSize();
  const double side = std::min(screen.width() / 3, screen.height() / 3);
  imQRCode->setGeometry(int((screen.width() - side) / 2), int((screen.height() - side) / 2),
                        int(side), int(side));
  try {
    generateQRCode(paymentThread_ ? paymentThread_->qrCode() : QString());
  } catch (const std::exception& e) {
    return exceptionMessage(e);
  }
  imQRCode->show();
  if (playSound) playSound(QStringLiteral("payment_invite.wav"), true);
  tmSound->start();
  return {};
}

void TfmSBP::generateQRCode(const QString& text) {
  QRCodeBitmap = ::generateQRCode(text);
  // Whole pixels per module keep the code sharp for the phone's camera.
  const int side = std::max(1, std::min(imQRCode->width(), imQRCode->height()));
  const int scale = std::max(1, side / std::max(1, QRCodeBitmap.width()));
  imQRCode->setPixmap(QPixmap::fromImage(QRCodeBitmap.scaled(
      QRCodeBitmap.size() * scale, Qt::KeepAspectRatio, Qt::FastTransformation)));

  // The file is a copy for whoever looks into the data folder; the code on
  // the screen never depends on it.
  const QString path = QDir(dataFolder).filePath(QStringLiteral("sbp.bmp"));
  QDir().mkpath(dataFolder);
  QSaveFile f(path);
  if (!(f.open(QIODevice::WriteOnly) && QRCodeBitmap.save(&f, "BMP") && f.commit()))
    log(QStringLiteral("Cannot write ") + path);
}

void TfmSBP::onPaymentDone() {
  show_gratitude_and_close();
}

void TfmSBP::show_gratitude_and_close() {
  tmSound->stop();
  finishPaid(checkout);
}

void TfmSBP::reportCheckoutFailure(const QString& text) {
  log(QStringLiteral("Checkout after SBP payment: ") + text);
  if (setup.events) setup.events->add(evInformation, text);
}

void TfmSBP::onPaymentError() {
  if (ended()) return;
  tmSound->stop();
  AniIndicator->hide();
  lbQrCode->hide();
  imQRCode->hide();
  const QString text = paymentThread_ ? paymentThread_->error() : QString();
  const double W = ScreenSize().width();
  FitFontSize(lbErr1, W * 2 / 3);
  lbErr1->move(int((W - lbErr1->width()) / 2), 0);
  lbErr2->setText(text);
  lbErr2->setVisible(!text.isEmpty());
  if (!text.isEmpty()) fitErrorText(lbErr2, lbErr1, W * 2 / 3);
  lbErr2->adjustSize();
  lbErr2->move(lbErr1->x(), int(screen_height - 1.5 * lbErr1->height()));
  lbErr1->move(lbErr1->x(), lbErr2->y() - lbErr1->height());
  lbErr1->show();
  repaint();
  if (playSound) playSound(QStringLiteral("payment_error.wav"), false);
  // The screen keeps painting while the error shows; a close meanwhile takes
  // the same path.
  QTimer::singleShot(errorDisplayMs, this, [this] { FormClose(); });
}

void TfmSBP::btCloseMouseDown() {
  if (ended() || busy()) return;
  if (fmMain) fmMain->buttonPressed(btClose);
  const bool keepWaiting = !confirmKeepWaiting || confirmKeepWaiting();
  // The session may have ended while the question was open.
  if (keepWaiting || ended()) return;
  FormClose();
}

void TfmSBP::tmSoundTimer() {
  if (playSound) playSound(QStringLiteral("payment_invite_2.wav"), true);
}

bool TfmSBP::stopWork() {
  tmSound->stop();
  if (!paymentThread_) return false;
  paymentThread_->giveUp();
  // The last look and a request in flight end within their time-outs; the
  // screen keeps painting meanwhile, and a hand-over taken before the stop
  // still runs.
  while (!paymentThread_->finished()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  paymentThread_->waitFor();
  // Paid while the screen was closing: the hand-over was refused, the sale
  // is made by the close path.
  return paymentThread_->status() == TSbpPaymentThread::trPaid;
}

// ---- the cart's operation -----------------------------------------------------

int runSbpPaymentScreen() {
  TfmRecycle* cart = fmRecycle;
  if (!cart) return TfmSBP::mrCancel;
  const TCheckoutSale sale = cart->checkoutSale(TPaymentMethod::SBP);
  // A session must never be opened for nothing or for a refund.
  if (!(sale.payment_amount > 0)) throw Exception(QString::fromUtf8(kBadPaymentAmount));
  TfmSBP form(cart);
  form.payment_amount = sale.payment_amount;
  form.total_amount = sale.total_amount;
  form.discount = sale.discount;
  form.cashback = sale.cashback;
  form.checkout = [sale] { runKioskCheckout(sale, false); };
  const int r = form.exec();
  return r == TfmSBP::mrOk ? TfmSBP::mrOk : TfmSBP::mrCancel;
}
