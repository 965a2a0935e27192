#include "kiosk/Expectation.h"

#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QTimer>
#include <algorithm>
#include <cmath>

#include "backoffice/JClient.h"
#include "kiosk/Common.h"
#include "kiosk/EventSink.h"
#include "kiosk/KioskHooks.h"
#include "kiosk/Pictures.h"
#include "kiosk/Screensaver.h"
#include "kiosk/ServicePassword.h"
#include "kiosk/SoftwareUpdate.h"
#include "kiosk/TouchButton.h"
#include "platform/AppPaths.h"
#include "platform/Clock.h"
#include "platform/Common.h"

TfmExpectation* fmExpectation = nullptr;

// --- plain logic -------------------------------------------------------------

bool TConfigRefreshSchedule::isDue(int64_t nowMs, bool requested) const {
  if (requested) return true;
  if (retryDelay_ > 0) return nowMs - lastFailure_ >= retryDelay_;
  return !lastSuccess_ || nowMs - *lastSuccess_ >= kRefreshIntervalMs;
}

void TConfigRefreshSchedule::succeeded(int64_t nowMs) {
  lastSuccess_ = nowMs;
  retryDelay_ = 0;
}

void TConfigRefreshSchedule::failed(int64_t nowMs) {
  lastFailure_ = nowMs;
  retryDelay_ = retryDelay_ == 0 ? kFirstRetryMs : std::min(retryDelay_ * 2, kMaxRetryMs);
}

void TConfigRefresher::start(int64_t nowMs, const QDateTime& nowDt) {
  lastSeenLoadDt_ = lastLoadDt ? lastLoadDt() : QDateTime();
  if (!lastSeenLoadDt_.isValid()) {
    schedule_ = TConfigRefreshSchedule();
    return;
  }
  // The load's age in wall-clock time, taken once; from here on only the
  // monotonic clock counts, so a clock set back cannot hold the reload off.
  const int64_t age = std::max<int64_t>(0, lastSeenLoadDt_.msecsTo(nowDt));
  schedule_ = TConfigRefreshSchedule(nowMs - age);
}

bool TConfigRefresher::tick(int64_t nowMs, bool& requested) {
  const QDateTime seen = lastLoadDt ? lastLoadDt() : QDateTime();
  if (seen != lastSeenLoadDt_) {
    lastSeenLoadDt_ = seen;
    if (seen.isValid()) schedule_.succeeded(nowMs);
  }
  if (!schedule_.isDue(nowMs, requested)) return false;
  requested = false;
  try {
    if (refreshConfig) refreshConfig();
    schedule_.succeeded(plat::clock().nowMs());
  } catch (const std::exception& e) {
    schedule_.failed(plat::clock().nowMs());
    if (reportError) reportError(refreshErrorText(exceptionMessage(e)));
  } catch (...) {
    // Whatever failed, the tick must go on: the timer restarts after it.
    schedule_.failed(plat::clock().nowMs());
    if (reportError) reportError(refreshErrorText(QStringLiteral("Неизвестная ошибка.")));
  }
  lastSeenLoadDt_ = lastLoadDt ? lastLoadDt() : QDateTime();
  return true;
}

QString refreshErrorText(const QString& message) {
  return QStringLiteral("Ошибка обновления конфигурации (") + message + QStringLiteral(").");
}

bool reviseTotalsDue(TPOSType pos_type, const QDateTime& last_revise_totals_dt,
                     const QDateTime& now) {
  if (pos_type != ptSber) return false;
  return !last_revise_totals_dt.isValid() || last_revise_totals_dt.secsTo(now) >= 43200;
}

QString clockText(const QTime& time) {
  return time.toString(QStringLiteral("hh:mm"));
}

QString dateText(const QDate& date) {
  return DayOfWeekName(date.dayOfWeek()) + QStringLiteral(", ") + QString::number(date.day()) +
         QLatin1Char(' ') + MonthNameGenitive(date.month());
}

bool cardNoticeShown(TPOSType pos_type, const QTime& time) {
  if (pos_type != ptNone) return false;
  const auto seconds = std::llround(time.msecsSinceStartOfDay() / 1000.0);
  return seconds % 6 < 3;
}

bool screensaverEnabled(int wallpaper_delay, int wallpaper_period, const QStringList& files) {
  return wallpaper_delay > 0 && wallpaper_period > 0 && !files.isEmpty();
}

TBottomBarLayout layoutBottomBar(double W, double barHeight, bool drinkVisible,
                                 bool barcodeVisible) {
  TBottomBarLayout out;
  out.visible = drinkVisible || barcodeVisible;
  if (!out.visible) return out;
  const double h = barHeight * 2 / 3;
  const double y = (barHeight - h) / 2;
  if (drinkVisible != barcodeVisible) {
    const QRectF one((W - W / 2) / 2, y, W / 2, h);
    (drinkVisible ? out.drink : out.barcode) = one;
    return out;
  }
  // Equal gaps left, between and right.
  const double w = W * 4 / 9;
  const double gap = (W - 2 * w) / 3;
  out.drink = QRectF(gap, y, w, h);
  out.barcode = QRectF(W - w - gap, y, w, h);
  return out;
}

TInvitationLayout layoutInvitation(double usableHeight, double topHeight, double bottomHeight,
                                   double lineHeight, bool hasDrinks) {
  TInvitationLayout out;
  out.lb4Visible = hasDrinks;
  const int lines = hasDrinks ? 4 : 3;
  out.lb3Text =
      hasDrinks ? QStringLiteral("на упаковке товара или") : QStringLiteral("на упаковке товара");
  const double g = (usableHeight - topHeight - bottomHeight - lines * lineHeight) / (lines + 1);
  double top = topHeight + g;
  for (int i = 0; i < lines; ++i) {
    out.tops[i] = top;
    top += lineHeight + g;
  }
  return out;
}

// --- the form ----------------------------------------------------------------

namespace {

const QColor kFormColor(0xE0, 0xE0, 0xE0);
const QColor kBarColor(0xDE, 0xB8, 0x87);     // burlywood
const QColor kButtonText(0xB8, 0x86, 0x0B);   // dark goldenrod
const QColor kNoticeColor(0xFF, 0x7F, 0x50);  // coral

QLabel* makeLabel(const QString& text, const QColor& color, double points, bool bold,
                  QWidget* parent, const char* name) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(QLatin1String(name));
  l->setTextFormat(Qt::PlainText);
  l->setWordWrap(false);
  QPalette pal = l->palette();
  pal.setColor(QPalette::WindowText, color);
  l->setPalette(pal);
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPointSizeF(points);
  f.setBold(bold);
  l->setFont(f);
  l->adjustSize();
  return l;
}

QTimer* makeTimer(QObject* parent, int intervalMs, const char* name) {
  auto* t = new QTimer(parent);
  t->setObjectName(QLatin1String(name));
  t->setInterval(intervalMs);
  return t;
}

TTouchButton* makeButton(const QString& text, TPicture picture, QWidget* parent, const char* name) {
  auto* b = new TTouchButton(text, parent);
  b->setObjectName(QLatin1String(name));
  QLabel* l = b->label();
  l->setTextFormat(Qt::PlainText);
  QPalette pal = l->palette();
  pal.setColor(QPalette::WindowText, kButtonText);
  l->setPalette(pal);
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPointSizeF(25);
  f.setBold(true);
  l->setFont(f);
  b->setPicture(picture);
  return b;
}

}  // namespace

TfmExpectation::TfmExpectation(QWidget* parent) : QDialog(parent), hooks_(kioskHooks()) {
  setObjectName(QStringLiteral("fmExpectation"));
  setWindowTitle(QStringLiteral("Главная страница"));
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, kFormColor);
  setPalette(pal);

  lb1 = makeLabel(QStringLiteral("Пожалуйста, "), Qt::gray, 40, false, this, "lb1");
  lb2 = makeLabel(QStringLiteral("отсканируйте штрих-код"), Qt::black, 40, false, this, "lb2");
  lb3 = makeLabel(QStringLiteral("на упаковке товара или"), Qt::gray, 40, false, this, "lb3");
  pnTop = new TRectangle(this);
  pnTop->setObjectName(QStringLiteral("pnTop"));
  pnTop->setFillColor(kBarColor);
  pnTop->setStroke(Qt::gray, 1, Qt::BottomEdge);
  pnBottom = new TRectangle(this);
  pnBottom->setObjectName(QStringLiteral("pnBottom"));
  pnBottom->setFillColor(kBarColor);
  pnBottom->setStroke(Qt::gray, 1, Qt::TopEdge);
  lbCurrentTime = makeLabel(QStringLiteral("00:00"), Qt::white, 40, true, pnTop, "lbCurrentTime");
  lbCurrentDate =
      makeLabel(QStringLiteral("Суббота, 5 сентября"), Qt::white, 30, true, pnTop, "lbCurrentDate");
  lb4 = makeLabel(QStringLiteral("выберите напиток"), Qt::black, 40, false, this, "lb4");
  tmCurrentTime = makeTimer(this, 1000, "tmCurrentTime");
  btDrink = makeButton(QStringLiteral("Выбрать напиток"), cupPicture, pnBottom, "btDrink");
  tmReopenApplication = makeTimer(this, 5000, "tmReopenApplication");
  tmRefreshConfig = makeTimer(this, kRefreshTickMs, "tmRefreshConfig");
  pnSerialNumber = new TRectangle(this);
  pnSerialNumber->setObjectName(QStringLiteral("pnSerialNumber"));
  pnSerialNumber->setFillColor(Qt::black);
  lbSerialNumber = makeLabel(QString(), Qt::darkGray, 15, false, pnSerialNumber, "lbSerialNumber");
  lbSupportPhone = makeLabel(QString(), Qt::darkGray, 15, false, pnSerialNumber, "lbSupportPhone");
  tmWallpaper = makeTimer(this, 0, "tmWallpaper");
  tmError = makeTimer(this, 1000, "tmError");
  lbError = makeLabel(QString(), kNoticeColor, 15, false, pnSerialNumber, "lbError");
  btBarcode = makeButton(QStringLiteral("Ввести штрих-код"), keypadPicture, pnBottom, "btBarcode");

  connect(tmCurrentTime, &QTimer::timeout, this, &TfmExpectation::tmCurrentTimeTimer);
  connect(tmError, &QTimer::timeout, this, &TfmExpectation::tmErrorTimer);
  connect(tmRefreshConfig, &QTimer::timeout, this, &TfmExpectation::tmRefreshConfigTimer);
  connect(tmWallpaper, &QTimer::timeout, this, &TfmExpectation::tmWallpaperTimer);
  connect(tmReopenApplication, &QTimer::timeout, this, &TfmExpectation::tmReopenApplicationTimer);
  connect(btBarcode, &TRectangle::mouseDown, this, &TfmExpectation::btBarcodeMouseDown);
  connect(btDrink, &TRectangle::mouseDown, this, &TfmExpectation::btDrinkMouseDown);
  lbCurrentTime->installEventFilter(this);
  tmCurrentTime->start();
  tmError->start();

  refresher_.refreshConfig = [] {
    if (fmMain) fmMain->refreshConfig();
  };
  refresher_.lastLoadDt = [] { return fmMain ? fmMain->last_refresh_config_dt : QDateTime(); };
  refresher_.reportError = [](const QString& text) {
    if (!fmMain) return;
    fmMain->log(text);
    if (fmMain->logThread) fmMain->logThread->add(1, text);
  };
  refresher_.start(plat::clock().nowMs(), QDateTime::currentDateTime());

  FitFormToMainForm(this);
  pnSerialNumber->setGeometry(0, height() - 48, width(), 48);
  FormCreate();
  fmExpectation = this;
}

TfmExpectation::~TfmExpectation() {
  // The worker hands its result to this form; it ends before the form goes.
  softwareUpdate_.reset();
  if (fmExpectation == this) fmExpectation = nullptr;
}

void TfmExpectation::FormCreate() {
  isFirstControlLocationsUpdate = true;
  tmCurrentTimeTimer();
  updateControlLocations();
  lbError->hide();
  // The first check comes as soon as the screen is up: a kiosk started from
  // its cache tries the server at once.
  tmRefreshConfig->setInterval(10);
  tmRefreshConfig->start();
}

void TfmExpectation::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (shown_) return;
  shown_ = true;
  FormShow();
}

void TfmExpectation::FormShow() {
  if (fmMain && !softwareUpdate_) {
    TSoftwareUpdateContext ctx;
    ctx.synchronize = [](TJClient& client) {
      if (fmMain && fmMain->JClient) client.Assign(*fmMain->JClient);
    };
    ctx.installed = [this] { tmReopenApplication->start(); };
    ctx.log = [](const QString& text) {
      if (fmMain) fmMain->log(text);
    };
    ctx.report = [gate = fmMain->eventGate()](const QString& text) {
      if (gate) gate->add(1, text);
    };
    softwareUpdate_ = std::make_unique<TSoftwareUpdateThread>(std::move(ctx));
    softwareUpdate_->start();
  }
  if (fmMain)
    fmMain->log(QStringLiteral("Открыта главная страница: напитков %1, снеков %2")
                    .arg(fmMain->drinks.size())
                    .arg(fmMain->snacks.size()));
}

void TfmExpectation::changeEvent(QEvent* e) {
  QDialog::changeEvent(e);
  if (e->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
}

void TfmExpectation::FormActivate() {
  // Every return to the home screen restarts the idle countdown of the
  // screensaver; touches on the background do not.
  tmWallpaper->stop();
  if (!fmMain) return;
  tmWallpaper->setInterval(fmMain->wallpaper_delay * 1000);
  if (screensaverEnabled(fmMain->wallpaper_delay, fmMain->wallpaper_period,
                         fmMain->wallpaper_files))
    tmWallpaper->start();
}

bool TfmExpectation::inFront() const {
  // The modal stack rather than window focus: a sale, a dialog or the service
  // menu is always a modal window above the home screen, also where the
  // platform reports no active window (no window manager, offscreen).
  QWidget* top = QApplication::activeModalWidget();
  return top == this || (fmWallpaper && top == fmWallpaper);
}

// --- timers ------------------------------------------------------------------

void TfmExpectation::tmCurrentTimeTimer() {
  const QDateTime now = QDateTime::currentDateTime();
  lbCurrentTime->setText(clockText(now.time()));
  lbCurrentDate->setText(dateText(now.date()));
  lbCurrentTime->adjustSize();
  lbCurrentDate->adjustSize();
  const double h = pnTop->height();
  const double margin = lbCurrentDate->height() / 4.0;
  lbCurrentTime->move(QPointF(margin, (h - lbCurrentTime->height()) / 2).toPoint());
  lbCurrentDate->move(
      QPointF(pnTop->width() - lbCurrentDate->width() - margin, (h - lbCurrentDate->height()) / 2)
          .toPoint());
}

void TfmExpectation::tmErrorTimer() {
  showCardNotice(QTime::currentTime());
}

void TfmExpectation::showCardNotice(const QTime& now) {
  const TPOSType pos = fmMain ? fmMain->pos_type : ptNone;
  if (!cardNoticeShown(pos, now)) {
    lbError->hide();
  } else {
    const QSizeF screen = ScreenSize();
    const double W = screen.width(), H = screen.height();
    const bool portrait = H >= W;
    const double limit = portrait ? W * 3 / 5 : W * 2 / 5;
    // Fitted once for the screen's width: fitting again on every tick steps
    // the font up and back down, which lays out and repaints the footer
    // every second while the kiosk stands idle.
    if (limit != lbErrorFitLimit_) {
      lbError->setText(QStringLiteral("Оплата картой недоступна"));
      FitFontSize(lbError, limit);
      lbError->adjustSize();
      lbErrorFitLimit_ = limit;
    }
    const double top = portrait && !lbSupportPhone->isHidden()
                           ? lbSerialNumber->height() / 3.0
                           : (pnSerialNumber->height() - lbError->height()) / 2.0;
    // In place of the serial number, which it replaces while shown.
    lbError->move(QPointF(lbSerialNumber->x(), top).toPoint());
    lbError->show();
  }
  lbSerialNumber->setVisible(lbError->isHidden());
}

void TfmExpectation::tmRefreshConfigTimer() {
  if (!inFront()) return;
  tmRefreshConfig->stop();
  tmRefreshConfig->setInterval(kRefreshTickMs);
  if (fmMain) {
    if (refresher_.tick(plat::clock().nowMs(), fmMain->immediate_config_refresh))
      updateControlLocations();
    if (reviseTotalsDue(fmMain->pos_type, fmMain->last_revise_totals_dt,
                        QDateTime::currentDateTime())) {
      // The reconciliation records its time itself; its errors never reach
      // the home screen.
      try {
        hooks_.openReviseTotals();
      } catch (...) {
      }
    }
  }
  tmRefreshConfig->start();
}

void TfmExpectation::tmWallpaperTimer() {
  if (!fmMain || !inFront()) return;
  if (!screensaverEnabled(fmMain->wallpaper_delay, fmMain->wallpaper_period,
                          fmMain->wallpaper_files))
    return;
  tmWallpaper->stop();
  {
    TfmWallpaper screensaver(fmMain->wallpaper_files, fmMain->wallpaper_period,
                             fmMain->commonAppDataFolder, fmMain->logSink());
    screensaver.setWindowState(Qt::WindowFullScreen);
    screensaver.exec();
  }
  tmWallpaper->start();
}

void TfmExpectation::tmReopenApplicationTimer() {
  // A sale, a dialog or the service menu in front: the next tick tries again.
  if (!inFront()) return;
  tmReopenApplication->stop();
  const bool started = startInstalledProgram(hooks_);
  if (!started) {
    if (fmMain) fmMain->log(QStringLiteral("Не удалось запустить обновлённую программу."));
    return;
  }
  if (fmWallpaper && QApplication::activeModalWidget() == fmWallpaper) fmWallpaper->reject();
  // The update is the kiosk's own decision: no service password.
  if (fmMain) fmMain->check_password_on_exit = false;
  done(QDialog::Accepted);
}

// --- touches and keys --------------------------------------------------------

void TfmExpectation::btBarcodeMouseDown() {
  if (!fmMain) return;
  fmMain->buttonPressed(btBarcode);
  if (std::optional<TProduct> p = hooks_.openBarcodeKeypad()) {
    fmMain->selected_product = *p;
    fmMain->product_selected = true;
  }
  if (!fmMain->product_selected) return;
  // As for a scan: a selection the cart did not take must not linger.
  hooks_.openCart(false);
  fmMain->product_selected = false;
}

void TfmExpectation::btDrinkMouseDown() {
  if (!fmMain) return;
  fmMain->buttonPressed(btDrink);
  if (!fmMain->checkCoffeeMachineState()) return;
  hooks_.openCart(true);
  // A scan in the drink menu that the cart did not take must not linger.
  fmMain->product_selected = false;
}

void TfmExpectation::lbCurrentTimeDblClick() {
  if (!fmMain) return;
  const bool closeProgram = fmMain->showSettings();
  updateControlLocations();
  if (!closeProgram) return;
  // The menu's exit already was behind the service password.
  fmMain->check_password_on_exit = false;
  done(QDialog::Accepted);
}

bool TfmExpectation::eventFilter(QObject* watched, QEvent* event) {
  if (watched == lbCurrentTime && event->type() == QEvent::MouseButtonDblClick) {
    lbCurrentTimeDblClick();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void TfmExpectation::keyPressEvent(QKeyEvent* e) {
  // The scanner types into whatever form is in front; its keys are read on
  // release. Escape must not close the kiosk.
  e->accept();
}

void TfmExpectation::keyReleaseEvent(QKeyEvent* e) {
  if (!fmMain) return;
  fmMain->FormKeyUp(e);
  if (fmMain->product_selected) {
    // The cart takes the scanned product; a selection it did not take must
    // not linger until the next scan.
    hooks_.openCart(false);
    fmMain->product_selected = false;
  }
}

// --- layout ------------------------------------------------------------------

void TfmExpectation::updateControlLocations() {
  const QSizeF screen = ScreenSize();
  const double W = screen.width(), H = screen.height();

  // 1.
  if (fmMain) fmMain->updateSerialNumberPanel(pnSerialNumber);
  const double footerH = pnSerialNumber->isHidden() ? 0 : pnSerialNumber->height();
  const double usableH = H - footerH;

  // 2.
  FitFontSize(lbCurrentDate, W / 4);
  SetFontSize(lbCurrentTime, FontSizeOf(lbCurrentDate) * 5 / 4);

  // 3.
  if (isFirstControlLocationsUpdate) {
    pnTop->setGeometry(QRectF(0, 0, W, lbCurrentDate->height() * 1.5).toRect());
    isFirstControlLocationsUpdate = false;
  } else {
    pnTop->resize(int(std::lround(W)), pnTop->height());
  }
  tmCurrentTimeTimer();

  // 4.
  const double bottomH = usableH / 5;

  // 5.
  FitFontSize(lb2, W * 2 / 3);
  for (QLabel* l : {lb1, lb3, lb4}) SetFontSize(l, FontSizeOf(lb2));

  // 6-7.
  const bool hasDrinks = fmMain && !fmMain->drinks.empty();
  const bool barcodes = fmMain && fmMain->manual_barcodes;
  const TBottomBarLayout bar = layoutBottomBar(W, bottomH, hasDrinks, barcodes);
  btDrink->setVisible(hasDrinks);
  btBarcode->setVisible(barcodes);
  pnBottom->setVisible(bar.visible);
  if (bar.visible) {
    pnBottom->setGeometry(QRectF(0, usableH - bottomH, W, bottomH).toRect());
    const QRectF& shown = hasDrinks ? bar.drink : bar.barcode;
    const double bh = shown.height(), bw = shown.width();
    QRectF image;
    if (H < W) {
      image = QRectF(0, 0, bh, bh);
      FitFontSize(btBarcode->label(), bw - 2 * bh);
    } else {
      image = QRectF(0, 0, bw, bh / 2);
      FitFontSize(btBarcode->label(), bw * 4 / 5);
    }
    SetFontSize(btDrink->label(), FontSizeOf(btBarcode->label()));
    for (TTouchButton* b : {btDrink, btBarcode}) b->setImageGeometry(image);
    if (hasDrinks) btDrink->setGeometry(bar.drink.toRect());
    if (barcodes) btBarcode->setGeometry(bar.barcode.toRect());
  }

  // 8-9.
  const TInvitationLayout lines = layoutInvitation(
      usableH, pnTop->height(), bar.visible ? bottomH : 0, lb1->height(), hasDrinks);
  lb3->setText(lines.lb3Text);
  lb3->adjustSize();
  lb4->setVisible(lines.lb4Visible);
  QLabel* const labels[] = {lb1, lb2, lb3, lb4};
  for (int i = 0; i < 4; ++i) {
    if (i == 3 && !lines.lb4Visible) break;
    labels[i]->move(QPointF((W - labels[i]->width()) / 2, lines.tops[i]).toPoint());
  }
}

// --- closing -----------------------------------------------------------------

bool TfmExpectation::FormCloseQuery() {
  if (!fmMain || !fmMain->check_password_on_exit) return true;
  return AskServicePassword();
}

void TfmExpectation::done(int r) {
  // Every way of closing comes here (the window's close too): the kiosk only
  // closes with the service password, unless the service menu or a shutdown
  // already decided.
  if (!FormCloseQuery()) return;
  tmRefreshConfig->stop();
  QDialog::done(r);
}

void ShowExpectation() {
  TfmExpectation form;
  form.setWindowState(Qt::WindowFullScreen);
  form.exec();
}
