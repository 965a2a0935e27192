#pragma once
// The kiosk's main form: guards against a second copy, builds the long-lived
// objects in a fixed order when first shown, shows the start-up logo or a
// start-up error, keeps the local text log and tears everything down in a
// fixed order when it closes. Every screen reaches the kiosk through fmMain.

#include <QApplication>
#include <QDateTime>
#include <QPixmap>
#include <QPointer>
#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "backoffice/KernelAPI.h"
#include "kiosk/CloseBudget.h"
#include "kiosk/CoffeeSupervision.h"
#include "kiosk/ConfigCycle.h"
#include "kiosk/Counters.h"
#include "kiosk/DevicesDiscovery.h"
#include "kiosk/FormServices.h"
#include "kiosk/LocalLog.h"
#include "kiosk/LogThread.h"
#include "kiosk/MainWorkers.h"
#include "kiosk/Products.h"
#include "kiosk/Scanner.h"

class IEventSink;
class QKeyEvent;
class QLabel;
class QTimer;
class TAuditScheduler;
class TJClient;
class TJTable;
class TPaymentModule;
class TRectangle;
class TD200Sberbank;
class TSberDevice;
class TCarimali;
struct TCoffeeDialogContext;
class TEventGate;
class TSettingsStorage;
struct TSettingKey;
class TTrevaloThread;
class TUploadingThread;
class TVendotek;
class TCharmBarThread;
class TWallpaperThread;
namespace plat {
class SingleInstanceLock;
}

class TfmMain : public QWidget, public TFormServices {
  Q_OBJECT
 public:
  // The name of the one-copy guard.
  static constexpr const char* kInstanceName = "54646dfgbdbsLL5";

  // FormCreate: takes the one-copy guard; a second copy shows its notice for
  // 3 seconds and asks to end (terminateRequested).
  TfmMain();
  ~TfmMain() override;

  // True when this copy must end at once without showing anything.
  bool terminateRequested() const { return terminate_requested_; }

  // Appends "dd.MM.yyyy hh:mm:ss", a tab and the text to vekta.log (UTF-8,
  // LF). Any thread; never raises; does nothing before FormShow.
  void log(const QString& text) noexcept;
  // The local log itself, for workers that may outlive a call into the form:
  // they hold it, not the form.
  const TLocalLogPtr& localLog() const { return localLog_; }
  // A log callback that holds the local log.
  std::function<void(const QString&)> logSink() const;
  // The event queue for workers that may end after a call into this form
  // (the sale screens'): they hold it, not the form. The close shuts it
  // before it lets the one-copy lock go; it refuses events from then on.
  // Null until the form was shown.
  std::shared_ptr<IEventSink> eventGate() const;

  // Replaces the logo by a start-up error (a repeated text is not laid out again).
  void showError(const QString& text);
  void showLogo();

  // The handler of exceptions no screen handled: the message for 5 seconds
  // and an information event. The program goes on.
  void onApplicationException(const QString& message);

  // Closes the kiosk in order, as a system shutdown does: no service password,
  // settings saved. SIGTERM and SIGINT come here (installShutdownSignals).
  void shutdownClose();
  // Routes SIGTERM and SIGINT to shutdownClose through a self-pipe.
  void installShutdownSignals();

  // A close asked for while a paid sale's screens run (TSaleInProgress) does
  // not run inside their nested event loops: it is recorded here, the
  // sale's waiting screens are told (closeRequested) and end their waits,
  // and the close runs once the sale is over, from the top: every event
  // loop is left first, and the program's entry calls closeIfPending when
  // the application's loop has returned.
  bool closePending() const { return closePending_; }
  bool saleInProgress() const { return saleDepth_ > 0; }
  void closeIfPending();
  // False once the close shut the event gate: an event queued from then on
  // would be numbered after the one-copy lock went.
  bool eventsOpen() const;

  // The settings file; its backup is the same name with "~".
  QString iniFileName() const;
  // The settings store; null until the form was shown.
  TSettingsStorage* SS() const { return settings_.get(); }
  QString globalText(const QString& name) const override;

 signals:
  // A close was asked for during a sale: the screens waiting for the
  // customer or the machine end their waits.
  void closeRequested();

 public:
  // Components.
  TRectangle* pnLogoBackground;
  TRectangle* pnLine;
  QLabel* lb1;
  QLabel* lb2;
  QLabel* lbVersion;
  QLabel* imLogo;
  QLabel* lbErr;
  TRectangle* pnSerialNumber;
  QLabel* lbSerialNumber;
  QLabel* lbSupportPhone;

  QTimer* tmConfig;
  QTimer* tmPOSDiscovery;
  QTimer* tmAudit;
  QTimer* tmBringToFront;
  QTimer* tmPaymentModuleIncomingRequest;
  QTimer* tmExpectation;
  QTimer* tmCarimali;
  QTimer* tmClose;

  // The configuration cycle, the product lists, the counters and the scanner
  // keep their state in plain objects; the fields below under the usual names
  // refer into them.
  TVmConfig vmConfig;
  TCountersState countersState;
  TProductCatalog catalog;
  TScannerInput scanner;

  // The home screen, opened modally once a configuration is loaded and some
  // payment method is available; the program ends when it returns. Until the
  // home screen exists the kiosk stays on its logo.
  inline static std::function<void()> openHomeScreen;
  // Waits for the workers of the sale screens (the loyalty submissions and
  // the fiscal checks) for the budget's grace, then breaks off those still
  // running and returns once every one of them has ended: the close lets
  // the one-copy lock go only then. The screens sit above the kiosk core,
  // so the program installs it at start; the form calls it when it closes
  // and before it is destroyed.
  inline static std::function<void(const TCloseBudget&)> waitForSaleWorkers;
  // The folder of the bank bridge and its library; empty: "sber" beside the
  // program. Tests point it at a private copy of the stand-in library.
  inline static QString sberFolder;

  // Fields the screens and workers read (plain, main thread unless said).
  bool hook_was_set = false;
  QString& input_text = scanner.input_text;
  bool d200_connection_err_was_logged = false;
  QDateTime startup_tm;
  int64_t startup_ms = 0;  // monotonic twin of startup_tm for the grace periods
  bool expectation_form_was_shown = false;
  QDateTime last_audit_dt;          // invalid: never
  QDateTime last_revise_totals_dt;  // invalid: never
  QDateTime& last_refresh_config_dt = vmConfig.last_refresh_config_dt;
  QStringList& counters = countersState.counters;
  QString commonAppDataFolder;
  QString last_shown_error;
  bool& product_selected = scanner.product_selected;
  TProduct& selected_product = scanner.selected_product;
  QString& last_bar_code = scanner.last_bar_code;
  int64_t& last_bar_code_tm = scanner.last_bar_code_tm;  // plat::clock() ms; 0: never
  int& bar_code_delay = vmConfig.bar_code_delay;
  bool product_was_paid = false;
  qint64& vm_id = vmConfig.vm_id;
  qint64& terminal_id = vmConfig.terminal_id;
  QString& protocolSerialNumber = vmConfig.protocolSerialNumber;
  qint64& total_cashless_amount_kop = countersState.total_cashless_amount_kop;
  TPOSType pos_type = ptNone;
  bool& drink_after_payment = vmConfig.drink_after_payment;
  bool& carimali_machine = vmConfig.carimali_machine;
  bool& manual_barcodes = vmConfig.manual_barcodes;
  bool& config_loaded = vmConfig.config_loaded;
  int& MAX_DRINKS_PER_PAGE = vmConfig.MAX_DRINKS_PER_PAGE;
  QString& SERVICE_PASSWORD = vmConfig.SERVICE_PASSWORD;
  bool check_password_on_exit = true;
  int& vekta_qr_code_delay = vmConfig.vekta_qr_code_delay;
  int& vekta_recycle_warning_delay = vmConfig.vekta_recycle_warning_delay;
  int& vekta_recycle_reset_delay = vmConfig.vekta_recycle_reset_delay;
  int& wallpaper_delay = vmConfig.wallpaper_delay;
  int& wallpaper_period = vmConfig.wallpaper_period;
  QStringList& wallpaper_files = vmConfig.wallpaper_files;
  bool& sbp_enabled = vmConfig.sbp_enabled;
  bool& yandex_badge_enabled = vmConfig.yandex_badge_enabled;
  int& cardProject_id = vmConfig.cardProject_id;
  int& loyaltySystem_id = vmConfig.loyaltySystem_id;
  QString& loyalty_system_card_mask = vmConfig.loyalty_system_card_mask;
  TLoyalityCardInfo loyaltyCardInfo;
  std::vector<TProduct>& drinks = catalog.drinks;
  std::vector<TProduct>& snacks = catalog.snacks;
  TVmState vmState;

  // The main back-office client (main thread only), the business API on it
  // and the assortment table; null until the form was shown.
  std::unique_ptr<TJClient> JClient;
  std::unique_ptr<TKernelAPI> kernel_api;
  std::unique_ptr<TJTable> tbDocVmServiceSale;
  // The owner of every worker thread of this form; it stops them in its
  // stated order before anything they use is freed. The names below refer
  // into it.
  TMainWorkers workers;
  // The event queue (also reachable as logThread); null until shown.
  std::unique_ptr<TLogThread>& eventLog = workers.eventLog;
  std::unique_ptr<TConfigCycle> configCycle;
  // The audits: files written at the timetable's points (tmAudit) and on
  // request, uploaded by their own worker; the push channel's worker.
  std::unique_ptr<TAuditScheduler> auditScheduler;
  std::unique_ptr<TUploadingThread>& uploadingThread = workers.uploadingThread;
  std::unique_ptr<TTrevaloThread>& trevaloThread = workers.trevaloThread;
  // Writes an audit now (reason 1 timetable, 2 requested, 5 at loading) and
  // schedules the next one.
  void makeAudit(int auditReason_id);

  // Part of the scanner's work for every form: a code typed by the scanner
  // and ended by Enter selects a product or a loyalty card.
  void FormKeyUp(QKeyEvent* e);
  // The service password, then the service menu; true when the technician
  // chose to end the program. The configuration timer pauses meanwhile.
  bool showSettings();
  // A double tap on the start-up error: the service menu, and the program
  // ends when it says so.
  void lbErrDblClick();

  // The shell guard (from FormShow on) and the wallpaper download thread
  // (created with the form, started by the first settings application).
  std::unique_ptr<TCharmBarThread>& charmBarThread = workers.charmBarThread;
  std::unique_ptr<TWallpaperThread>& wallpaperThread = workers.wallpaperThread;

  // A full load from the server; raises on failure (home screen, service menu).
  void refreshConfig() { configCycle->refreshConfig(); }
  TProduct getProduct(bool isSnack, int cell) const { return catalog.getProduct(isSnack, cell); }
  TProduct getProductByBarcode(const QString& code) {
    return catalog.getProductByBarcode(code, logThread);
  }
  QString carimali_status;
  bool immediate_config_refresh = false;
  bool paymentModuleFound = false;
  // Card-terminal ports as stored; the first ports device discovery tries,
  // written back on close (-1: none tried).
  int sber_com_port = -1;
  int vendotek_com_port = -1;
  int payment_module_com_port = 0;
  int carimali_com_port = 0;

  // The kiosk's own coffee machine: the driver, the one lock every exchange
  // with it takes, its supervision worker and the configuration cycle's view
  // of it; null until the form was shown.
  std::unique_ptr<TCarimali> carimali;
  std::recursive_mutex carimali_synchronizer;
  std::unique_ptr<TCarimaliInitializationThread>& carimaliInitializationThread =
      workers.carimaliInitializationThread;
  std::unique_ptr<TCarimaliCoffeeMachine> coffeeMachine;
  // True when a drink may be sold now; otherwise tells the customer why.
  bool checkCoffeeMachineState();
  // Makes a paid drink on the coffee machine and waits for it.
  void prepareCarimaliDrink(const TProduct& product);
  // The machine error codes for the back office.
  QString evaErrorCodes() const;

  // The card-terminal drivers and the worker that finds the terminal; null
  // until the form was shown. The worker is stopped before the drivers go.
  std::unique_ptr<TSberDevice> sberPinPad;
  std::unique_ptr<TVendotek> vendotek;
  // The PIN pad's own protocol: discovery identifies the pad with it and the
  // card screen's abort worker sends the abort through it.
  std::unique_ptr<TD200Sberbank> sber;
  std::unique_ptr<TDevicesDiscoveryThread>& devicesDiscoveryThread = workers.devicesDiscoveryThread;
  // The vending machine's payment module; null until the form was shown.
  // Found by device discovery (paymentModuleFound), then polled for the
  // module's own requests every 500 ms.
  std::unique_ptr<TPaymentModule> paymentModule;

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void keyReleaseEvent(QKeyEvent* e) override;

 private:
  void FormCreate();
  void FormShow();
  void FormClose(QCloseEvent* e);
  void layoutLogo();
  void loadSettings();
  void tmExpectationTimer();
  void tmPOSDiscoveryTimer();
  void tmPaymentModuleIncomingRequestTimer();
  void paymentModuleWasFound(int comPort);
  QString paymentModuleError_;  // the last poll failure logged
  void tmConfigTimer();
  void tmCarimaliTimer();
  // Starts the coffee machine's supervision once a loaded configuration has
  // the machine; true when it runs.
  bool startCoffeeSupervision();
  TCoffeeDialogContext coffeeDialogContext();
  void createConfigCycle();
  // The steps of FormShow, in its order.
  void openDataFolder();
  void resetStartState();
  void createEventQueue();
  void createBackOfficeClient();
  void readStoredSettings();
  void createDevices();
  void showStartScreen();
  void createAuditWorkers();
  void createBackgroundWorkers();
  void createCoffeeMachine();
  void holdForeground();
  void startTimers();
  // A port number from the settings; a bad value is logged and gives fallback.
  int readComPort(const TSettingKey& key, int fallback);
  // Queues an event into the event log, once there is one.
  std::function<void(int, const QString&)> eventQueueSink();

  std::unique_ptr<plat::SingleInstanceLock> instance_lock_;
  std::unique_ptr<TSettingsStorage> settings_;
  bool terminate_requested_ = false;
  bool shown_ = false;
  bool closed_ = false;
  QPixmap logo_;
  // Shared with the workers, so it outlives any of them.
  TLocalLogPtr localLog_ = std::make_shared<TLocalLog>();
  std::shared_ptr<TEventGate> eventGate_;
  // Paid sales whose screens run now (nested: never more than one in the
  // field) and a close waiting for them.
  friend class TSaleInProgress;
  int saleDepth_ = 0;
  bool closePending_ = false;
  void saleEnded();
};

extern TfmMain* fmMain;

// A paid sale's screens, from the checkout's start until its thanks screen
// has gone (main thread). A close meanwhile waits for its end; see
// TfmMain::closePending.
class TSaleInProgress {
 public:
  TSaleInProgress();
  ~TSaleInProgress();
  TSaleInProgress(const TSaleInProgress&) = delete;
  TSaleInProgress& operator=(const TSaleInProgress&) = delete;

 private:
  QPointer<TfmMain> form_;
};

// The application object of the kiosk: an exception that escapes an event
// handler ends in fmMain->onApplicationException instead of ending the program.
class TKioskApplication : public QApplication {
 public:
  TKioskApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
  // The application's event loop; the main form's close leaves it.
  static int run();
  // True while run() is inside the application's event loop.
  static bool running();
  // Hands an exception message to the main form's handler (or stderr).
  static void handleException(const QString& message);
};
