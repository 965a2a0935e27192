#pragma once
// The configuration cycle: log in to the back office, register this machine
// on first contact (manufacturer, model, machine and terminal records), report
// the software and OS version, load the assortment and the settings row, keep
// both on disk and apply them. When the server cannot be reached while
// nothing is loaded yet, the kiosk starts from those cached tables.
//
// Everything runs on the main thread. The cycle reaches the kiosk through a
// small context, so tests drive it against the stand-in back office without
// any widget; the main form holds it and calls it from its timers.

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class IEventSink;
class TJClient;
class TProductCatalog;
class TSettingsStorage;
struct TCountersState;
namespace plat {
class MemTable;
}

// The values a configuration load sets and the screens read.
struct TVmConfig {
  qint64 vm_id = 0;  // 0: not known yet
  qint64 terminal_id = 0;
  QString protocolSerialNumber;  // digits, at least three
  int MAX_DRINKS_PER_PAGE = 10;
  QString SERVICE_PASSWORD;  // in clear
  bool drink_after_payment = false;
  bool carimali_machine = false;
  bool manual_barcodes = false;
  int vekta_qr_code_delay = 10;  // seconds
  int vekta_recycle_warning_delay = 0;
  int vekta_recycle_reset_delay = 0;
  int bar_code_delay = 0;  // milliseconds
  int wallpaper_delay = 0;
  int wallpaper_period = 0;
  QStringList wallpaper_files;
  bool sbp_enabled = false;
  bool yandex_badge_enabled = false;
  int cardProject_id = 0;
  int loyaltySystem_id = 0;
  QString loyalty_system_card_mask;
  // Audit times of day as fractions of a day, in timetable order.
  std::vector<double> auditTime;

  bool config_loaded = false;
  QDateTime last_refresh_config_dt;  // invalid: never
};

// The coffee-machine steps of the cycle: its recipes are uploaded and, once,
// a service document lists its drinks as the machine's assortment. Every call
// is made holding synchronizer(), which the supervision thread holds during
// its own exchanges.
class ICoffeeMachine {
 public:
  virtual ~ICoffeeMachine() = default;
  virtual std::recursive_mutex& synchronizer() = 0;
  // The 72 recipe bytes of slot n (1..28); empty when the slot is unused.
  virtual QByteArray getRecipe(int n) = 0;
  virtual QString getRecipeDescr(int n) = 0;
  // The drink's name for the drink number of a recipe's first byte.
  virtual QString getCarimaliDrinkByNo(int no) = 0;
};

struct TConfigContext {
  TSettingsStorage* SS = nullptr;
  TJClient* client = nullptr;                    // the main client
  plat::MemTable* tbDocVmServiceSale = nullptr;  // the form's assortment table
  QString dataFolder;                            // where the cache files live
  TVmConfig* config = nullptr;
  TCountersState* counters = nullptr;
  TProductCatalog* products = nullptr;
  std::function<IEventSink*()> events;      // null or returning null: dropped
  std::function<void(const QString&)> log;  // the local text log
  ICoffeeMachine* coffeeMachine = nullptr;  // null: no coffee machine
  // Sends a document (table name, XML text, time-out in seconds).
  std::function<void(const QString&, const QString&, int)> sendDocument;
  // Threads and timers that start with the cycle; each may be null.
  std::function<void()> startPushThread;    // at the first tick with a login
  std::function<void()> afterRegistration;  // the audit upload may start
  std::function<void()> settingsApplied;    // wallpapers, payment-module timer
  std::function<void()> scheduleNextAudit;
  // The operating system's description for the terminal record; null: this
  // system's own.
  std::function<QString()> osVersion;
};

// What one tick of the main form's configuration timer asks the form to do.
struct TConfigTickResult {
  bool openSettings = false;  // no port or login: the service menu
  bool loaded = false;        // a configuration is loaded
  bool showError = false;     // the load error, 10 s after start
  QString errorText;
};

class TConfigCycle {
 public:
  static constexpr const char* kAssortmentCacheFile = "tbDocVmServiceSale";
  static constexpr const char* kSettingsCacheFile = "tbVmSettings";
  static constexpr int kTimeout = 30;
  static constexpr int64_t kLoadErrorDelayMs = 10000;

  explicit TConfigCycle(TConfigContext context) : ctx(std::move(context)) {}

  TConfigContext ctx;

  // One tick while nothing is loaded: connect, refreshConfig, else the cache.
  // startupMs is the start on plat::clock(). Once loaded, a failing tick
  // changes nothing.
  TConfigTickResult tick(int64_t startupMs);

  // Registration and full load from the server; raises on any failure and
  // keeps what was done before it.
  void refreshConfig();
  void registerVm(const QVariant& model);
  // Applies the first row of a settings table; nothing for an empty table.
  void applyVmSettings(plat::MemTable& table);
  // Offline start: raises "Не удалось загрузить конфигурацию." without stored
  // machine and terminal ids.
  void loadConfigFromCache();
  void createDocVmService();

  // The SQL texts, as the back office expects them.
  static QString vmByNumberSql(const QString& protocolSerialNumber);
  static QString terminalUpdateSql(const QString& clientVersion, const QString& osVersion,
                                   qint64 terminal_id);
  static QString assortmentSql(qint64 vm_id);
  static QString settingsSql(qint64 vm_id);
  // Text in single quotes with inner quotes doubled.
  static QString quoted(const QString& text);
  // Audit times of the timetable text: one HHMM group per four characters.
  static std::vector<double> parseAuditTimetable(const QString& hhmm);

  QString cacheFile(const char* name) const;

 private:
  void log(const QString& text) const;
  void queueEvent(int id, const QString& text) const;
  // Writes the settings file; a failure is logged and queued as event 1.
  void saveSettings();
  void loadCountersAndTotal();
  void loadAssortment();
  void loadSettings();
  void uploadCoffeeRecipes();

  QString saveFailure_;  // the save failure last reported; empty after a save that worked
};
