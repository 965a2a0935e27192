#include "kiosk/Main.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "backoffice/JClient.h"
#include "backoffice/JTable.h"
#include "devices/CarimaliDevice.h"
#include "devices/D200_Sberbank.h"
#include "devices/PaymentModule.h"
#include "devices/SberDevice.h"
#include "devices/Vendotek.h"
#include "kiosk/Audit.h"
#include "kiosk/BackgroundThreads.h"
#include "kiosk/ClientInterrupt.h"
#include "kiosk/CloseBudget.h"
#include "kiosk/CoffeeDialogs.h"
#include "kiosk/Common.h"
#include "kiosk/DialogsAndMessages.h"
#include "kiosk/EventGate.h"
#include "kiosk/EventSink.h"
#include "kiosk/KeyboardLock.h"
#include "kiosk/KioskHooks.h"
#include "kiosk/LoyaltySystemCard.h"
#include "kiosk/Pictures.h"
#include "kiosk/PushThread.h"
#include "kiosk/SaleRecord.h"
#include "kiosk/ServicePassword.h"
#include "kiosk/Settings.h"
#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "kiosk/SoftwareUpdate.h"
#include "kiosk/TouchButton.h"
#include "platform/AppPaths.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "platform/Common.h"
#include "platform/MainThread.h"
#include "platform/SerialPort.h"
#include "platform/SingleInstance.h"
#include "platform/TextCodec.h"

TfmMain* fmMain = nullptr;

namespace {

const QString kProgramName = QStringLiteral("vekta");

QLabel* textLabel(const QString& text, const QColor& color, QWidget* parent, const char* name) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(QLatin1String(name));
  l->setTextFormat(Qt::PlainText);
  QPalette pal = l->palette();
  pal.setColor(QPalette::WindowText, color);
  l->setPalette(pal);
  return l;
}

QTimer* makeTimer(QObject* parent, int intervalMs, const char* name) {
  auto* t = new QTimer(parent);
  t->setObjectName(QLatin1String(name));
  t->setInterval(intervalMs);
  return t;
}

// Runs an action on a double click of the watched widget.
class DoubleClickAction : public QObject {
 public:
  DoubleClickAction(QWidget* watched, std::function<void()> action)
      : QObject(watched), action_(std::move(action)) {
    watched->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonDblClick) {
      action_();
      return true;
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  std::function<void()> action_;
};

// Self-pipe from the signal handler to the event loop: the handler may only
// write a byte; everything else happens on the main thread.
int shutdownPipe[2] = {-1, -1};

void onShutdownSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(shutdownPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

// --- FormCreate --------------------------------------------------------------

TfmMain::TfmMain() : QWidget(nullptr) {
  // The sale screens are wired before anything starts, or the kiosk does not
  // start at all: it must never sell with taps that do nothing.
  static_cast<void>(kioskHooks());
  setObjectName(QStringLiteral("fmMain"));
  if (auto* screen = QGuiApplication::primaryScreen()) setGeometry(screen->geometry());
  fmMain = this;
  SetMainFormWidget(this);

  // Design-time components. The coloured rectangles come first so that they
  // lie behind the logo and the version line.
  pnLogoBackground = new TRectangle(this);
  pnLogoBackground->setObjectName(QStringLiteral("pnLogoBackground"));
  pnLogoBackground->setFillColor(Qt::white);
  pnLine = new TRectangle(this);
  pnLine->setObjectName(QStringLiteral("pnLine"));
  pnLine->setFillColor(QColor(0x8B, 0x45, 0x13));
  lb1 = textLabel(QStringLiteral("Norvane"), QColor(0xDE, 0xB8, 0x87), this, "lb1");
  lb2 = textLabel(QStringLiteral("Lumeko"), Qt::white, this, "lb2");
  lbVersion = textLabel(QStringLiteral("Version"), Qt::white, this, "lbVersion");
  imLogo = new QLabel(this);
  imLogo->setObjectName(QStringLiteral("imLogo"));
  imLogo->setAlignment(Qt::AlignCenter);
  lbErr = textLabel(QString(), QColor(0xFF, 0x7F, 0x50), this, "lbErr");
  lbErr->setAlignment(Qt::AlignCenter);
  pnSerialNumber = new TRectangle(this);
  pnSerialNumber->setObjectName(QStringLiteral("pnSerialNumber"));
  pnSerialNumber->setFillColor(Qt::black);
  lbSerialNumber = textLabel(QString(), Qt::darkGray, pnSerialNumber, "lbSerialNumber");
  lbSupportPhone = textLabel(QString(), Qt::darkGray, pnSerialNumber, "lbSupportPhone");
  for (QLabel* l : {lb1, lb2, lbVersion, lbErr}) {
    QFont f = l->font();
    f.setPointSizeF(40);
    l->setFont(f);
  }

  tmConfig = makeTimer(this, 500, "tmConfig");
  tmPOSDiscovery = makeTimer(this, 1000, "tmPOSDiscovery");
  tmAudit = makeTimer(this, 0, "tmAudit");
  tmAudit->setSingleShot(true);
  tmBringToFront = makeTimer(this, 250, "tmBringToFront");
  tmPaymentModuleIncomingRequest = makeTimer(this, 500, "tmPaymentModuleIncomingRequest");
  tmExpectation = makeTimer(this, 1000, "tmExpectation");
  tmCarimali = makeTimer(this, 1000, "tmCarimali");
  tmClose = makeTimer(this, 50, "tmClose");
  connect(tmExpectation, &QTimer::timeout, this, &TfmMain::tmExpectationTimer);
  connect(tmPOSDiscovery, &QTimer::timeout, this, &TfmMain::tmPOSDiscoveryTimer);
  connect(tmCarimali, &QTimer::timeout, this, &TfmMain::tmCarimaliTimer);
  connect(tmPaymentModuleIncomingRequest, &QTimer::timeout, this,
          &TfmMain::tmPaymentModuleIncomingRequestTimer);
  connect(tmBringToFront, &QTimer::timeout, this, [] { tmBringToFrontTimer(); });
  new DoubleClickAction(lbErr, [this] { lbErrDblClick(); });
  connect(tmClose, &QTimer::timeout, this, [this] {
    tmClose->stop();
    close();
  });
  tmExpectation->start();

  FormCreate();
}

void TfmMain::FormCreate() {
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::black);
  setPalette(pal);
  paymentModuleFound = false;
  immediate_config_refresh = false;
  carimali_status = QStringLiteral("Соединение с кофемашиной...");

  // Where the runtime folder cannot hold the guard's file, the data folder
  // does. A guard that cannot be made at all says nothing about another
  // copy: this one ends, saying why, in the log and on the screen.
  instance_lock_ = std::make_unique<plat::SingleInstanceLock>(QLatin1String(kInstanceName),
                                                              GetCommonDataFolder());
  auto report = [this](const QString& text, int seconds) {
    localLog_->setFileName(GetCommonDataFolder() + QLatin1Char('/') + kProgramName +
                           QStringLiteral(".log"));
    log(text);
    ShowMessageTimed(text, seconds);
  };
  // After an update the predecessor may still be closing down and holding
  // the lock; it lets go when its process ends.
  const bool afterUpdate =
      QCoreApplication::arguments().contains(QLatin1String(kAfterUpdateArgument));
  bool locked = false;
  try {
    locked = instance_lock_->tryLock() ||
             (afterUpdate && waitForInstanceLock([this] { return instance_lock_->tryLock(); },
                                                 closeBudget().handOverWaitMs()));
  } catch (const std::exception& e) {
    report(QStringLiteral("Не удаётся создать блокировку запуска программы.\r\n") +
               exceptionMessage(e),
           10);
    terminate_requested_ = true;
    return;
  }
  if (!locked) {
    ShowMessageTimed(QStringLiteral("Программа уже запущена."), 3);
    terminate_requested_ = true;
    return;
  }
  if (!instance_lock_->fallbackReason().isEmpty())
    report(QStringLiteral("Блокировка запуска программы создана в папке данных: ") +
               instance_lock_->filePath() + QStringLiteral("\r\n") +
               instance_lock_->fallbackReason(),
           5);

  // The application's handler of unhandled exceptions is TKioskApplication,
  // which hands them to onApplicationException.
  hook_was_set = false;
  pnSerialNumber->hide();
  last_shown_error.clear();
  vekta_qr_code_delay = 10;
  last_bar_code_tm = 0;
  bar_code_delay = 0;
  last_bar_code.clear();
  wallpaper_files.clear();
}

TfmMain::~TfmMain() {
  // The sale screens' workers end before this form goes (a form destroyed
  // without FormClose, as in tests, too). After the close only those that
  // screens unwinding from it started can be left, and they get no grace:
  // the close's own already ran out under the lock.
  if (shown_ && waitForSaleWorkers) {
    TCloseBudget budget = closeBudget();
    if (closed_) budget.saleWorkersGraceMs = 0;
    waitForSaleWorkers(budget);
  }
  if (eventGate_) eventGate_->close();
  // Every worker ends, in the owner's order, before anything it uses goes:
  // the drivers below, the settings, the lists and this form.
  workers.stopAll();
  coffeeMachine.reset();
  carimali.reset();
  paymentModule.reset();
  vendotek.reset();
  sber.reset();
  sberPinPad.reset();
  if (fmMain == this) fmMain = nullptr;
}

QString TfmMain::iniFileName() const {
  return commonAppDataFolder + QLatin1Char('/') + kProgramName + QStringLiteral(".ini");
}

QString TfmMain::globalText(const QString& name) const {
  if (!settings_) return {};
  return settings_->Get({QStringLiteral("global")}, name, QString()).toString().trimmed();
}

// --- FormShow ----------------------------------------------------------------

void TfmMain::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (shown_ || terminate_requested_) return;
  shown_ = true;
  FormShow();
}

void TfmMain::FormShow() {
  // The start-up order. Where it matters:
  // - the data folder, the settings store and the local log come first:
  //   every later step logs, and the devices and workers read the settings;
  // - the event queue exists before the first device or worker that reports
  //   into it (createEventQueue says why);
  // - the drivers and the discovery worker's wiring are complete before
  //   discovery starts probing ports;
  // - the timers start last. None fires before FormShow returns, but their
  //   handlers use everything built above, so they stay after it.
  openDataFolder();
  resetStartState();
  createEventQueue();
  createBackOfficeClient();
  readStoredSettings();
  createDevices();
  showStartScreen();
  devicesDiscoveryThread->start();
  // The event log (made above) runs from the first configuration tick.
  queueEvent(32, QString());
  createConfigCycle();
  createAuditWorkers();
  createBackgroundWorkers();
  // After the configuration cycle, which is told about the coffee machine.
  createCoffeeMachine();
  holdForeground();
  startTimers();
}

void TfmMain::openDataFolder() {
  // The log's lock exists with the form; the data folder and the files.
  commonAppDataFolder = GetCommonDataFolder();
  // The folder holds the settings with the back office's password: one the
  // kiosk makes is its own alone. A failure shows at the first file written.
  try {
    plat::makeFolderPath(commonAppDataFolder, plat::FileAccess::OwnerOnly);
  } catch (const std::exception&) {
  }
  settings_ = std::make_unique<TSettingsStorage>();
  settings_->IniFileName = iniFileName();
  localLog_->setFileName(commonAppDataFolder + QLatin1Char('/') + kProgramName +
                         QStringLiteral(".log"));
  log(QStringLiteral("Запуск программы, версия ") + GetAppVersion());

  setWindowTitle(QStringLiteral("Norvane Lumeko"));
  QGuiApplication::setApplicationDisplayName(windowTitle());
}

void TfmMain::resetStartState() {
  expectation_form_was_shown = false;
  last_refresh_config_dt = QDateTime();
  check_password_on_exit = true;
  startup_tm = QDateTime::currentDateTime();
  startup_ms = plat::clock().nowMs();
  input_text.clear();
  vm_id = 0;
  terminal_id = 0;
  product_was_paid = false;
  total_cashless_amount_kop = 0;
  counters.clear();
  MAX_DRINKS_PER_PAGE = 10;
}

void TfmMain::createEventQueue() {
  // The event queue exists before the first thread that reports into it (the
  // card terminal's, from its construction on; discovery's): they read
  // eventLog without a lock, so it is set once, before any of them starts.
  // Its worker starts with the first configuration tick. A sale that a crash
  // cut off between its events and its count is finished first, while its
  // staged events are still there to bring in (the queue's restore drops them).
  finishInterruptedSale(commonAppDataFolder, logSink());
  TLogThreadContext ctx;
  ctx.dataFolder = commonAppDataFolder;
  ctx.synchronize = [this](TJClient& client, TLogPass& pass) {
    if (JClient) client.Assign(*JClient);
    pass.vm_id = vm_id > 0 ? QVariant(vm_id) : QVariant();
    pass.terminal_id = terminal_id > 0 ? QVariant(terminal_id) : QVariant();
    pass.evaErrorCodes = evaErrorCodes();
  };
  ctx.log = logSink();
  eventLog = std::make_unique<TLogThread>(std::move(ctx));
  logThread = eventLog.get();
  // Closed by the close and by the destructor, before logThread can go.
  eventGate_ = std::make_shared<TEventGate>([this] { return logThread; }, logSink());
  // The main thread's own events (press feedback, the checkout's reports)
  // pass the gate as the workers' do.
  eventGateSink = eventGate_.get();
}

void TfmMain::createBackOfficeClient() {
  JClient = std::make_unique<TJClient>();
  JClient->setServerType(QStringLiteral("DR"));
  JClient->setApplicationID(QStringLiteral("vekta"));
  JClient->setShowProgress(false);
  // This client waits on the main thread, where the shutdown signal is only
  // seen between two calls: the signal ends its wait at once (a lookup of a
  // silent name server, a server that does not answer), not after it.
  if (shutdownPipe[0] >= 0) JClient->socket()->setStopFd(shutdownPipe[0]);
  kernel_api = std::make_unique<TKernelAPI>(JClient.get());
  tbDocVmServiceSale = std::make_unique<TJTable>();
  tbDocVmServiceSale->SetJClient(JClient.get());
  fButtonsFontSize = 0;
  lbErr->hide();
}

void TfmMain::readStoredSettings() {
  loadSettings();
  last_audit_dt = readDateTime(*settings_, SettingsKeys::last_audit_dt);
  last_revise_totals_dt = readDateTime(*settings_, SettingsKeys::last_revise_totals_dt);
  SERVICE_PASSWORD = readPassword(*settings_, SettingsKeys::service_password,
                                  QLatin1String(SettingsKeys::kDefaultServicePassword));
}

int TfmMain::readComPort(const TSettingKey& key, int fallback) {
  try {
    return readInt(*settings_, key);
  } catch (const std::exception& e) {
    log(QStringLiteral("Неверное значение %1: %2")
            .arg(QLatin1String(key.name), exceptionMessage(e)));
    return fallback;
  }
}

std::function<void(int, const QString&)> TfmMain::eventQueueSink() {
  return [this](int id, const QString& text) {
    if (eventLog) eventLog->add(id, text);
  };
}

void TfmMain::createDevices() {
  // The discovery worker reports the ports it tried through the event queue.
  paymentModule = std::make_unique<TPaymentModule>(eventQueueSink());
  sberPinPad = std::make_unique<TSberDevice>(sberFolder);
  vendotek = std::make_unique<TVendotek>(logSink(), eventQueueSink());
  vendotek->keepalive = true;
  sber = std::make_unique<TD200Sberbank>();
  pos_type = ptNone;
  config_loaded = false;

  // The ports device discovery starts from.
  sber_com_port = readComPort(SettingsKeys::sber_com_port, -1);
  vendotek_com_port = readComPort(SettingsKeys::vendotek_com_port, -1);
  payment_module_com_port = readComPort(SettingsKeys::payment_module_com_port, 0);
  devicesDiscoveryThread = std::make_unique<TDevicesDiscoveryThread>(
      makePosProbes(*vendotek, *sberPinPad, sber.get()), [this](TPOSType type, int comPort) {
        pos_type = type;
        log(QStringLiteral("Банковский терминал найден на COM%1").arg(comPort));
      });
  devicesDiscoveryThread->sber_com_port = sber_com_port;
  devicesDiscoveryThread->vendotek_com_port = vendotek_com_port;
  devicesDiscoveryThread->paymentModule = paymentModule.get();
  devicesDiscoveryThread->payment_module_com_port = payment_module_com_port;
  devicesDiscoveryThread->paymentModuleWanted = [this] {
    return config_loaded && drink_after_payment && !carimali_machine;
  };
  devicesDiscoveryThread->onPaymentModuleFound = [this](int comPort) {
    paymentModuleWasFound(comPort);
  };
  devicesDiscoveryThread->startCoffeeSupervision = [this] { return startCoffeeSupervision(); };
  devicesDiscoveryThread->watchPortsFolder(plat::portsDir());
}

void TfmMain::showStartScreen() {
  lbVersion->setText(QStringLiteral("Version ") + GetAppVersion());
  layoutLogo();
  raise();
  activateWindow();
}

void TfmMain::createAuditWorkers() {
  // The audit files and their upload; the thread starts after the first
  // registration, the timer is armed by every settings application.
  TAuditContext audit;
  audit.dataFolder = commonAppDataFolder;
  audit.SS = settings_.get();
  audit.config = &vmConfig;
  audit.counters = &countersState;
  audit.products = &catalog;
  audit.last_audit_dt = &last_audit_dt;
  audit.tmAudit = tmAudit;
  audit.fileWritten = [this] {
    if (uploadingThread) uploadingThread->checkNow();
  };
  audit.log = logSink();
  auditScheduler = std::make_unique<TAuditScheduler>(std::move(audit));
  connect(tmAudit, &QTimer::timeout, this, [this] { auditScheduler->tmAuditTimer(); });
  TUploadingContext upload;
  upload.dataFolder = commonAppDataFolder;
  upload.synchronize = [this](TJClient& client, TUploadPass& pass) {
    if (JClient) client.Assign(*JClient);
    client.setShowProgress(false);
    pass.vm_id = vm_id > 0 ? QVariant(vm_id) : QVariant();
    pass.terminal_id = terminal_id > 0 ? QVariant(terminal_id) : QVariant();
  };
  upload.log = logSink();
  upload.event = [events = eventLog.get()](int id, const QString& text) { events->add(id, text); };
  uploadingThread = std::make_unique<TUploadingThread>(std::move(upload));
}

void TfmMain::createBackgroundWorkers() {
  charmBarThread = std::make_unique<TCharmBarThread>();
  // The wallpaper thread, started by the first settings application.
  TWallpaperThreadContext wallpaper;
  wallpaper.dataFolder = commonAppDataFolder;
  wallpaper.synchronize = [this](TJClient& client, QStringList& files) {
    if (JClient) client.Assign(*JClient);
    client.setShowProgress(false);
    files = wallpaper_files;
  };
  wallpaper.log = logSink();
  wallpaperThread = std::make_unique<TWallpaperThread>(std::move(wallpaper));
  // The server push thread, started by the first tick with a login.
  TPushContext push;
  push.synchronize = [this](TJClient& client, qint64& id) {
    if (JClient) client.Assign(*JClient);
    client.setShowProgress(false);
    id = vm_id;
  };
  push.makeAudit = [this] { makeAudit(arRequested); };
  push.refreshConfig = [this] { immediate_config_refresh = true; };
  push.log = logSink();
  trevaloThread = std::make_unique<TTrevaloThread>(std::move(push));
}

void TfmMain::createCoffeeMachine() {
  // The driver, its lock and its supervision; the worker starts once a
  // configuration says the kiosk has the machine.
  carimali_com_port = readComPort(SettingsKeys::COMPort, 0);
  carimali = std::make_unique<TCarimali>();
  carimaliInitializationThread = std::make_unique<TCarimaliInitializationThread>(
      *carimali, carimali_synchronizer, eventQueueSink());
  carimaliInitializationThread->comPort = carimali_com_port;
  coffeeMachine = std::make_unique<TCarimaliCoffeeMachine>(*carimali, carimali_synchronizer);
  if (configCycle) configCycle->ctx.coffeeMachine = coffeeMachine.get();
}

void TfmMain::holdForeground() {
  // The keyboard lock and the bring-to-front timer, when the settings ask.
  if (readBool(*settings_, SettingsKeys::Hook)) hook_was_set = Hook(true);
  if (readBool(*settings_, SettingsKeys::BringToFront)) tmBringToFront->start();
}

void TfmMain::startTimers() {
  tmConfig->start();
  tmPaymentModuleIncomingRequest->start();
}

void TfmMain::createConfigCycle() {
  countersState.dataFolder = commonAppDataFolder;
  TConfigContext ctx;
  ctx.SS = settings_.get();
  ctx.client = JClient.get();
  ctx.tbDocVmServiceSale = tbDocVmServiceSale.get();
  ctx.dataFolder = commonAppDataFolder;
  ctx.config = &vmConfig;
  ctx.counters = &countersState;
  ctx.products = &catalog;
  ctx.events = [this] { return logThread; };
  ctx.log = logSink();
  ctx.sendDocument = [this](const QString& table, const QString& xml, int timeout) {
    kernel_api->sendDocument(table, xml, timeout);
  };
  ctx.startPushThread = [this] {
    if (trevaloThread) trevaloThread->start();
  };
  ctx.afterRegistration = [this] {
    if (uploadingThread) uploadingThread->start();
  };
  ctx.scheduleNextAudit = [this] {
    if (auditScheduler) auditScheduler->scheduleNextAudit();
  };
  ctx.settingsApplied = [this] {
    // A new list of screensaver files: checked at once.
    if (wallpaperThread) wallpaperThread->start();
    if (devicesDiscoveryThread) devicesDiscoveryThread->configurationChanged();
    if (drink_after_payment)
      tmPaymentModuleIncomingRequest->start();
    else
      tmPaymentModuleIncomingRequest->stop();
  };
  configCycle = std::make_unique<TConfigCycle>(std::move(ctx));
  connect(tmConfig, &QTimer::timeout, this, &TfmMain::tmConfigTimer);

  TScannerContext scan;
  scan.products = &catalog;
  scan.config = &vmConfig;
  scan.events = [this] { return logThread; };
  scan.showLoyaltyGreeting = [this] {
    TfmLoyaltySystemCard greeting(loyaltyCardInfo, QApplication::activeWindow());
    greeting.scannerKeyUp = [this](QKeyEvent* e) { FormKeyUp(e); };
    greeting.buttonPressed = [this](QObject* sender) { buttonPressed(sender); };
    greeting.exec();
  };
  scan.getLoyalityCardInfo = [this](qint64 id, const QString& number, int timeout) {
    loyaltyCardInfo = kernel_api->getLoyalityCardInfo(int(id), number, timeout);
  };
  scanner.ctx = std::move(scan);
}

void TfmMain::loadSettings() {
  const auto report = TSettingsStorage::loadWithBackup(*settings_, iniFileName());
  // A kiosk has no one to tell; the log keeps why a file was not used.
  if (!report.mainError.isEmpty())
    log(QStringLiteral("Файл настроек не прочитан: ") + report.mainError);
  if (report.source != TSettingsStorage::LoadReport::Main && !report.backupError.isEmpty())
    log(QStringLiteral("Резервная копия настроек не прочитана: ") + report.backupError);
  if (report.source == TSettingsStorage::LoadReport::MainPart ||
      report.source == TSettingsStorage::LoadReport::BackupPart)
    log(QStringLiteral("Из файла настроек взяты значения, прочитанные до ошибки"));
  settings_->IniFileName = iniFileName();
}

void TfmMain::layoutLogo() {
  const QSizeF screen = ScreenSize();
  const double W = screen.width(), H = screen.height();
  if (logo_.isNull()) logo_ = logoPicture();

  FitFontSize(lb2, W * 2 / 3);
  SetFontSize(lb1, FontSizeOf(lb2) * 2 / 3);
  SetFontSize(lbVersion, FontSizeOf(lb2) / 3);
  const double logoH = lb2->height() / 2.0;
  const double versionH = lbVersion->height();
  const double versionY = H * 2 / 3 - versionH;
  const double logoY = H - (H - versionY - versionH - logoH) / 3 - logoH;
  const double lb1Y = (versionY - (lb1->height() + versionH / 4 + lb2->height())) / 2;
  const double lb2Y = lb1Y + lb1->height() + versionH / 4;
  const double lb2X = (W - lb2->width()) / 2;

  lb2->move(QPointF(lb2X, lb2Y).toPoint());
  lb1->move(QPointF(lb2X, lb1Y).toPoint());
  lbVersion->move(QPointF(lb2X + lb2->width() - lbVersion->width(), versionY).toPoint());
  imLogo->setGeometry(QRectF(0, logoY, W, logoH).toRect());
  imLogo->setPixmap(logoPicture(imLogo->size()));
  const double bgW = double(logo_.width()) / logo_.height() * logoH - 3;
  pnLogoBackground->setGeometry(QRectF((W - bgW) / 2 + 1, logoY + 1, bgW, logoH - 2).toRect());
  pnLine->setGeometry(QRectF(0, versionY, W, versionH).toRect());
}

// --- errors and logo ---------------------------------------------------------

void TfmMain::showError(const QString& text) {
  if (text == last_shown_error) return;
  last_shown_error = text;
  for (QWidget* w :
       std::initializer_list<QWidget*>{lb1, lb2, lbVersion, pnLine, imLogo, pnLogoBackground})
    w->hide();
  QString shown = text;
  lbErr->setText(shown.replace(QLatin1String("\r\n"), QLatin1String("\n")));
  const QSizeF screen = ScreenSize();
  FitFontSize(lbErr, screen.width() * 2 / 3);
  lbErr->adjustSize();
  lbErr->move(
      QPointF((screen.width() - lbErr->width()) / 2, (screen.height() - lbErr->height()) / 2)
          .toPoint());
  lbErr->show();
  updateSerialNumberPanel(pnSerialNumber);
}

void TfmMain::showLogo() {
  for (QWidget* w :
       std::initializer_list<QWidget*>{lb1, lb2, lbVersion, pnLine, imLogo, pnLogoBackground})
    w->show();
  lbErr->clear();
  lbErr->hide();
}

void TfmMain::onApplicationException(const QString& message) {
  // Events do not reach the back office while it is unreachable, so the local
  // log keeps the error too.
  log(QStringLiteral("Ошибка: ") + message);
  ShowMessageTimed(message, 5);
  try {
    queueEvent(1, message);
  } catch (...) {
  }
}

// --- local log ---------------------------------------------------------------

void TfmMain::log(const QString& text) noexcept {
  localLog_->write(text);
}

std::function<void(const QString&)> TfmMain::logSink() const {
  return [log = localLog_](const QString& text) { log->write(text); };
}

std::shared_ptr<IEventSink> TfmMain::eventGate() const {
  return eventGate_;
}

// --- FormClose ---------------------------------------------------------------

void TfmMain::closeEvent(QCloseEvent* e) {
  if (closed_ || terminate_requested_ || !shown_) {
    e->accept();
    return;
  }
  if (saleDepth_ > 0) {
    // The close may be running inside a sale screen's nested loop (a signal's
    // notifier runs in whatever loop turns): tearing down here would let the
    // sale go on afterwards without its event queue or its check. The sale
    // ends first, its waiting screens at once, and the close follows.
    e->ignore();
    if (closePending_) return;
    closePending_ = true;
    log(QStringLiteral("Завершение программы отложено до конца продажи"));
    emit closeRequested();
    return;
  }
  closePending_ = false;
  FormClose(e);
  if (!e->isAccepted()) return;
  closed_ = true;
  // Leave every event loop, nested ones of open screens included. Only the
  // program's own loop may be ended so: an exit while it does not run would
  // make every later event loop (a test's dialogs) return at once.
  if (TKioskApplication::running()) QCoreApplication::exit(0);
}

void TfmMain::FormClose(QCloseEvent* e) {
  e->accept();
  // 1.
  d200_connection_err_was_logged = false;

  // 2. Before the home screen was ever shown, closing asks for the service
  //    password here, with device discovery and the configuration cycle
  //    paused meanwhile; Cancel keeps the kiosk running. Once the home screen
  //    was shown it asked itself, and a system shutdown never asks.
  if (!expectation_form_was_shown && check_password_on_exit) {
    const bool discovery = tmPOSDiscovery->isActive(), config = tmConfig->isActive();
    tmPOSDiscovery->stop();
    tmConfig->stop();
    const bool accepted = AskServicePassword();
    if (discovery) tmPOSDiscovery->start();
    if (config) tmConfig->start();
    if (!accepted) {
      e->ignore();
      return;
    }
  }

  // 3. Discovery ends first, so that the ports saved are the ones it settled
  //    on and the drivers it works with are free for the close below.
  if (devicesDiscoveryThread) {
    devicesDiscoveryThread->stop();
    sber_com_port = devicesDiscoveryThread->sberPortToSave();
    vendotek_com_port = devicesDiscoveryThread->vendotekPortToSave();
  }
  try {
    writeInt(*settings_, SettingsKeys::sber_com_port, sber_com_port);
    writeInt(*settings_, SettingsKeys::vendotek_com_port, vendotek_com_port);
    writeDateTime(*settings_, SettingsKeys::last_audit_dt, last_audit_dt);
    settings_->saveWithBackup();
  } catch (const std::exception& ex) {
    log(QStringLiteral("Не удалось сохранить настройки: ") + exceptionMessage(ex));
  }

  // 4.
  queueEvent(33, QString());

  // 5. Every worker is asked to end now, so they all wind down while the
  //    close goes on; they are waited for below.
  workers.requestStop();

  // 6. The coffee worker is waited for: it never waits for this thread, and
  //    an exchange in flight is broken off.
  tmCarimali->stop();
  if (carimaliInitializationThread) carimaliInitializationThread->stop();

  // 7. The drivers themselves are freed with the form: a screen's worker may
  //    still be finishing with them while the nested event loops unwind.
  if (vendotek && vendotek->isOpen()) {
    vendotek->keepalive = false;
    try {
      vendotek->disableHandshake();
    } catch (const std::exception&) {
    }
  }

  if (paymentModule) paymentModule->close();

  // 8. The back office shows the kiosk offline at once, not after a time-out.
  //    A server gone silent must not hold the close: every wait of the calls
  //    made from here on is short, and this call as a whole is broken off
  //    when its step of the close's budget is up.
  const TCloseBudget budget = closeBudget();
  if (JClient) JClient->setTimeoutCapMs(int(budget.terminalMarkMs));
  if (terminal_id > 0 && JClient) {
    try {
      TClientDeadline deadline(*JClient, budget.terminalMarkMs);
      JClient->updateRec(QStringLiteral("tbTerminal"), QStringLiteral("id,isConnected"),
                         WireValue(TVariantArray{WireValue(terminal_id), WireValue::byte(0)}),
                         int(budget.terminalMarkMs / 1000));
    } catch (const std::exception& ex) {
      log(QStringLiteral("Отключение терминала не отмечено: ") + exceptionMessage(ex));
    }
  }

  // 5-9. Threads, devices, the terminal's disconnection on the server and the
  //      keyboard lock are stopped and released here.
  for (QTimer* t : findChildren<QTimer*>()) t->stop();
  // 9.
  if (hook_was_set) {
    Hook(false);
    hook_was_set = false;
  }
  // The sales already paid get their grace; what still runs then is broken
  // off, reports its work undone, and has ended when this returns.
  if (waitForSaleWorkers) waitForSaleWorkers(budget);
  // Nothing of this copy works on the data folder or the drivers' ports
  // from here on.
  workers.stopAll();
  // Nor numbers an event: the workers of screens still unwinding from this
  // close find the gate shut.
  if (eventGate_) eventGate_->close();

  log(QStringLiteral("Завершение программы"));
  // A copy started meanwhile (after an update) may take over now; what is
  // left is freeing memory and the drivers.
  if (instance_lock_) instance_lock_->unlock();
}

void TfmMain::closeIfPending() {
  if (closePending_ && !closed_ && saleDepth_ == 0) close();
}

bool TfmMain::eventsOpen() const {
  return eventGate_ && eventGate_->isOpen();
}

void TfmMain::saleEnded() {
  if (--saleDepth_ > 0 || !closePending_ || closed_) return;
  // From the top: every nested loop still turning (the cart's, the home
  // screen's) is left first; the home screen's end or the program's entry
  // then closes the form. Only the program's own loop may be left so (see
  // closeEvent); without it (tests) the close comes as the next event.
  if (TKioskApplication::running())
    QCoreApplication::exit(0);
  else
    QTimer::singleShot(0, this, [this] { closeIfPending(); });
}

TSaleInProgress::TSaleInProgress() : form_(fmMain) {
  if (form_) ++form_->saleDepth_;
}

TSaleInProgress::~TSaleInProgress() {
  if (form_) form_->saleEnded();
}

void TfmMain::makeAudit(int auditReason_id) {
  if (auditScheduler) auditScheduler->makeAudit(auditReason_id);
}

void TfmMain::tmPOSDiscoveryTimer() {
  const TPosReport r = posDiscoveryTick(
      pos_type, devicesDiscoveryThread ? devicesDiscoveryThread->identity() : TPosIdentity(),
      plat::clock().nowMs() - startup_ms, d200_connection_err_was_logged, sbp_enabled,
      yandex_badge_enabled);
  if (r.stopTimer) tmPOSDiscovery->stop();
  if (r.eventId != 0) queueEvent(r.eventId, r.eventText);
  if (!r.errorText.isEmpty()) showError(r.errorText);
  if (r.setNoPosTerminal) vmState.no_pos_terminal = r.no_pos_terminal;
}

void TfmMain::paymentModuleWasFound(int comPort) {
  paymentModuleFound = true;
  queueEvent(1, QStringLiteral("Обнаружена кофемашина № ") +
                    plat::fromAnsi(paymentModule->serialNumber()) +
                    QStringLiteral(" (COM-порт %1)").arg(comPort));
  payment_module_com_port = comPort;
  try {
    writeInt(*settings_, SettingsKeys::payment_module_com_port, comPort);
    settings_->saveWithBackup();
  } catch (const std::exception& ex) {
    log(QStringLiteral("Не удалось сохранить настройки: ") + exceptionMessage(ex));
  }
}

void TfmMain::tmPaymentModuleIncomingRequestTimer() {
  if (!paymentModuleFound || !paymentModule) return;
  try {
    paymentModule->checkIncomingRequest();
    paymentModuleError_.clear();
  } catch (const std::exception& e) {
    // A module gone from its port fails on every tick; the log keeps it once
    // instead of a message on screen twice a second.
    const QString message = exceptionMessage(e);
    if (message != paymentModuleError_) log(QStringLiteral("Модуль оплаты: ") + message);
    paymentModuleError_ = message;
  }
}

void TfmMain::tmExpectationTimer() {
  if (!config_loaded) return;
  if (pos_type == ptNone && !sbp_enabled && !yandex_badge_enabled) return;
  if (!openHomeScreen) return;
  tmExpectation->stop();
  tmConfig->stop();
  openHomeScreen();
  expectation_form_was_shown = true;
  close();
}

void TfmMain::tmConfigTimer() {
  tmConfig->stop();
  if (eventLog && !eventLog->started()) eventLog->start();
  const TConfigTickResult r = configCycle->tick(startup_ms);
  // Without a port or login only a technician can go on: the service menu.
  if (r.openSettings && showSettings()) {
    check_password_on_exit = false;
    close();
    return;
  }
  if (r.showError) showError(r.errorText);
  if (r.loaded) {
    showLogo();
    startCoffeeSupervision();
    if (devicesDiscoveryThread) devicesDiscoveryThread->configurationChanged();
    tmPOSDiscovery->start();
    tmConfig->setInterval(600000);
  }
  tmConfig->start();
}

// --- service menu --------------------------------------------------------------

bool TfmMain::showSettings() {
  const bool config = tmConfig->isActive();
  tmConfig->stop();
  struct Restore {
    QTimer* timer;
    bool active;
    ~Restore() {
      if (active) timer->start();
    }
  } restore{tmConfig, config};
  if (!AskServicePassword()) return false;
  TServiceMenuContext ctx;
  ctx.SS = settings_.get();
  ctx.client = JClient.get();
  ctx.setBringToFront = [this](bool on) {
    if (on)
      tmBringToFront->start();
    else
      tmBringToFront->stop();
  };
  ctx.refreshConfig = [this] { refreshConfig(); };
  ctx.makeAudit = [this](int kind) { makeAudit(kind); };
  ctx.vm_id = vm_id;
  ctx.programPath = plat::programFilePath();  // not the old file an update moved aside
  TfmSettings form(std::move(ctx));
  form.setWindowState(Qt::WindowFullScreen);
  form.exec();
  return form.close_application;
}

void TfmMain::lbErrDblClick() {
  if (!showSettings()) return;
  check_password_on_exit = false;
  close();
}

// --- coffee machine ------------------------------------------------------------

bool TfmMain::startCoffeeSupervision() {
  if (!carimaliInitializationThread) return false;
  if (carimaliInitializationThread->started()) return true;
  if (!config_loaded || !carimali_machine) return false;
  carimaliInitializationThread->start();
  tmCarimali->start();
  return true;
}

TCoffeeDialogContext TfmMain::coffeeDialogContext() {
  TCoffeeDialogContext c;
  c.carimali = carimali.get();
  c.synchronizer = &carimali_synchronizer;
  c.state = [this] {
    return carimaliInitializationThread ? carimaliInitializationThread->state() : TCarimaliState();
  };
  return c;
}

void TfmMain::tmCarimaliTimer() {
  if (!carimaliInitializationThread || !carimaliInitializationThread->started()) return;
  tmCarimali->stop();
  TCarimaliTimerInput in;
  in.connected = carimaliInitializationThread->connected();
  in.attempt_cnt = carimaliInitializationThread->attempt_cnt();
  in.state = carimaliInitializationThread->state();
  in.nowMs = plat::clock().nowMs();
  // The worker keeps the port the machine answered on; reading it needs no
  // lock, so a long exchange never stalls the screen here.
  in.driverPort = carimaliInitializationThread->comPort;
  in.storedPort = carimali_com_port;
  in.status = carimali_status;
  const TCarimaliTimerResult r = carimaliTimerTick(in);
  if (r.savePort) {
    carimali_com_port = in.driverPort;
    try {
      writeInt(*settings_, SettingsKeys::COMPort, carimali_com_port);
      settings_->saveWithBackup();
    } catch (const std::exception& e) {
      log(QStringLiteral("Не удалось сохранить настройки: ") + exceptionMessage(e));
    }
  }
  if (r.boilerInfill) {
    {
      TServiceMenuAccess service;
      service.showSettings = [this] { return showSettings(); };
      service.closeProgram = [this] {
        check_password_on_exit = false;
        tmClose->start();
      };
      TfmBoilerInfill dlg(coffeeDialogContext(), std::move(service), this);
      dlg.exec();
    }
    try {
      std::lock_guard lock(carimali_synchronizer);
      carimali->readCurrentState2();
    } catch (const std::exception& e) {
      queueEvent(1, exceptionMessage(e));
    }
    if (!closed_) tmCarimali->start();
    return;
  }
  carimali_status = r.status;
  tmCarimali->start();
}

bool TfmMain::checkCoffeeMachineState() {
  // A payment module without a port counts as no link to the machine.
  std::function<int()> moduleStatus;
  if (paymentModule && paymentModule->comPort() > 0)
    moduleStatus = [this] { return int(paymentModule->getVmStatus()); };
  const TCoffeeCheck c =
      checkCoffeeMachine(carimali_machine, carimali_status, drink_after_payment, moduleStatus);
  if (c.noCoffeeVm) vmState.no_coffee_vm = true;
  if (c.errCode) vmState.coffee_vm_err_code = *c.errCode;
  if (c.eventId) queueEvent(c.eventId, c.eventText);
  if (!c.message.isEmpty()) ShowMessageTimed(c.message, 15);
  return c.allowed;
}

void TfmMain::prepareCarimaliDrink(const TProduct& product) {
  if (!carimali) throw Exception(QStringLiteral("Кофемашина не подключена."));
  {
    std::lock_guard lock(carimali_synchronizer);
    carimali->makeDrink(product.cell);
    carimali->readCurrentState();
  }
  if (closePending_) return;
  {
    TfmDrinkWaiting waiting(coffeeDialogContext(), this);
    waiting.lbTop->setText(product.name);
    // The machine makes the drink it was given whatever the kiosk does; the
    // close only ends the wait for it.
    connect(this, &TfmMain::closeRequested, &waiting, &QDialog::accept);
    waiting.exec();
    // An exchange in progress ends before the screen goes.
    std::lock_guard lock(carimali_synchronizer);
  }
}

QString TfmMain::evaErrorCodes() const {
  if (!carimali_machine || !carimaliInitializationThread) return vmState.getEvaErrorCodes();
  const TCarimaliEvaState eva =
      carimaliEvaState(carimaliInitializationThread->state(), startup_ms, plat::clock().nowMs());
  return vmState.getEvaErrorCodes(&eva);
}

// --- scanner -------------------------------------------------------------------

void TfmMain::keyReleaseEvent(QKeyEvent* e) {
  FormKeyUp(e);
  QWidget::keyReleaseEvent(e);
}

void TfmMain::FormKeyUp(QKeyEvent* e) {
  int key = e->key();
  if (key == Qt::Key_Return || key == Qt::Key_Enter) key = TScannerInput::kEnter;
  const QString text = e->text();
  scanner.FormKeyUp(key, text.size() == 1 ? text[0] : QChar());
}

// --- shutdown by signal -------------------------------------------------------

void TfmMain::shutdownClose() {
  if (closed_) return;
  log(QStringLiteral("Завершение по сигналу системы"));
  check_password_on_exit = false;
  close();
}

void TfmMain::installShutdownSignals() {
  if (shutdownPipe[0] >= 0) return;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, shutdownPipe) != 0) {
    log(QStringLiteral("Сигналы завершения не перехвачены: socketpair"));
    return;
  }
  auto* notifier = new QSocketNotifier(shutdownPipe[0], QSocketNotifier::Read, this);
  connect(notifier, &QSocketNotifier::activated, this, [this] {
    char buf[16];
    [[maybe_unused]] ssize_t n = ::read(shutdownPipe[0], buf, sizeof buf);
    shutdownClose();
  });
  struct sigaction sa {};
  sa.sa_handler = onShutdownSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
}

// --- application --------------------------------------------------------------

TKioskApplication::TKioskApplication(int& argc, char** argv) : QApplication(argc, argv) {}

namespace {
std::atomic<int> applicationLoops{0};
}

int TKioskApplication::run() {
  ++applicationLoops;
  struct Leave {
    ~Leave() { --applicationLoops; }
  } leave;
  return exec();
}

bool TKioskApplication::running() {
  return applicationLoops.load() > 0;
}

bool TKioskApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    handleException(exceptionMessage(e));
  } catch (...) {
    handleException(QStringLiteral("Неизвестная ошибка."));
  }
  return false;
}

void TKioskApplication::handleException(const QString& message) {
  if (!fmMain) {
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    return;
  }
  // Shown from the event loop, not from inside the handler that failed.
  plat::postTo(fmMain, [message] {
    if (fmMain) fmMain->onApplicationException(message);
  });
}
