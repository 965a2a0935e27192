#include "kiosk/CoffeeDialogs.h"

#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "devices/CarimaliDevice.h"
#include "kiosk/BusyIndicator.h"
#include "kiosk/Common.h"
#include "kiosk/DialogsAndMessages.h"
#include "kiosk/KioskHooks.h"
#include "kiosk/TouchButton.h"
#include "platform/Clock.h"
#include "platform/Exception.h"

namespace {

void paint(QWidget* w, const QColor& c) {
  w->setAutoFillBackground(true);
  QPalette pal = w->palette();
  pal.setColor(QPalette::Window, c);
  w->setPalette(pal);
}

}  // namespace

// ---- drink waiting ------------------------------------------------------------

TfmDrinkWaiting::TfmDrinkWaiting(TCoffeeDialogContext ctx, QWidget* parent)
    : QDialog(parent), ctx_(std::move(ctx)) {
  setObjectName(QStringLiteral("fmDrinkWaiting"));
  setWindowFlags(Qt::FramelessWindowHint | Qt::Dialog);
  paint(this, QColor(0xDE, 0xB8, 0x87));
  // The drink's name on a top bar across the screen, the indicator centred
  // in the space under it.
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  lbTop = new QLabel(this);
  lbTop->setObjectName(QStringLiteral("lbTop"));
  lbTop->setAlignment(Qt::AlignCenter);
  lbTop->setWordWrap(true);
  QFont f = lbTop->font();
  f.setBold(true);
  lbTop->setFont(f);
  paint(lbTop, QColor(0xB8, 0x86, 0x0B));
  QPalette pal = lbTop->palette();
  pal.setColor(QPalette::WindowText, QColor(0xFF, 0xEB, 0xCD));  // blanched almond
  lbTop->setPalette(pal);
  AniIndicator1 = new TBusyIndicator(this, "AniIndicator1");
  layout->addWidget(lbTop);
  layout->addStretch();
  layout->addWidget(AniIndicator1, 0, Qt::AlignCenter);
  layout->addStretch();
  Timer1 = new QTimer(this);
  Timer1->setInterval(500);
  connect(Timer1, &QTimer::timeout, this, &TfmDrinkWaiting::Timer1Timer);
  Timer1->start();
  FitFormToMainForm(this);
}

void TfmDrinkWaiting::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  const QSizeF screen = ScreenSize();
  // A long name is fitted to ever narrower widths until it takes no more
  // than a fifth of the screen's height.
  FitFontSize(lbTop, screen.width() * 2 / 3);
  for (int d = 4; MeasureTextHeight(lbTop) > screen.height() / 5 && d < 64; ++d)
    FitFontSize(lbTop, screen.width() * 2 / d);
  lbTop->setFixedHeight(int(MeasureTextHeight(lbTop) * 2));
  const int side = int(std::min(screen.width(), screen.height() - lbTop->height()) / 3);
  AniIndicator1->setFixedSize(side, side);
  show_tm = plat::clock().nowMs();
}

void TfmDrinkWaiting::Timer1Timer() {
  if (show_tm > 0 && plat::clock().nowMs() - show_tm > kMaxWaitMs) {
    accept();
    return;
  }
  if (!ctx_.carimali || !ctx_.synchronizer) return;
  std::unique_lock lock(*ctx_.synchronizer, std::try_to_lock);
  if (!lock.owns_lock()) return;
  bool preparing = true;
  try {
    preparing = ctx_.carimali->cur_state_dring_preparation();
  } catch (const std::exception&) {
    // A failed read says nothing about the drink; the time limit still holds.
  }
  if (!preparing) accept();
}

// ---- boiler fill ----------------------------------------------------------------

TfmBoilerInfill::TfmBoilerInfill(TCoffeeDialogContext ctx, TServiceMenuAccess service,
                                 QWidget* parent)
    : QDialog(parent), ctx_(std::move(ctx)), service_(std::move(service)) {
  requireWiring(service_.showSettings, "showSettings");
  requireWiring(service_.closeProgram, "closeProgram");
  setObjectName(QStringLiteral("fmBoilerInfill"));
  setWindowFlags(Qt::FramelessWindowHint | Qt::Dialog);
  paint(this, QColor(0xDE, 0xB8, 0x87));
  btInfillBoiler = new TTouchButton(QStringLiteral("Заполнить бойлер"), this);
  btInfillBoiler->setObjectName(QStringLiteral("btInfillBoiler"));
  QFont bold = btInfillBoiler->label()->font();
  bold.setBold(true);
  btInfillBoiler->label()->setFont(bold);
  lbStatus = new QLabel(QStringLiteral("Заполнение бойлера"), this);
  lbStatus->setObjectName(QStringLiteral("lbStatus"));
  lbStatus->setFont(QFont(QStringLiteral("Arial"), 40));
  QPalette white = lbStatus->palette();
  white.setColor(QPalette::WindowText, Qt::white);
  lbStatus->setPalette(white);
  AniIndicator = new TBusyIndicator(this);

  // The button centred; once the fill runs, the status line at the bottom
  // and the indicator filling the panel above it.
  const QSizeF screen = ScreenSize();
  const double W = screen.width(), H = screen.height();
  QLabel probe(btInfillBoiler->label()->text());
  probe.setFont(bold);
  FitFontSize(&probe, W / 2);
  const double bw = W * 2 / 3, bh = MeasureTextHeight(&probe) * 1.5;
  btInfillBoiler->setGeometry(QRectF((W - bw) / 2, (H - bh) / 2, bw, bh).toRect());
  SetFontSize(btInfillBoiler->label(), FontSizeOf(&probe));
  FitFontSize(lbStatus, W * 2 / 3);
  lbStatus->move(int((W - lbStatus->width()) / 2), int(H - 1.5 * lbStatus->height()));
  AniIndicator->setGeometry(0, 0, int(W), lbStatus->y());
  lbStatus->hide();
  AniIndicator->hide();
  connect(btInfillBoiler, &TRectangle::mouseDown, this, &TfmBoilerInfill::btInfillBoilerClick);

  Timer = new QTimer(this);
  Timer->setInterval(1000);
  connect(Timer, &QTimer::timeout, this, &TfmBoilerInfill::TimerTimer);
  tmTimeout = new QTimer(this);
  tmTimeout->setInterval(1000);
  connect(tmTimeout, &QTimer::timeout, this, &TfmBoilerInfill::tmTimeoutTimer);
  tmTimeout->start();
  FitFormToMainForm(this);
}

void TfmBoilerInfill::btInfillBoilerClick() {
  if (!ctx_.carimali || !ctx_.synchronizer) return;
  bool groupError = false;
  {
    std::lock_guard lock(*ctx_.synchronizer);
    TCarimali& c = *ctx_.carimali;
    c.powerOff();
    // The fill starts only once the machine is off; one that never reports
    // it would otherwise hold the lock, and every screen, for good.
    const int64_t start = plat::clock().nowMs();
    for (;;) {
      c.readCurrentState();
      if (!c.cur_state_power_on()) break;
      if (plat::clock().nowMs() - start > kPowerOffWaitMs)
        throw Exception(QStringLiteral("Кофемашина не выключилась."));
      plat::clock().sleepMs(250);
    }
    c.infillBoiler();
    plat::clock().sleepMs(1000);
    c.readCurrentState();
    groupError = c.cur_state_group_error();
  }
  if (groupError) {
    ShowMessageTimed(
        QStringLiteral("Пожалуйста, отключите кофеавтомат\r\nот сети электропитания\r\n"
                       "и повторно подключите к сети."),
        15);
    return;
  }
  showFilling();
}

void TfmBoilerInfill::showFilling() {
  btInfillBoiler->hide();
  lbStatus->show();
  AniIndicator->show();
  Timer->start();
}

void TfmBoilerInfill::TimerTimer() {
  if (ctx_.state && !ctx_.state().cur_state_boiler_filling_in_process) done(1);
}

void TfmBoilerInfill::tmTimeoutTimer() {
  if (!ctx_.state) return;
  const TCarimaliState s = ctx_.state();
  if (!s.fresh(plat::clock().nowMs())) done(2);
}

void TfmBoilerInfill::pnMainDblClick() {
  if (!service_.showSettings()) return;
  done(2);
  service_.closeProgram();
}

void TfmBoilerInfill::mouseDoubleClickEvent(QMouseEvent* e) {
  pnMainDblClick();
  QDialog::mouseDoubleClickEvent(e);
}
