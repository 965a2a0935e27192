// The configuration cycle end to end against the stand-in back office,
// in-process: registration, the number choice, the statements as the server
// sees them, the cache files and the offline start, the settings clamps.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <memory>

#include "backoffice/JClient.h"
#include "kiosk/ConfigCycle.h"
#include "kiosk/Counters.h"
#include "kiosk/EventSink.h"
#include "kiosk/Products.h"
#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "platform/MemTable.h"
#include "testbed/ProtocolServer.h"
#include "testbed/SimDatabase.h"
#include "testbed/SimHandlers.h"

// Readable failures.
inline void PrintTo(const QString& s, std::ostream* os) {
  *os << s.toStdString();
}

namespace {

struct RecordingSink : IEventSink {
  std::vector<std::pair<int, QString>> events;
  void add(int id, const QString& descr) override { events.emplace_back(id, descr); }
};

struct Backoffice {
  QTemporaryDir dir;
  sim::SimDatabase db{dir.filePath("bo.sqlite")};
  sim::SimHandlers handlers{db, dir.path()};
  std::unique_ptr<ProtocolServer> server;

  Backoffice() {
    db.exec("insert into tbUser(login, password, name) values ('kiosk', 'pw', 'Kiosk')");
    server = std::make_unique<ProtocolServer>();
    handlers.install(*server);
    server->start();
  }
  QVariant value(const QString& sql) {
    auto rs = db.select(sql);
    return rs.rows.isEmpty() ? QVariant() : rs.rows.at(0).at(0);
  }
  QStringList statements(int code) {
    QStringList out;
    for (const auto& r : server->requests())
      if (r.code == code && !r.params.empty()) out << r.params.at(0).toString();
    return out;
  }
};

// The kiosk's side: its settings file and data folder, and what the cycle fills.
struct Kiosk {
  QString folder;
  TSettingsStorage ss;
  TJClient client;
  plat::MemTable tbDocVmServiceSale;
  TVmConfig config;
  TCountersState counters;
  TProductCatalog products;
  RecordingSink sink;
  int applied = 0;
  std::unique_ptr<TConfigCycle> cycle;

  Kiosk(const QString& dataFolder, int port) : folder(dataFolder) {
    ss.IniFileName = folder + "/vekta.ini";
    if (QFile::exists(ss.IniFileName)) ss.LoadFromIniFile();
    writeText(ss, SettingsKeys::host, "127.0.0.1");
    writeInt(ss, SettingsKeys::port, port);
    writeText(ss, SettingsKeys::login, "kiosk");
    writePassword(ss, SettingsKeys::password, "pw");
    // The settings a tick copies into the client, for tests that call the
    // steps themselves.
    client.setHost("127.0.0.1");
    client.setPort(port);
    client.setLogin("kiosk");
    client.setPassword("pw");
    client.setServerType("DR");
    client.setApplicationID("vekta");
    client.setClientVersion("1.4");
    client.setConnectTimeoutMs(2000);
    counters.dataFolder = folder;

    TConfigContext ctx;
    ctx.SS = &ss;
    ctx.client = &client;
    ctx.tbDocVmServiceSale = &tbDocVmServiceSale;
    ctx.dataFolder = folder;
    ctx.config = &config;
    ctx.counters = &counters;
    ctx.products = &products;
    ctx.events = [this] { return &sink; };
    ctx.osVersion = [] { return QStringLiteral("Test OS 'quoted'"); };
    ctx.settingsApplied = [this] { ++applied; };
    cycle = std::make_unique<TConfigCycle>(ctx);
  }
  QString stored(const char* name) {
    TSettingsStorage file;
    file.LoadFromIniFile(ss.IniFileName);
    return file.Get({"global"}, name, QVariant()).toString();
  }
  QString error(const std::function<void()>& f) {
    try {
      f();
    } catch (const std::exception& e) {
      return exceptionMessage(e);
    }
    return {};
  }
};

QByteArray fileBytes(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(ConfigCycle, FirstStartOnAnEmptyBackOfficeRegistersTheMachine) {
  Backoffice bo;
  QTemporaryDir data;
  Kiosk k(data.path(), bo.server->port());

  // Nothing is for sale yet, so the load stops at the assortment; the records
  // it created stay.
  EXPECT_EQ(k.error([&] {
    k.client.connect(30);
    k.cycle->refreshConfig();
  }),
            QStringLiteral("Необходимо ввести ассортимент и цены товаров."));

  const qint64 maker =
      bo.value("select id from tbManufacturer where name = 'Norvane' and eva_code = 'NVQ'")
          .toLongLong();
  ASSERT_GT(maker, 0);
  auto model = bo.db.select(
      "select id, name, vmKind_id, manufacturer_id, isTrevalo, eva_code, "
      "drink_prefix, snack_prefix, min_snack_cell from tbVmModel");
  ASSERT_EQ(model.rows.size(), 1);
  EXPECT_EQ(model.rows[0].mid(1),
            (QVariantList{QStringLiteral("Люмекат"), 3, maker, 1, QStringLiteral("trevalo"),
                          QStringLiteral("d"), QStringLiteral("s"), 11}));
  auto vm = bo.db.select(
      "select id, vmModel_id, protocolSerialNumber, serialNumber, vmProtocol_id, "
      "terminal_id from tbVm");
  ASSERT_EQ(vm.rows.size(), 1);
  const qint64 terminal =
      bo.value("select id from tbTerminal where imei = 'trevalo-001'").toLongLong();
  ASSERT_GT(terminal, 0);
  EXPECT_EQ(vm.rows[0].mid(1), (QVariantList{model.rows[0][0], QStringLiteral("NVQ001"),
                                             QStringLiteral("001"), 3, terminal}));
  EXPECT_EQ(k.config.vm_id, vm.rows[0][0].toLongLong());
  EXPECT_EQ(k.config.terminal_id, terminal);
  EXPECT_EQ(k.stored("protocolSerialNumber"), QStringLiteral("001"));

  // The terminal's report, exactly as the back office receives it.
  const QString update =
      "update tbTerminal set  software_version = '1.4.64',  hardware_version = '7',  os_version = "
      "'Test OS ''quoted''',  vekta_refresh_config_dt = current_timestamp,  isConnected = 1,  "
      "connection_tm = current_timestamp where id = " +
      QString::number(terminal);
  EXPECT_TRUE(bo.statements(2).contains(update)) << bo.statements(2).join("\n").toStdString();
  EXPECT_EQ(
      bo.value("select software_version || '|' || os_version || '|' || isConnected from tbTerminal")
          .toString(),
      QStringLiteral("1.4.64|Test OS 'quoted'|1"));
  // An empty answer writes no cache.
  EXPECT_FALSE(QFile::exists(data.filePath("tbDocVmServiceSale")));
}

TEST(ConfigCycle, NewKioskTakesTheFirstFreeNumber) {
  const struct {
    QStringList existing;
    const char* expected;
  } cases[] = {
      {{"NVQ001", "NVQ002"}, "003"},
      {{"NVQ001", "NVQ003"}, "002"},
      {{"NVQ002", "nvq001"}, "001"},  // the match is exact
  };
  for (const auto& c : cases) {
    Backoffice bo;
    bo.db.exec("insert into tbVmModel(id, name, isTrevalo) values (5, 'Люмекат', 1)");
    for (const QString& n : c.existing)
      bo.db.exec("insert into tbVm(vmModel_id, protocolSerialNumber) values (5, ?)", {n});
    QTemporaryDir data;
    Kiosk k(data.path(), bo.server->port());
    k.error([&] { k.cycle->refreshConfig(); });
    EXPECT_EQ(k.config.protocolSerialNumber, QString::fromLatin1(c.expected));
    EXPECT_EQ(k.stored("protocolSerialNumber"), QString::fromLatin1(c.expected));
    EXPECT_EQ(bo.value("select count(*) from tbVm where protocolSerialNumber = 'NVQ" +
                       QString::fromLatin1(c.expected) + "' and vmModel_id = 5")
                  .toInt(),
              1);
    EXPECT_EQ(bo.value("select count(*) from tbVmModel").toInt(), 1);  // the model is reused
  }
}

TEST(ConfigCycle, DemoBackOfficeLoadsEverythingAndFindsTheMachineAgain) {
  Backoffice bo;
  bo.db.seedDemo();
  QTemporaryDir data;
  Kiosk k(data.path(), bo.server->port());

  const TConfigTickResult r = k.cycle->tick(plat::clock().nowMs());
  ASSERT_TRUE(r.loaded) << r.errorText.toStdString();
  EXPECT_FALSE(r.showError);
  EXPECT_TRUE(k.config.config_loaded);
  EXPECT_TRUE(k.config.last_refresh_config_dt.isValid());

  EXPECT_EQ(k.products.drinks.size() + k.products.snacks.size(), 20u);
  EXPECT_EQ(k.tbDocVmServiceSale.RecordCount(), 20);
  // Card price wins over the normal one; the second code of a product is found.
  EXPECT_DOUBLE_EQ(k.products.getProduct(false, 4).price, 89.0);
  EXPECT_EQ(k.products.getProductByBarcode("4601234009010").cell, 1);
  EXPECT_TRUE(k.config.sbp_enabled);
  EXPECT_TRUE(k.config.yandex_badge_enabled);
  EXPECT_TRUE(k.config.manual_barcodes);
  EXPECT_EQ(k.config.MAX_DRINKS_PER_PAGE, 6);
  EXPECT_EQ(k.config.bar_code_delay, 1000);
  EXPECT_EQ(k.config.loyalty_system_card_mask, QStringLiteral("777*"));
  EXPECT_GT(k.config.loyaltySystem_id, 0);
  EXPECT_EQ(k.config.SERVICE_PASSWORD, QStringLiteral("5817"));
  EXPECT_EQ(k.config.auditTime, (std::vector<double>{8.0 / 24, 20.0 / 24}));
  EXPECT_EQ(k.applied, 1);
  EXPECT_EQ(k.stored("support_phone"), QStringLiteral("8 800 000-00-00"));
  EXPECT_EQ(k.stored("create_checks"), QStringLiteral("1"));
  EXPECT_EQ(k.stored("vm_id").toLongLong(), k.config.vm_id);
  EXPECT_EQ(k.stored("terminal_id").toLongLong(), k.config.terminal_id);
  ASSERT_FALSE(k.sink.events.empty());
  EXPECT_EQ(k.sink.events.back(), std::make_pair(1, QStringLiteral("Конфигурация обновлена.")));

  // Both tables are cached and read back whole.
  for (const char* name : {"tbDocVmServiceSale", "tbVmSettings"}) {
    plat::MemTable t;
    ASSERT_NO_THROW(t.LoadFromFile(data.filePath(name))) << name;
    EXPECT_EQ(t.RecordCount(), QByteArray(name) == "tbVmSettings" ? 1 : 20) << name;
  }
  // The settings row holds the service password in clear.
  EXPECT_EQ(QFileInfo(data.filePath("tbVmSettings")).permissions(),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);

  // A second load finds the machine by its stored number.
  const qint64 vm = k.config.vm_id;
  ASSERT_EQ(k.error([&] { k.cycle->refreshConfig(); }), QString());
  EXPECT_EQ(k.config.vm_id, vm);
  EXPECT_EQ(bo.value("select count(*) from tbVm").toInt(), 1);
  EXPECT_EQ(bo.value("select count(*) from tbTerminal").toInt(), 1);
}

TEST(ConfigCycle, SettingsAreClampedAndDefaulted) {
  Backoffice bo;
  bo.db.seedDemo();
  QTemporaryDir data;
  Kiosk k(data.path(), bo.server->port());
  ASSERT_EQ(k.error([&] { k.cycle->refreshConfig(); }), QString());

  const struct {
    const char* qr;
    const char* warning;
    const char* reset;
    const char* perPage;
    const char* timetable;
    int qrOut, warningOut, resetOut, perPageOut;
    std::vector<double> audits;
  } cases[] = {
      {"1", "null", "200", "0", "''", 3, 180, 120, 10, {}},
      {"1000", "10", "5", "null", "null", 300, 30, 30, 10, {}},
      {"null",
       "301",
       "null",
       "-3",
       "'<root><eva><prg><hhmm>0630</hhmm></prg></eva></root>'",
       10,
       300,
       60,
       10,
       {0.27083333333333331}},
      {"45", "60", "90", "4", "'<root/>'", 45, 60, 90, 4, {}},
  };
  for (const auto& c : cases) {
    bo.db.exec(QStringLiteral("update tbVmSettings set vekta_qr_code_delay = %1, "
                              "vekta_recycle_warning_delay = %2, vekta_recycle_reset_delay = %3, "
                              "vekta_max_drinks_per_page = %4, timetable = %5")
                   .arg(c.qr, c.warning, c.reset, c.perPage, c.timetable));
    ASSERT_EQ(k.error([&] { k.cycle->refreshConfig(); }), QString()) << c.qr;
    EXPECT_EQ(k.config.vekta_qr_code_delay, c.qrOut) << c.qr;
    EXPECT_EQ(k.config.vekta_recycle_warning_delay, c.warningOut) << c.qr;
    EXPECT_EQ(k.config.vekta_recycle_reset_delay, c.resetOut) << c.qr;
    EXPECT_EQ(k.config.MAX_DRINKS_PER_PAGE, c.perPageOut) << c.qr;
    EXPECT_EQ(k.config.auditTime.size(), c.audits.size()) << c.qr;
    for (size_t i = 0; i < c.audits.size() && i < k.config.auditTime.size(); ++i)
      EXPECT_NEAR(k.config.auditTime[i], c.audits[i], 1e-12);
    EXPECT_EQ(k.stored("vekta_qr_code_delay").toInt(), c.qrOut);
    EXPECT_EQ(k.stored("vekta_recycle_reset_delay").toInt(), c.resetOut);
  }
}

TEST(ConfigCycle, OneBadAnswerKeepsTheGoodCache) {
  Backoffice bo;
  bo.db.seedDemo();
  QTemporaryDir data;
  Kiosk k(data.path(), bo.server->port());
  ASSERT_EQ(k.error([&] { k.cycle->refreshConfig(); }), QString());
  const QByteArray assortment = fileBytes(data.filePath("tbDocVmServiceSale"));
  const QByteArray settings = fileBytes(data.filePath("tbVmSettings"));
  ASSERT_FALSE(assortment.isEmpty());
  ASSERT_FALSE(settings.isEmpty());

  // A timetable that is not XML fails the settings step.
  bo.db.exec("update tbVmSettings set timetable = '<eva><prg>', vekta_max_drinks_per_page = 3");
  EXPECT_FALSE(k.error([&] { k.cycle->refreshConfig(); }).isEmpty());
  EXPECT_EQ(fileBytes(data.filePath("tbVmSettings")), settings);
  EXPECT_EQ(k.config.MAX_DRINKS_PER_PAGE, 6);  // nothing applied before the timetable

  // An empty assortment fails the product step.
  bo.db.exec("update tbDocVmServiceSale set disconnected = 1");
  EXPECT_EQ(k.error([&] { k.cycle->refreshConfig(); }),
            QStringLiteral("Необходимо ввести ассортимент и цены товаров."));
  EXPECT_EQ(fileBytes(data.filePath("tbDocVmServiceSale")), assortment);
  EXPECT_EQ(k.products.drinks.size() + k.products.snacks.size(), 20u);
}

TEST(ConfigCycle, RestartWithTheServerDownStartsFromTheCacheWithItsCounters) {
  QTemporaryDir data;
  qint64 vm = 0;
  int port = 0;
  {
    Backoffice bo;
    bo.db.seedDemo();
    port = bo.server->port();
    Kiosk k(data.path(), port);
    ASSERT_TRUE(k.cycle->tick(plat::clock().nowMs()).loaded);
    vm = k.config.vm_id;
  }  // the server is gone
  saveCounterLines(data.path(), {"d3\t5\t1\t0\t250", "total_amount\t123456"});

  plat::ManualClock clock;
  plat::setClock(&clock);
  Kiosk k(data.path(), port);
  const TConfigTickResult r = k.cycle->tick(clock.nowMs());
  plat::setClock(nullptr);
  ASSERT_TRUE(r.loaded);
  EXPECT_FALSE(r.showError);
  EXPECT_EQ(k.config.vm_id, vm);
  EXPECT_EQ(k.products.drinks.size() + k.products.snacks.size(), 20u);
  EXPECT_EQ(k.products.getProduct(false, 3).counter, 5u);
  EXPECT_EQ(k.counters.total_cashless_amount_kop, 123456);
  EXPECT_TRUE(k.config.sbp_enabled);
  EXPECT_EQ(k.config.MAX_DRINKS_PER_PAGE, 6);
  EXPECT_FALSE(k.config.last_refresh_config_dt.isValid());  // not a load from the server
}

TEST(ConfigCycle, WithoutServerAndCachedIdsTheErrorShowsAfterTenSeconds) {
  int port = 0;
  {
    Backoffice bo;
    port = bo.server->port();
  }
  plat::ManualClock clock;
  plat::setClock(&clock);
  QTemporaryDir data;
  Kiosk k(data.path(), port);
  const int64_t start = clock.nowMs();

  const TConfigTickResult early = k.cycle->tick(start);
  EXPECT_FALSE(early.loaded);
  EXPECT_FALSE(early.showError);
  clock.advance(10000);
  const TConfigTickResult late = k.cycle->tick(start);
  plat::setClock(nullptr);
  EXPECT_FALSE(late.loaded);
  ASSERT_TRUE(late.showError);
  const QString head = QStringLiteral("Не удаётся загрузить конфигурацию люмеката.\r\n");
  EXPECT_TRUE(late.errorText.startsWith(head));
  EXPECT_GT(late.errorText.size(), head.size());  // the connection's own message follows
  EXPECT_EQ(k.error([&] { k.cycle->loadConfigFromCache(); }),
            QStringLiteral("Не удалось загрузить конфигурацию."));
}

// The settings file cannot be replaced: a folder stands in its place, which
// no permission, root's included, lets a rename replace. Whichever way the
// configuration comes, the load finishes: the kiosk sells with the values in
// memory, and the fault is reported once, in the log and as event 1.
TEST(ConfigCycle, ASettingsFileThatCannotBeWrittenStopsNoLoad) {
  enum Start { ServerLoad, OfflineStart, Registration };
  const struct {
    const char* name;
    Start start;
  } cases[] = {
      {"load from the server", ServerLoad},
      {"offline start from the cache", OfflineStart},
      {"registration of a new machine", Registration},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir data;
    auto bo = std::make_unique<Backoffice>();
    bo->db.seedDemo();
    const int port = bo->server->port();
    if (c.start != Registration) {
      Kiosk first(data.path(), port);
      ASSERT_TRUE(first.cycle->tick(plat::clock().nowMs()).loaded);
    }
    if (c.start == OfflineStart) bo.reset();  // the server is gone

    Kiosk k(data.path(), port);
    int audits = 0;
    QStringList logged;
    k.cycle->ctx.scheduleNextAudit = [&] { ++audits; };
    k.cycle->ctx.log = [&](const QString& line) { logged << line; };
    QFile::remove(k.ss.IniFileName);
    ASSERT_TRUE(QDir().mkdir(k.ss.IniFileName));

    const TConfigTickResult r = k.cycle->tick(plat::clock().nowMs());
    EXPECT_TRUE(r.loaded);
    EXPECT_TRUE(k.config.config_loaded);
    EXPECT_EQ(k.config.last_refresh_config_dt.isValid(), c.start != OfflineStart)
        << "from the server while it is up";
    EXPECT_EQ(audits, 1) << "the step after the save ran";
    EXPECT_EQ(k.products.drinks.size() + k.products.snacks.size(), 20u);
    if (c.start == Registration) {
      EXPECT_EQ(readText(k.ss, SettingsKeys::protocolSerialNumber), QStringLiteral("001"));
    }

    const QString head = QStringLiteral("Не удалось сохранить настройки: ");
    int reported = 0;
    for (const auto& [id, text] : k.sink.events)
      if (text.startsWith(head)) {
        ++reported;
        EXPECT_EQ(id, 1);
        EXPECT_TRUE(text.contains(k.ss.IniFileName)) << text.toStdString();
      }
    EXPECT_EQ(reported, 1) << "once, not at every save";
    EXPECT_EQ(logged.filter(head).size(), 1) << logged.join(u'\n').toStdString();
  }
}

// A settings file that kept the machine's ids but lost its number (an old
// copy put back by hand): the kiosk that started from its cache stays that
// machine when the server is back, and registers no new one.
TEST(ConfigCycle, StoredIdsWithoutTheNumberKeepTheMachineAfterAStartFromTheCache) {
  Backoffice bo;
  bo.db.seedDemo();
  QTemporaryDir data;
  qint64 vm = 0, terminal = 0;
  {
    Kiosk first(data.path(), bo.server->port());
    ASSERT_TRUE(first.cycle->tick(plat::clock().nowMs()).loaded);
    vm = first.config.vm_id;
    terminal = first.config.terminal_id;
  }
  Kiosk k(data.path(), bo.server->port());
  writeText(k.ss, SettingsKeys::protocolSerialNumber, QString());
  ASSERT_EQ(k.error([&] { k.cycle->loadConfigFromCache(); }), QString());
  ASSERT_EQ(k.config.vm_id, vm);

  ASSERT_EQ(k.error([&] {
    k.client.connect(30);
    k.cycle->refreshConfig();
  }),
            QString());
  EXPECT_EQ(k.config.vm_id, vm);
  EXPECT_EQ(k.config.terminal_id, terminal);
  EXPECT_EQ(bo.value("select count(*) from tbVm").toInt(), 1);
  EXPECT_EQ(bo.value("select count(*) from tbTerminal").toInt(), 1);
}

// Recipes of slots 1 (drink 3), 2 (drink 57: not a drink) and 5 (drink 4).
struct FakeCoffeeMachine : ICoffeeMachine {
  std::recursive_mutex m;
  std::recursive_mutex& synchronizer() override { return m; }
  QByteArray getRecipe(int n) override {
    const int drink = n == 1 ? 3 : n == 2 ? 57 : n == 5 ? 4 : 0;
    return drink ? QByteArray(1, char(drink)) + QByteArray(71, 'A' + char(n)) : QByteArray();
  }
  QString getRecipeDescr(int n) override { return QStringLiteral("Рецепт %1").arg(n); }
  QString getCarimaliDrinkByNo(int no) override {
    return no == 3 ? QStringLiteral("Капучино") : QStringLiteral("Латте");
  }
};

TEST(ConfigCycle, CoffeeRecipesAreUploadedOnceAndListedInTheServiceDocument) {
  Backoffice bo;
  bo.db.seedDemo();
  QTemporaryDir data;
  Kiosk k(data.path(), bo.server->port());
  FakeCoffeeMachine coffee;
  QStringList documents;
  k.cycle->ctx.coffeeMachine = &coffee;
  k.cycle->ctx.sendDocument = [&](const QString& table, const QString& xml, int timeout) {
    EXPECT_EQ(table, QStringLiteral("tbDocVmService"));
    EXPECT_EQ(timeout, 180);
    documents << xml;
  };
  bo.db.exec("update tbVmSettings set vekta_carimali_machine = 1");
  ASSERT_EQ(k.error([&] { k.cycle->refreshConfig(); }), QString());
  ASSERT_EQ(k.error([&] { k.cycle->refreshConfig(); }), QString());
  auto recipes = bo.db.select(
      "select cell, recipe_descr, loaded_to_vm, vm_id from tbCarimaliRecipe order by cell");
  ASSERT_EQ(recipes.rows.size(), 3);  // once per slot, also after the second load
  EXPECT_EQ(recipes.rows[0], (QVariantList{1, QStringLiteral("Рецепт 1"), 1, k.config.vm_id}));
  EXPECT_TRUE(documents.isEmpty());  // the demo machine has its assortment document

  ASSERT_EQ(k.error([&] { k.cycle->createDocVmService(); }), QString());
  ASSERT_EQ(documents.size(), 1);
  const QString folder =
      bo.value("select id from tbNomenclature where name = 'Напитки'").toString();
  const QString latte =
      bo.value("select id from tbNomenclature where name = 'Латте' and parent_id = " + folder)
          .toString();
  ASSERT_FALSE(latte.isEmpty());
  const QString& xml = documents[0];
  EXPECT_TRUE(xml.startsWith(R"(<?xml version="1.0" encoding="windows-1251"?>)"))
      << xml.toStdString();
  EXPECT_TRUE(xml.contains("<vm_id>" + QString::number(k.config.vm_id) + "</vm_id>"));
  EXPECT_TRUE(xml.contains("<cell>5</cell>"));
  EXPECT_TRUE(xml.contains("<new_nomenclature_id>" + latte + "</new_nomenclature_id>"));
  EXPECT_FALSE(xml.contains("<cell>2</cell>"));  // drink number 57
  EXPECT_EQ(xml.count("<row>"), 2);
}

TEST(ConfigCycle, NoPortOrLoginAsksForTheServiceMenu) {
  QTemporaryDir data;
  Kiosk k(data.path(), 1);
  k.ss.Put({"Global"}, "login", "");
  const TConfigTickResult r = k.cycle->tick(plat::clock().nowMs());
  EXPECT_TRUE(r.openSettings);
  EXPECT_FALSE(r.loaded);
}

}  // namespace
