#include "screens/Gratitude.h"

#include <ZXing/BarcodeFormat.h>
#include <ZXing/BitMatrix.h>
#include <ZXing/MultiFormatWriter.h>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QLabel>
#include <QPainter>
#include <QSaveFile>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>

#include "backoffice/JClient.h"
#include "backoffice/WireValue.h"
#include "kiosk/BusyIndicator.h"
#include "kiosk/Common.h"
#include "kiosk/EventSink.h"
#include "kiosk/Main.h"
#include "kiosk/Pictures.h"
#include "kiosk/TouchButton.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "screens/ScreenLayout.h"

TfmGratitude* fmGratitude = nullptr;

namespace {

int64_t toKopecks(double roubles) {
  return int64_t(std::nearbyint(roubles * 100));
}

QString messageOf(const std::exception& e) {
  if (auto* ex = dynamic_cast<const Exception*>(&e)) return ex->message();
  return QString::fromLocal8Bit(e.what());
}

// The event of a sale whose report went out and whose answer never came (the
// close cut it off, or it timed out): the back office may have made the check.
QString checkInDoubtText(double payment_amount, const QString& reason) {
  const QString amount = payment_amount > 0
                             ? QStringLiteral(" на сумму %1 руб.").arg(payment_amount, 0, 'f', 2)
                             : QString();
  return QStringLiteral("Не получен ответ на запрос кассового чека") + amount +
         QStringLiteral(" (") + reason +
         QStringLiteral("): запрос отправлен, чек мог быть сформирован.");
}

}  // namespace

// Works in whole kopecks, as the report carries them: cutting doubles to
// kopecks and comparing them exactly leaves stray fractions that make the
// sum miss the amount paid by a kopeck.
void distributePaymentAmount(std::vector<TSaleReportPosition>& goods, double payment_amount) {
  const int64_t paid = std::max<int64_t>(0, toKopecks(payment_amount));
  std::vector<int64_t> price(goods.size());
  int64_t sum = 0;
  qsizetype first = -1;  // the first position with units: it takes the leftover
  for (size_t i = 0; i < goods.size(); ++i) {
    price[i] = std::max<int64_t>(0, toKopecks(goods[i].price));
    const int64_t q = std::max(0, goods[i].quantity);
    sum += price[i] * q;
    if (first < 0 && q > 0) first = qsizetype(i);
  }
  if (sum == 0 || sum == paid || first < 0) return;

  int64_t cut = 0;
  for (size_t i = 0; i < goods.size(); ++i) {
    price[i] = int64_t(static_cast<__int128>(price[i]) * paid / sum);
    cut += price[i] * std::max(0, goods[i].quantity);
    goods[i].price = double(price[i]) / 100;
  }
  // Cutting loses less than a kopeck per unit, so the leftover is small and
  // never negative.
  int64_t left = paid - cut;
  if (left == 0) return;
  TSaleReportPosition& f = goods[size_t(first)];
  const int64_t q = f.quantity;
  price[size_t(first)] += left / q;
  left %= q;
  f.price = double(price[size_t(first)]) / 100;
  if (left == 0) return;
  // The rest does not divide among the units: one unit goes apart with it.
  f.quantity -= 1;
  TSaleReportPosition unit = f;
  unit.quantity = 1;
  unit.price = double(price[size_t(first)] + left) / 100;
  goods.push_back(unit);
}

QString receiptQrText(const TCheckInfo& check, double payment_amount) {
  const QDateTime dt = daysToDateTime(check.dt);
  const int64_t kop = toKopecks(payment_amount);
  const int64_t whole = std::llabs(kop);
  const QString amount = QStringLiteral("%1%2.%3")
                             .arg(kop < 0 ? QStringLiteral("-") : QString())
                             .arg(whole / 100)
                             .arg(whole % 100, 2, 10, QLatin1Char('0'));
  return QStringLiteral("t=") + dt.toString(QStringLiteral("yyyyMMdd")) + u'T' +
         dt.toString(QStringLiteral("HHmm")) + QStringLiteral("&s=") + amount +
         QStringLiteral("&fn=") + check.fnSerialNumber + QStringLiteral("&i=") +
         QString::number(check.fdNumber) + QStringLiteral("&fp=") + QString::number(check.fp) +
         QStringLiteral("&n=1");
}

QImage generateQRCode(const QString& text) {
  ZXing::BitMatrix m;
  try {
    ZXing::MultiFormatWriter writer(ZXing::BarcodeFormat::QRCode);
    // Level 1 of the writer's 0..8 scale is the code's level L.
    writer.setEccLevel(1).setMargin(1);
    m = writer.encode(text.toStdString(), 0, 0);
  } catch (const std::exception& e) {
    throw Exception(QStringLiteral("Не удалось построить QR-код: ") +
                    QString::fromLocal8Bit(e.what()));
  }
  QImage img(m.width(), m.height(), QImage::Format_Grayscale8);
  for (int y = 0; y < m.height(); ++y) {
    uchar* row = img.scanLine(y);
    for (int x = 0; x < m.width(); ++x) row[x] = m.get(x, y) ? 0 : 255;
  }
  return img;
}

TCheckCreationSetup makeCheckCreationSetup(const std::vector<TSaleLine>& lines,
                                           double payment_amount, qint64 vm_id) {
  TCheckCreationSetup s;
  s.pmVmId = QString::number(vm_id);
  s.payment_amount = payment_amount;
  for (const TSaleLine& l : lines)
    s.goods.push_back({l.product.nomenclature_id, l.product.name, l.product.price, l.quantity});
  distributePaymentAmount(s.goods, payment_amount);
  return s;
}

// ---- TCheckCreationThread ---------------------------------------------------

TSaleWorkers& TCheckCreationThread::running() {
  // Made with the first check, so it goes at the program's exit before
  // anything that existed by then; a check still running is stopped and
  // joined first.
  static TSaleWorkers checks;
  return checks;
}

std::shared_ptr<TCheckCreationThread> TCheckCreationThread::start(TCheckCreationSetup setup) {
  std::shared_ptr<TCheckCreationThread> worker(new TCheckCreationThread(std::move(setup)));
  running().start([worker] { worker->Execute(); }, [worker] { worker->requestStop(); });
  return worker;
}

TCheckCreationThread::TCheckCreationThread(TCheckCreationSetup setup)
    : setup_(std::move(setup)), client_(std::make_unique<TJClient>()) {
  // On the main thread, which owns the main client: the worker then never
  // waits for the main thread, so the program may wait for it at exit.
  if (setup_.mainClient) client_->Assign(*setup_.mainClient);
  client_->setShowProgress(false);
}

TCheckCreationThread::~TCheckCreationThread() = default;

bool TCheckCreationThread::waitForAll(int64_t timeoutMs) {
  return running().waitForAll(timeoutMs);
}

bool TCheckCreationThread::stopAll(int64_t timeoutMs) {
  running().requestStopAll();
  return running().waitForAll(timeoutMs);
}

void TCheckCreationThread::requestStop() {
  {
    std::lock_guard lk(m_);
    stop_ = true;
  }
  cv_.notify_all();
  interrupt_.interrupt();
}

bool TCheckCreationThread::pause(int ms) {
  std::unique_lock lk(m_);
  cv_.wait_for(lk, std::chrono::milliseconds(std::max(0, ms)), [this] { return stop_.load(); });
  return !stop_;
}

void TCheckCreationThread::Execute() {
  // One moment for the whole sale: every resend must be the same report.
  const double dt = dateTimeToDays(QDateTime::currentDateTime());
  TJClient& client = *client_;
  TClientInterrupt::Scope stoppable(interrupt_, &client);
  TKernelAPI api(&client);

  auto report = [&](int64_t firmId) {
    reportsSent_.fetch_add(1);
    return api.sendSaleReportToCashRegister(true, dt, 0, setup_.pmVmId, firmId, 0,
                                            setup_.payment_amount, setup_.goods, kTimeout);
  };

  bool created = false;
  int64_t firmId = 0;
  // Why the check was not made, when it was not: the last try's failure, or
  // the close that broke the tries off.
  QString undone;
  // A report went out whole and no answer of the back office came back to
  // it: the check may well exist, and whoever reads the event must not make
  // a second receipt on the word "not made". Kept for the later tries, which
  // cannot tell that the earlier one was not made.
  bool answerLost = false;
  for (int attempt = 1; attempt <= kTries; ++attempt) {
    if (stop_) {
      undone = TSaleWorkers::closingMessage();
      break;
    }
    bool reporting = false;
    try {
      const QString firm = client.getConst(kFirmIdConst, kTimeout).trimmed();
      bool ok = false;
      firmId = firm.toLongLong(&ok);
      if (!ok)
        throw Exception(QStringLiteral("Неверный идентификатор организации \"%1\".").arg(firm));
      reporting = true;
      checkInfo_ = report(firmId);
      created = true;
      break;
    } catch (const std::exception& e) {
      // The back office's own refusal is an answer; any other failure after
      // the report went out leaves its outcome unknown.
      if (reporting && client.requestSent() && !dynamic_cast<const EServerError*>(&e))
        answerLost = true;
      error_ = messageOf(e);
      if (setup_.log) setup_.log(QStringLiteral("TCheckCreationThread: ") + error_);
      if (stop_) {
        undone = TSaleWorkers::closingMessage();
        break;
      }
      if (attempt == kTries) {
        undone = error_;
        break;
      }
      if (!pause(setup_.retryPauseMs)) {
        undone = TSaleWorkers::closingMessage();
        break;
      }
    }
  }
  // A paid sale left without its check: the back office must learn of it,
  // from this copy, before a new one takes over.
  if (!created && setup_.events)
    setup_.events->add(1, answerLost ? checkInDoubtText(setup_.payment_amount, undone)
                                     : QStringLiteral("Не удалось сформировать кассвый чек (") +
                                           undone + QStringLiteral(")."));

  // The back office may give the fiscal data only a moment after the check.
  for (int pass = 0; created && pass < kResends && checkInfo_.id > 0 && checkInfo_.fdNumber == 0;
       ++pass) {
    if (!pause(setup_.resendPauseMs)) break;
    try {
      checkInfo_ = report(firmId);
    } catch (const std::exception& e) {
      if (setup_.log) setup_.log(QStringLiteral("TCheckCreationThread resend: ") + messageOf(e));
    }
  }
  try {
    client.close();
  } catch (...) {
  }
  finished_.store(true, std::memory_order_release);
}

// ---- TfmGratitude -----------------------------------------------------------

namespace {

QLabel* boldLabel(const QString& text, QWidget* parent, const char* name) {
  return saleScreenLabel(text, parent, name, true, 40);
}

}  // namespace

TfmGratitude::TfmGratitude(QWidget* parent) : QDialog(parent) {
  setUpSaleScreenWindow(this, QStringLiteral("Успешная оплата"));

  pnTop = new TRectangle(this);
  pnTop->setFillColor(Qt::white);
  lbGratitude = boldLabel(QStringLiteral("Спасибо за покупку!"), pnTop, "lbGratitude");
  line = new TRectangle(this);
  line->setFillColor(Qt::lightGray);
  btClose = new TRectangle(this);
  btClose->setObjectName(QStringLiteral("btClose"));
  btClose->setFillColor(Qt::white);
  auto* cross = new QLabel(btClose);
  SetPicture(cross, crossPicture);
  lbCheck = boldLabel(QStringLiteral("Формирование чека..."), this, "lbCheck");
  AniIndicator = new TBusyIndicator(this);
  tmClose = new QTimer(this);
  tmClose->setSingleShot(true);
  tmCheck = new QTimer(this);
  tmCheck->setInterval(500);
  imQRCode = new QLabel(this);
  imQRCode->setObjectName(QStringLiteral("imQRCode"));
  imQRCode->setAlignment(Qt::AlignCenter);
  imQRCode->hide();
  pnSerialNumber = createSerialNumberPanel(this, lbSerialNumber, lbSupportPhone);

  connect(tmCheck, &QTimer::timeout, this, &TfmGratitude::tmCheckTimer);
  connect(tmClose, &QTimer::timeout, this, &TfmGratitude::tmCloseTimer);
  connect(btClose, &TRectangle::mouseDown, this, &TfmGratitude::btCloseMouseDown);

  if (fmMain) {
    vm_id = fmMain->vm_id;
    mainClient = fmMain->JClient.get();
    vekta_qr_code_delay = fmMain->vekta_qr_code_delay;
    dataFolder = fmMain->commonAppDataFolder;
    // The worker may end after this screen: it holds the sinks, never the
    // main form.
    events = fmMain->eventGate();
    log = fmMain->logSink();
    create_checks = fmMain->globalText(QStringLiteral("create_checks")).toInt() == 1;
    // The program is closing: the screen goes, the check goes on in the
    // background within the close's grace.
    connect(fmMain, &TfmMain::closeRequested, this, [this] { done(QDialog::Accepted); });
  }
  fmGratitude = this;
}

TfmGratitude::~TfmGratitude() {
  // The sale is paid: its check goes on in the background whatever becomes
  // of the screen.
  if (fmGratitude == this) fmGratitude = nullptr;
}

void TfmGratitude::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (shown_) return;
  shown_ = true;
  FormShow();
}

void TfmGratitude::FormShow() {
  FormShowSteps();
  // A close that waits for this sale: the check has started, so nothing is
  // left to wait for here.
  if (fmMain && fmMain->closePending())
    QTimer::singleShot(0, this, [this] { done(QDialog::Accepted); });
}

void TfmGratitude::FormShowSteps() {
  const TSaleScreenArea area = fitSaleScreen(this, pnSerialNumber);
  const double W = area.width;
  screen_height = area.usable_height;
  const double S = screen_height;

  FitFontSize(lbGratitude, W / 1.5);
  const int gh = lbGratitude->height();
  pnTop->setGeometry(0, 0, int(W), gh);
  lbGratitude->move(int((W - lbGratitude->width()) / 2), 0);
  btClose->setGeometry(int(W - gh - gh / 8.0), int(gh / 8.0), gh, gh);
  FitPicture(btClose->findChild<QLabel*>(), QRectF(gh / 4, gh / 4, gh / 2, gh / 2));
  btClose->raise();

  auto placeThanksAndLine = [&] {
    pnTop->move(0, int((S / 4 - gh) / 2));
    line->setGeometry(int((W - W / 1.5) / 2), int(S / 4), int(W / 1.5), 2);
  };

  const bool wantCheck = !disable_check_creation && create_checks;
  if (wantCheck) {
    placeThanksAndLine();
    FitFontSize(lbCheck, W / 3);
    lbCheck->move(int((W - lbCheck->width()) / 2), int(S / 4 + gh));
    AniIndicator->setGeometry(int((W - 2 * gh) / 2), int(S * 3 / 4 - gh), 2 * gh, 2 * gh);
    AniIndicator->show();

    TCheckCreationSetup s = makeCheckCreationSetup(goods, payment_amount, vm_id);
    s.mainClient = mainClient;
    s.events = events;
    s.log = log;
    s.retryPauseMs = retryPauseMs;
    s.resendPauseMs = resendPauseMs;
    worker_ = TCheckCreationThread::start(std::move(s));
    tmCheck->start();
    return;
  }

  AniIndicator->hide();
  if (balance_message.isEmpty()) {
    pnTop->move(0, int((S - gh) / 2));
    line->hide();
    lbCheck->hide();
  } else {
    lbCheck->setText(balance_message);
    FitFontSize(lbCheck, W / 2);
    placeThanksAndLine();
    lbCheck->move(int((W - lbCheck->width()) / 2),
                  int(S / 4 + (S * 3 / 4 - lbCheck->height()) / 2));
  }
  tmClose->start(kThanksOnlyMs);
}

void TfmGratitude::tmCheckTimer() {
  if (!worker_ || !worker_->finished()) return;
  tmCheck->stop();
  checkInfo = worker_->checkInfo();
  check_creation_error = worker_->check_creation_error();
  int delayMs = kNoReceiptMs;
  if (checkInfo.fdNumber != 0) {
    try {
      showReceipt();
      delayMs = std::max(0, vekta_qr_code_delay) * 1000;
    } catch (const std::exception& e) {
      if (log) log(QStringLiteral("Receipt QR code: ") + messageOf(e));
    }
  }
  tmClose->start(delayMs);
}

void TfmGratitude::showReceipt() {
  const double W = ScreenSize().width();
  const double S = screen_height;
  lbCheck->setText(QStringLiteral("QR-код чека:"));
  lbCheck->adjustSize();
  lbCheck->move(int((W - lbCheck->width()) / 2), lbCheck->y());
  AniIndicator->hide();
  receiptText = receiptQrText(checkInfo, payment_amount);
  QRCodeBitmap = generateQRCode(receiptText);

  const double top = lbCheck->y() + lbCheck->height();
  const double h = (S - top) * 2 / 3, w = W * 2 / 3;
  imQRCode->setGeometry(int((W - w) / 2), int(top + (S - top - h) / 2), int(w), int(h));
  // Whole pixels per module keep the code sharp for the phone's camera.
  const int side = std::max(1, int(std::min(w, h)));
  const int scale = std::max(1, side / std::max(1, QRCodeBitmap.width()));
  imQRCode->setPixmap(QPixmap::fromImage(QRCodeBitmap.scaled(
      QRCodeBitmap.size() * scale, Qt::KeepAspectRatio, Qt::FastTransformation)));
  imQRCode->show();

  // The file is a copy for whoever looks into the data folder; the screen
  // never depends on it.
  const QString path = QDir(dataFolder).filePath(QStringLiteral("qr.bmp"));
  QDir().mkpath(dataFolder);
  QSaveFile f(path);
  if (!(f.open(QIODevice::WriteOnly) && QRCodeBitmap.save(&f, "BMP") && f.commit()) && log)
    log(QStringLiteral("Cannot write ") + path);
}

void TfmGratitude::tmCloseTimer() {
  done(QDialog::Accepted);
}

void TfmGratitude::btCloseMouseDown() {
  if (fmMain) fmMain->buttonPressed(btClose);
  done(QDialog::Accepted);
}

void TfmGratitude::FormClose() {
  tmCheck->stop();
  tmClose->stop();
  // Closed before the check was made (the customer's "×"): the sale is paid,
  // so the check goes on in the background within its tries.
}

void TfmGratitude::done(int r) {
  if (closing_) return;
  closing_ = true;
  FormClose();
  QDialog::done(r);
  closing_ = false;
}

void TfmGratitude::closeEvent(QCloseEvent* e) {
  if (closing_) {
    e->ignore();
    return;
  }
  done(QDialog::Accepted);
  e->accept();
}
