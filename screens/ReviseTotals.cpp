#include "screens/ReviseTotals.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPainter>
#include <QTimer>

#include "devices/SberDevice.h"
#include "kiosk/BusyIndicator.h"
#include "kiosk/Common.h"
#include "kiosk/EventSink.h"
#include "kiosk/Expectation.h"
#include "kiosk/LogThread.h"
#include "kiosk/Main.h"
#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "kiosk/TouchButton.h"
#include "platform/Clock.h"
#include "platform/Exception.h"

TfmReviseTotals* fmReviseTotals = nullptr;

namespace {

QString messageOf(const std::exception& e) {
  if (auto* ex = dynamic_cast<const Exception*>(&e)) return ex->message();
  return QString::fromLocal8Bit(e.what());
}

void queue(IEventSink* events, const QString& text) {
  if (events) events->add(evInformation, text);
}

}  // namespace

// ---- worker -----------------------------------------------------------------

TReviseTotalsThread::TReviseTotalsThread(TSberDevice* device,
                                         std::function<void(const QString&)> log)
    : device_(device), log_(std::move(log)), thread_([this] { Execute(); }) {}

TReviseTotalsThread::~TReviseTotalsThread() {
  if (thread_.joinable()) thread_.join();
}

void TReviseTotalsThread::Execute() {
  done_ = false;
  try {
    if (!device_) throw Exception(QStringLiteral("Банковский терминал недоступен."));
    device_->revise_totals();
    done_ = true;
  } catch (const std::exception& e) {
    err_ = messageOf(e);
  } catch (...) {
    err_ = QStringLiteral("Unknown error.");
  }
  if (!done_ && log_) log_(QStringLiteral("revise_totals ") + err_);
  finished_.store(true, std::memory_order_release);
}

// ---- outcome ----------------------------------------------------------------

int recordReviseTotals(const TReviseTotalsRecord& rec, bool done, const QString& err,
                       const QDateTime& now) {
  if (!done) {
    queue(rec.events, QStringLiteral("Ошибка сверки итогов (") + err + QStringLiteral(")"));
    return 2;  // cancel
  }
  if (rec.last_revise_totals_dt) *rec.last_revise_totals_dt = now;
  if (rec.SS) {
    QString failure;
    try {
      writeDateTime(*rec.SS, SettingsKeys::last_revise_totals_dt, now);
      failure = rec.SS->SaveToIniFile(rec.iniFileName).error;
    } catch (const std::exception& e) {
      failure = messageOf(e);
    }
    if (!failure.isEmpty())
      queue(rec.events, QStringLiteral("Ошибка сохранения INI-файла: ") + failure);
  }
  queue(rec.events, QStringLiteral("Сверка итогов выполнена"));
  return 1;  // ok
}

// ---- the form ---------------------------------------------------------------

TfmReviseTotals::TfmReviseTotals(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("fmReviseTotals"));
  setWindowTitle(QStringLiteral("Сверка итогов"));
  setWindowFlag(Qt::FramelessWindowHint);
  setAttribute(Qt::WA_TranslucentBackground);

  pnMain = new TRectangle(this);
  pnMain->setObjectName(QStringLiteral("pnMain"));
  pnMain->setFillColor(Qt::white);
  lb1 = new QLabel(QStringLiteral("Выполняется сверка итогов."), pnMain);
  lb1->setObjectName(QStringLiteral("lb1"));
  lb2 = new QLabel(QStringLiteral("Пожалуйста, подождите..."), pnMain);
  lb2->setObjectName(QStringLiteral("lb2"));
  AniIndicator = new TBusyIndicator(pnMain);
  tmCheckThread = new QTimer(this);
  tmCheckThread->setInterval(100);
  connect(tmCheckThread, &QTimer::timeout, this, &TfmReviseTotals::tmCheckThreadTimer);

  if (fmMain) {
    sberPinPad = fmMain->sberPinPad.get();
    record.SS = fmMain->SS();
    record.iniFileName = fmMain->iniFileName();
    record.events = fmMain->eventLog.get();
    record.last_revise_totals_dt = &fmMain->last_revise_totals_dt;
    log = [](const QString& text) {
      if (fmMain) fmMain->log(text);
    };
  }
  FitFormToMainForm(this);
  fmReviseTotals = this;
}

TfmReviseTotals::~TfmReviseTotals() {
  reviseTotalsThread_.reset();  // waits: the worker writes nothing here, but uses the driver
  if (fmReviseTotals == this) fmReviseTotals = nullptr;
}

void TfmReviseTotals::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (shown_) return;
  shown_ = true;
  FormShow();
}

void TfmReviseTotals::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), QColor(0, 0, 0, 128));
}

void TfmReviseTotals::FormShow() {
  const QSizeF screen = ScreenSize();
  const double W = screen.width(), H = screen.height();

  // 1.
  const double panelW = W * 2 / 3;
  FitFontSize(lb1, W / 2);
  SetFontSize(lb2, FontSizeOf(lb1));
  lb2->adjustSize();
  const double h1 = lb1->height(), h2 = lb2->height();
  lb1->move(int((panelW - lb1->width()) / 2), int(h1));
  lb2->move(int((panelW - lb2->width()) / 2), int(h1 + 2 * h1));
  const double side = 2 * h1;
  const double indicatorTop = lb2->y() + h2 + 2 * h2;
  AniIndicator->setGeometry(int((panelW - side) / 2), int(indicatorTop), int(side), int(side));
  const double panelH = indicatorTop + side + h1;
  pnMain->setGeometry(int((W - panelW) / 2), int((H - panelH) / 2), int(panelW), int(panelH));

  // 2.
  reviseTotalsThread_ = std::make_unique<TReviseTotalsThread>(sberPinPad, log);
  tmCheckThread->start();
  queue(record.events, QStringLiteral("Выполняется сверка итогов"));
}

bool TfmReviseTotals::running() const {
  return reviseTotalsThread_ && !reviseTotalsThread_->finished();
}

void TfmReviseTotals::tmCheckThreadTimer() {
  if (running() || !reviseTotalsThread_) return;
  tmCheckThread->stop();
  err = reviseTotalsThread_->err();
  const int result =
      recordReviseTotals(record, reviseTotalsThread_->done(), err, QDateTime::currentDateTime());
  done(result);
}

void TfmReviseTotals::done(int r) {
  // The bridge run cannot be broken off: the screen waits for it.
  if (running()) return;
  reviseTotalsThread_.reset();
  QDialog::done(r);
}

void TfmReviseTotals::closeEvent(QCloseEvent* e) {
  if (running()) {
    e->ignore();
    return;
  }
  QDialog::closeEvent(e);
}

// ---- as the home screen runs it ---------------------------------------------

void openReviseTotals() {
  static TReviseTotalsRetry retry;
  plat::Clock& clock = plat::clock();
  if (!retry.allowed(clock.nowMs())) return;
  TfmReviseTotals form(fmMain);
  if (form.exec() == 1) {
    retry.succeeded();
  } else {
    retry.failed(clock.nowMs());
  }
}
