#pragma once
// The home screen: what a customer sees between sales. It shows the clock and
// the date, the invitation to scan a product, the buttons for the drink menu
// and for typing a barcode, the footer, and a blinking notice while no card
// terminal is available. Behind the screen it keeps the configuration fresh.
//
// Its decisions (when to reload, how long to wait after a failed reload, the
// texts, the layout arithmetic) are plain code above the form, so tests drive
// them without widgets or a server.

#include <QDateTime>
#include <QDialog>
#include <QRectF>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "kiosk/Main.h"

class IKioskHooks;
class QLabel;
class QTimer;
class TRectangle;
class TSoftwareUpdateThread;
class TTouchButton;

// --- plain logic -------------------------------------------------------------

// When the home screen reloads the configuration: 600 s after the last
// successful load, or at once when the server asked. After a failed reload it
// waits 60 s, then twice as long after each further failure, at most 600 s, so
// a kiosk whose server is down is not frozen in a connect every few seconds.
// A request from the server is never held back. Times are plat::clock() ms.
class TConfigRefreshSchedule {
 public:
  static constexpr int64_t kRefreshIntervalMs = 600'000;
  static constexpr int64_t kFirstRetryMs = 60'000;
  static constexpr int64_t kMaxRetryMs = 600'000;

  // lastSuccessMs: when the configuration was last loaded; none: never (a
  // start from the cache), so the first check reloads.
  explicit TConfigRefreshSchedule(std::optional<int64_t> lastSuccessMs = std::nullopt)
      : lastSuccess_(lastSuccessMs) {}

  bool isDue(int64_t nowMs, bool requested) const;
  void succeeded(int64_t nowMs);
  void failed(int64_t nowMs);
  // The wait after the last failure; 0 while the last reload succeeded.
  int64_t retryDelayMs() const { return retryDelay_; }

 private:
  std::optional<int64_t> lastSuccess_;
  int64_t lastFailure_ = 0;
  int64_t retryDelay_ = 0;
};

// Steps 1-3 of the home screen's refresh tick, without the form.
class TConfigRefresher {
 public:
  // The full load from the server; raises on failure.
  std::function<void()> refreshConfig;
  // The configuration's time of its last successful load (invalid: never).
  std::function<QDateTime()> lastLoadDt;
  // Receives "Ошибка обновления конфигурации (<message>)." of a failed load.
  std::function<void(const QString&)> reportError;

  // Seeds the schedule from lastLoadDt when the home screen opens.
  void start(int64_t nowMs, const QDateTime& nowDt);

  // One tick. requested is the server's request flag; it is cleared when the
  // reload starts. A load made elsewhere (the service menu) shows as a new
  // lastLoadDt and counts as a success now. True when a reload was attempted.
  bool tick(int64_t nowMs, bool& requested);

  const TConfigRefreshSchedule& schedule() const { return schedule_; }

 private:
  TConfigRefreshSchedule schedule_;
  QDateTime lastSeenLoadDt_;
};

// The text of a failed reload, as queued with event 1.
QString refreshErrorText(const QString& message);

// True when the card terminal is a Sberbank one and its totals were last
// reconciled 12 hours ago or more (or never).
bool reviseTotalsDue(TPOSType pos_type, const QDateTime& last_revise_totals_dt,
                     const QDateTime& now);

// "hh:mm".
QString clockText(const QTime& time);
// "Суббота, 5 сентября".
QString dateText(const QDate& date);
// The notice "Оплата картой недоступна" blinks while no card terminal is
// known: shown in the first three of every six seconds (rounded) of the day.
bool cardNoticeShown(TPOSType pos_type, const QTime& time);
// The screensaver may run: an idle time, a display time and some files.
bool screensaverEnabled(int wallpaper_delay, int wallpaper_period, const QStringList& files);

// The two buttons of the bottom bar, in the bar's coordinates.
struct TBottomBarLayout {
  bool visible = false;  // some button is
  QRectF drink;          // empty when hidden
  QRectF barcode;
};
TBottomBarLayout layoutBottomBar(double W, double barHeight, bool drinkVisible,
                                 bool barcodeVisible);

// The invitation lines lb1..lb4 between the top bar and the bottom bar (or
// the footer when the bar is hidden), evenly spread.
struct TInvitationLayout {
  QString lb3Text;
  bool lb4Visible = false;
  double tops[4] = {0, 0, 0, 0};  // lb4's only when visible
};
TInvitationLayout layoutInvitation(double usableHeight, double topHeight, double bottomHeight,
                                   double lineHeight, bool hasDrinks);

// --- the form ----------------------------------------------------------------

class TfmExpectation : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kRefreshTickMs = 3000;

  // The cart, the keypad, the reconciliation and the restart go through the
  // installed kiosk hooks: without them the screen is not created.
  explicit TfmExpectation(QWidget* parent = nullptr);
  ~TfmExpectation() override;

  QLabel* lb1;
  QLabel* lb2;
  QLabel* lb3;
  TRectangle* pnTop;
  TRectangle* pnBottom;
  QLabel* lbCurrentTime;
  QLabel* lbCurrentDate;
  QLabel* lb4;
  QTimer* tmCurrentTime;
  TTouchButton* btDrink;
  QTimer* tmReopenApplication;
  QTimer* tmRefreshConfig;
  TRectangle* pnSerialNumber;
  QLabel* lbSerialNumber;
  QLabel* lbSupportPhone;
  QTimer* tmWallpaper;
  QTimer* tmError;
  QLabel* lbError;
  TTouchButton* btBarcode;

  bool isFirstControlLocationsUpdate = true;

  // The layout pass: at creation, after every reload and after the service menu.
  void updateControlLocations();

  void tmCurrentTimeTimer();
  void tmErrorTimer();
  // The card-terminal notice at the given time of day (tmErrorTimer's tick).
  void showCardNotice(const QTime& now);
  void tmRefreshConfigTimer();
  void tmWallpaperTimer();
  void tmReopenApplicationTimer();
  void btBarcodeMouseDown();
  void btDrinkMouseDown();
  void lbCurrentTimeDblClick();

  // The closing question: false when the service password was not given.
  bool FormCloseQuery();

 public slots:
  void done(int r) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* e) override;
  void changeEvent(QEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void keyReleaseEvent(QKeyEvent* e) override;

 private:
  void FormCreate();
  void FormShow();
  void FormActivate();
  // Neither a sale, a dialog nor the service menu is open above the screen.
  bool inFront() const;

  IKioskHooks& hooks_;
  TConfigRefresher refresher_;
  std::unique_ptr<TSoftwareUpdateThread> softwareUpdate_;
  bool shown_ = false;
  // The width lbError's font was last fitted to; 0: not yet.
  double lbErrorFitLimit_ = 0;
};

extern TfmExpectation* fmExpectation;

// Creates the home screen, shows it modally and frees it.
void ShowExpectation();
