#include "kiosk/ConfigCycle.h"

#include <QDir>
#include <QSet>
#include <QSysInfo>
#include <algorithm>
#include <pugixml.hpp>
#include <sstream>

#include "backoffice/JClient.h"
#include "backoffice/JTable.h"
#include "backoffice/SqlLiteral.h"
#include "kiosk/Counters.h"
#include "kiosk/EventSink.h"
#include "kiosk/Products.h"
#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "platform/MemTable.h"
#include "platform/TextCodec.h"
#include "platform/Xml.h"

namespace {

const QString kEight = QStringLiteral("        ");  // the statements' runs of blanks

QString idText(qint64 id) {
  return QString::number(id);
}

qint64 idOf(const WireValue& v) {
  return v.isNullOrEmpty() ? 0 : v.toInt64();
}

// Lines as a string list's text assignment splits them: CR LF, LF or CR end a
// line, and a final line break adds no empty entry.
QStringList textLines(const QString& text) {
  QStringList out;
  QString line;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c == u'\r' || c == u'\n') {
      out << line;
      line.clear();
      if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.isEmpty()) out << line;
  return out;
}

// A server-filled table of the main client, loaded with one statement.
void selectInto(TJTable& table, TJClient& client, const QString& sql) {
  table.SetJClient(&client);
  table.SetSQLText(sql);
  table.selectFromDB(TConfigCycle::kTimeout);
}

QString systemOsVersion() {
  return QSysInfo::prettyProductName() + QStringLiteral(" (") + QSysInfo::kernelType() + u' ' +
         QSysInfo::kernelVersion() + u')';
}

}  // namespace

// --- SQL ---------------------------------------------------------------------

QString TConfigCycle::quoted(const QString& text) {
  return SqlLiteral::quoted(text);
}

QString TConfigCycle::vmByNumberSql(const QString& protocolSerialNumber) {
  return QStringLiteral(
             "select Main.id from tbVM Main inner join tbVmModel Model on Model.id = "
             "Main.vmModel_id where protocolSerialNumber = ") +
         quoted(QStringLiteral("NVQ") + protocolSerialNumber) +
         QStringLiteral(" and Model.isTrevalo = 1");
}

QString TConfigCycle::terminalUpdateSql(const QString& clientVersion, const QString& osVersion,
                                        qint64 terminal_id) {
  return QStringLiteral("update tbTerminal set  software_version = ") +
         quoted(clientVersion + QStringLiteral(".64")) + QStringLiteral(", ") +
         QStringLiteral(" hardware_version = ") + quoted(QStringLiteral("7")) +
         QStringLiteral(", ") + QStringLiteral(" os_version = ") + quoted(osVersion.left(300)) +
         QStringLiteral(", ") + QStringLiteral(" vekta_refresh_config_dt = current_timestamp, ") +
         QStringLiteral(" isConnected = 1, ") +
         QStringLiteral(" connection_tm = current_timestamp ") + QStringLiteral("where id = ") +
         idText(terminal_id);
}

QString TConfigCycle::assortmentSql(qint64 vm_id) {
  return QStringLiteral(
             "select Sale.cell, coalesce(Sale.isSnack, 0) as isSnack, coalesce(new_card_price, "
             "new_normal_price) as price,") +
         kEight +
         QStringLiteral(
             "N.id as nomenclature_id, N.name as nomenclature, coalesce(N.fullName, N.name) as "
             "nomenclature_full_name,") +
         kEight +
         QStringLiteral(
             "cast(N.barcode as blob) as barcode from tbVM Main inner join tbDocVmService Doc on "
             "Doc.id = Main.last_docVmService_id inner join tbDocVmServiceSale Sale on "
             "Sale.docVmService_id = Main.last_docVmService_id inner join tbNomenclature N on "
             "N.id = Sale.new_nomenclature_id where Main.id = ") +
         idText(vm_id) + QStringLiteral(" and coalesce(Sale.disconnected, 0) = 0 ") +
         QStringLiteral("order by 1, 2");
}

QString TConfigCycle::settingsSql(qint64 vm_id) {
  const char* const columns[] = {
      "S.timetable, S.vekta_max_drinks_per_page, S.vekta_service_password,",
      "T.pm_mdb_cshls1Fiscal as create_checks,",
      "S.vekta_drink_after_payment,",
      "S.vekta_carimali_machine,",
      "S.vekta_manual_barcodes,",
      "S.vekta_support_phone,",
      "coalesce(S.vekta_qr_code_delay, 10) as vekta_qr_code_delay,",
      "coalesce(S.vekta_recycle_warning_delay, 180) as vekta_recycle_warning_delay,",
      "coalesce(S.vekta_recycle_reset_delay, 60) as vekta_recycle_reset_delay,",
      "S.vekta_bar_code_delay,",
      "S.vekta_wallpaper_period,",
      "S.vekta_wallpaper_delay,",
      "S.vekta_wallpaper_files,",
      "T.pm_QRP_SBP,",
      "T.yandex_badge,",
      "T.cardProject_id,",
      "S.vekta_loyaltySystem_id,",
      "LoyaltySystem.card_mask as loyalty_system_card_mask from tbVm Main left join tbVmSettings "
      "S on S.id = Main.vmSettings_id left join tbTerminal T on T.id = Main.terminal_id left join "
      "tbLoyaltySystem LoyaltySystem on LoyaltySystem.id = S.vekta_loyaltySystem_id where "
      "Main.id = "};
  QString sql = QStringLiteral("select Main.serialNumber,");
  for (const char* c : columns) sql += kEight + QString::fromUtf8(c);
  return sql + idText(vm_id);
}

std::vector<double> TConfigCycle::parseAuditTimetable(const QString& hhmm) {
  std::vector<double> out;
  const qsizetype n = hhmm.size() / 4;
  out.reserve(size_t(n));
  auto number = [](const QString& two) {
    bool ok = false;
    const int v = two.trimmed().toInt(&ok);
    if (!ok) throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(two));
    return v;
  };
  for (qsizetype i = 0; i < n; ++i) {
    const int h = number(hhmm.mid(4 * i, 2));
    const int m = number(hhmm.mid(4 * i + 2, 2));
    out.push_back(double(h * 3600 + m * 60) / 86400.0);
  }
  return out;
}

// --- helpers -----------------------------------------------------------------

QString TConfigCycle::cacheFile(const char* name) const {
  return QDir(ctx.dataFolder).filePath(QLatin1String(name));
}

void TConfigCycle::log(const QString& text) const {
  if (ctx.log) ctx.log(text);
}

void TConfigCycle::queueEvent(int id, const QString& text) const {
  if (IEventSink* sink = ctx.events ? ctx.events() : nullptr) sink->add(id, text);
}

// A settings file that cannot be written stops no load: the values stay in
// memory, the kiosk sells with them, and the next save that works writes
// them. The fault is reported once, not at every load while it lasts.
void TConfigCycle::saveSettings() {
  const TSettingsStorage::SaveResult saved = ctx.SS->SaveToIniFile();
  if (saved) {
    saveFailure_.clear();
    return;
  }
  if (saved.error == saveFailure_) return;
  saveFailure_ = saved.error;
  const QString text = QStringLiteral("Не удалось сохранить настройки: ") + saved.error;
  log(text);
  queueEvent(1, text);
}

void TConfigCycle::loadCountersAndTotal() {
  loadCounters(*ctx.counters);
  try {
    ctx.counters->total_cashless_amount_kop =
        getCounter(*ctx.counters, QStringLiteral("total_amount"), ckCard);
  } catch (const std::exception&) {
    // No total line yet: the total stays as it is.
  }
}

// --- tick --------------------------------------------------------------------

TConfigTickResult TConfigCycle::tick(int64_t startupMs) {
  TConfigTickResult result;
  TVmConfig& cfg = *ctx.config;
  TSettingsStorage& ss = *ctx.SS;
  const QString host = readText(ss, SettingsKeys::host);
  const QString portText = readText(ss, SettingsKeys::port);
  const QString login = readText(ss, SettingsKeys::login);

  QString message;
  if (!host.isEmpty() && !portText.isEmpty() && !login.isEmpty()) {
    try {
      TJClient& client = *ctx.client;
      client.setHost(host);
      client.setPort(readInt(ss, SettingsKeys::port));
      client.setLogin(login);
      if (!readText(ss, SettingsKeys::password).isEmpty())
        client.setPassword(readPassword(ss, SettingsKeys::password, client.password()));
      else
        client.setPassword(QString());
      client.setShowProgress(false);
      if (ctx.startPushThread) ctx.startPushThread();
      client.connect(kTimeout);
      refreshConfig();
      cfg.config_loaded = true;
    } catch (const std::exception& e) {
      message = exceptionMessage(e);
      log(QStringLiteral("Ошибка загрузки конфигурации: ") + message);
      plat::clock().sleepMs(250);
    }
    if (!cfg.config_loaded) {
      try {
        loadConfigFromCache();
        cfg.config_loaded = true;
        log(QStringLiteral("Конфигурация загружена из кэша"));
      } catch (const std::exception& e) {
        log(QStringLiteral("Кэш конфигурации не загружен: ") + exceptionMessage(e));
        plat::clock().sleepMs(250);
      }
    }
  } else {
    result.openSettings = true;
  }

  if (!cfg.config_loaded && plat::clock().nowMs() - startupMs > kLoadErrorDelayMs) {
    result.showError = true;
    result.errorText = QStringLiteral("Не удаётся загрузить конфигурацию люмеката.\r\n") + message;
  }
  result.loaded = cfg.config_loaded;
  return result;
}

// --- refreshConfig -----------------------------------------------------------

void TConfigCycle::registerVm(const QVariant& model) {
  TVmConfig& cfg = *ctx.config;
  cfg.vm_id = ctx.client->insertRec(
      QStringLiteral("tbVm"),
      QStringLiteral("id,vmModel_id,protocolSerialNumber,serialNumber,vmProtocol_id"),
      WireValue(TVariantArray{WireValue::fromQVariant(model),
                              WireValue(QStringLiteral("NVQ") + cfg.protocolSerialNumber),
                              WireValue(cfg.protocolSerialNumber), WireValue(3)}),
      kTimeout);
}

void TConfigCycle::refreshConfig() {
  TVmConfig& cfg = *ctx.config;
  TSettingsStorage& ss = *ctx.SS;
  TJClient& client = *ctx.client;

  // 1. The live counters must equal the stored ones before the products are
  //    rebuilt with them.
  loadCountersAndTotal();

  // 2-3. Without a stored number the machine stays the one already known
  //      (from the cache start), so a settings file that lost its number but
  //      kept its ids does not register a second machine.
  cfg.protocolSerialNumber = readText(ss, SettingsKeys::protocolSerialNumber);
  if (!cfg.protocolSerialNumber.isEmpty())
    cfg.vm_id = idOf(client.selectValue(vmByNumberSql(cfg.protocolSerialNumber), kTimeout));

  // 4. First contact: the model of these kiosks, then the machine.
  if (cfg.vm_id == 0) {
    WireValue model = client.selectValue(
        QStringLiteral("select first 1 id from tbVmModel where isTrevalo = 1"), kTimeout);
    if (model.isNullOrEmpty()) {
      WireValue maker = client.selectValue(
          QStringLiteral("select id from tbManufacturer where eva_code = 'NVQ'"), kTimeout);
      if (maker.isNullOrEmpty())
        maker = WireValue(client.insertRec(
            QStringLiteral("tbManufacturer"), QStringLiteral("id,name,eva_code"),
            WireValue(TVariantArray{WireValue("Norvane"), WireValue("NVQ")}), kTimeout));
      model = WireValue(client.insertRec(
          QStringLiteral("tbVmModel"),
          QStringLiteral("id,name,vmKind_id,manufacturer_id,isTrevalo,eva_code,eva_pricelist_card,"
                         "eva_pricelist_price1,drink_prefix,snack_prefix,snack_shelf,snack_spiral,"
                         "min_snack_cell,drink_count,min_drink_cell"),
          WireValue(TVariantArray{WireValue(QStringLiteral("Люмекат")), WireValue(3), maker,
                                  WireValue(1), WireValue("trevalo"), WireValue(3), WireValue(1),
                                  WireValue("d"), WireValue("s"), WireValue(1), WireValue(100000),
                                  WireValue(11), WireValue(100000), WireValue(1)}),
          kTimeout));
    }
    if (!cfg.protocolSerialNumber.isEmpty()) {
      registerVm(model.toQVariant());
    } else {
      TJTable numbers;
      selectInto(numbers, client,
                 QStringLiteral("select protocolSerialNumber from tbVM Main inner join "
                                "tbVmModel Model on Model.id = Main.vmModel_id where "
                                "Model.isTrevalo = 1"));
      QSet<QString> taken;
      if (numbers.Active() && numbers.FieldCount() > 0) {
        plat::Field* f = numbers.FieldByIndex(0);
        for (numbers.First(); !numbers.Eof(); numbers.Next()) taken.insert(f->AsString());
      }
      for (int n = 1;; ++n) {
        cfg.protocolSerialNumber = QStringLiteral("%1").arg(n, 3, 10, QLatin1Char('0'));
        if (!taken.contains(QStringLiteral("NVQ") + cfg.protocolSerialNumber)) break;
      }
      registerVm(model.toQVariant());
      writeText(ss, SettingsKeys::protocolSerialNumber, cfg.protocolSerialNumber);
      saveSettings();
    }
  }

  // 5. The machine's terminal.
  cfg.terminal_id = idOf(client.selectValue(
      QStringLiteral("select terminal_id from tbVM where id = ") + idText(cfg.vm_id), kTimeout));
  if (cfg.terminal_id == 0) {
    const QString imei = QStringLiteral("trevalo-") + cfg.protocolSerialNumber;
    cfg.terminal_id = idOf(client.selectValue(
        QStringLiteral("select id from tbTerminal where imei = ") + quoted(imei), kTimeout));
    if (cfg.terminal_id == 0)
      cfg.terminal_id = client.insertRec(QStringLiteral("tbTerminal"), QStringLiteral("id,imei"),
                                         WireValue(TVariantArray{WireValue(imei)}), kTimeout);
    client.execSQL(QStringLiteral("update tbVM set terminal_id = ") + idText(cfg.terminal_id) +
                       QStringLiteral(" where id = ") + idText(cfg.vm_id),
                   kTimeout);
  }

  // 6. Saved with the settings below.
  writeInt(ss, SettingsKeys::vm_id, cfg.vm_id);
  writeInt(ss, SettingsKeys::terminal_id, cfg.terminal_id);

  // 7.
  const QString os = ctx.osVersion ? ctx.osVersion() : systemOsVersion();
  client.execSQL(terminalUpdateSql(client.clientVersion(), os, cfg.terminal_id), kTimeout);

  // 8.
  if (ctx.afterRegistration) ctx.afterRegistration();

  // 9-10.
  loadAssortment();
  loadSettings();

  // 11.
  if (cfg.carimali_machine) uploadCoffeeRecipes();

  // 12.
  queueEvent(1, QStringLiteral("Конфигурация обновлена."));
  cfg.last_refresh_config_dt = QDateTime::currentDateTime();
}

// The cache keeps the last good answer: a table is written only after it was
// applied without error, and replaced in one rename.
void TConfigCycle::loadAssortment() {
  TJTable table;
  selectInto(table, *ctx.client, assortmentSql(ctx.config->vm_id));
  ctx.products->loadProducts(table, *ctx.counters);
  table.SaveToFile(cacheFile(kAssortmentCacheFile));
  if (ctx.tbDocVmServiceSale) ctx.tbDocVmServiceSale->LoadFromBytes(table.SaveToBytes());
}

void TConfigCycle::loadSettings() {
  TJTable table;
  selectInto(table, *ctx.client, settingsSql(ctx.config->vm_id));
  applyVmSettings(table);
  // The row holds the service password in clear: the owner's alone.
  plat::writeFileAtomic(cacheFile(kSettingsCacheFile), table.SaveToBytes(),
                        plat::FileAccess::OwnerOnly);
}

void TConfigCycle::uploadCoffeeRecipes() {
  TVmConfig& cfg = *ctx.config;
  if (!ctx.coffeeMachine) {
    log(QStringLiteral("Кофемашина не подключена: рецепты не выгружены"));
    return;
  }
  TJClient& client = *ctx.client;
  TJTable loaded;
  selectInto(
      loaded, client,
      QStringLiteral("select cell from tbCarimaliRecipe where vm_id = ") + idText(cfg.vm_id));
  QSet<int> cells;
  if (loaded.Active() && loaded.FieldCount() > 0) {
    plat::Field* f = loaded.FieldByIndex(0);
    for (loaded.First(); !loaded.Eof(); loaded.Next()) cells.insert(f->AsInteger());
  }
  for (int n = 1; n <= 28; ++n) {
    if (cells.contains(n)) continue;
    QString recipe, description;
    {
      std::lock_guard lock(ctx.coffeeMachine->synchronizer());
      recipe = plat::fromAnsi(ctx.coffeeMachine->getRecipe(n));
      if (recipe.isEmpty()) continue;
      description = ctx.coffeeMachine->getRecipeDescr(n);
    }
    client.insertRec(QStringLiteral("tbCarimaliRecipe"),
                     QStringLiteral("id,vm_id,cell,recipe,recipe_descr,loaded_to_vm"),
                     WireValue(TVariantArray{WireValue(cfg.vm_id), WireValue(n), WireValue(recipe),
                                             WireValue(description), WireValue(1)}),
                     kTimeout);
  }
  if (client
          .selectValue(QStringLiteral("select last_docVmService_id from tbVM where id = ") +
                           idText(cfg.vm_id),
                       kTimeout)
          .isNullOrEmpty())
    createDocVmService();
}

// --- applyVmSettings ---------------------------------------------------------

void TConfigCycle::applyVmSettings(plat::MemTable& table) {
  if (!table.Active() || table.IsEmpty()) return;
  table.First();
  TVmConfig& cfg = *ctx.config;
  TSettingsStorage& ss = *ctx.SS;
  auto text = [&](const char* name) { return table.FieldByName(QLatin1String(name))->AsString(); };
  auto integer = [&](const char* name) {
    return table.FieldByName(QLatin1String(name))->AsInteger();
  };

  // 1. A timetable that is not XML fails here, before anything is applied.
  {
    auto doc = CreateXmlDocument(text("timetable"), QStringLiteral("windows-1251"));
    const QString hhmm = plat::xmlText(
        doc->document_element().child("eva").child("prg").child("hhmm").child_value());
    cfg.auditTime = parseAuditTimetable(hhmm);
  }
  // 2.
  writeText(ss, SettingsKeys::serialNumber, text("serialNumber"));
  // 3. The drink menu needs at least one drink per page.
  cfg.MAX_DRINKS_PER_PAGE = integer("vekta_max_drinks_per_page");
  if (cfg.MAX_DRINKS_PER_PAGE < 1) cfg.MAX_DRINKS_PER_PAGE = 10;
  // 4.
  cfg.SERVICE_PASSWORD = text("vekta_service_password");
  if (cfg.SERVICE_PASSWORD.isEmpty())
    cfg.SERVICE_PASSWORD = QLatin1String(SettingsKeys::kDefaultServicePassword);
  writePassword(ss, SettingsKeys::service_password, cfg.SERVICE_PASSWORD);
  // 5.
  writeInt(ss, SettingsKeys::create_checks, integer("create_checks"));
  // 6.
  cfg.drink_after_payment = integer("vekta_drink_after_payment") == 1;
  cfg.carimali_machine = integer("vekta_carimali_machine") == 1;
  cfg.manual_barcodes = integer("vekta_manual_barcodes") == 1;
  // 7.
  writeText(ss, SettingsKeys::support_phone, text("vekta_support_phone"));
  // 8.
  cfg.vekta_qr_code_delay = std::clamp(integer("vekta_qr_code_delay"), 3, 300);
  cfg.vekta_recycle_warning_delay = std::clamp(integer("vekta_recycle_warning_delay"), 30, 300);
  cfg.vekta_recycle_reset_delay = std::clamp(integer("vekta_recycle_reset_delay"), 30, 120);
  writeInt(ss, SettingsKeys::vekta_qr_code_delay, cfg.vekta_qr_code_delay);
  writeInt(ss, SettingsKeys::vekta_recycle_warning_delay, cfg.vekta_recycle_warning_delay);
  writeInt(ss, SettingsKeys::vekta_recycle_reset_delay, cfg.vekta_recycle_reset_delay);
  // 9.
  cfg.bar_code_delay = integer("vekta_bar_code_delay");
  writeInt(ss, SettingsKeys::vekta_bar_code_delay, cfg.bar_code_delay);
  // 10.
  cfg.wallpaper_delay = integer("vekta_wallpaper_delay");
  cfg.wallpaper_period = integer("vekta_wallpaper_period");
  cfg.wallpaper_files = textLines(text("vekta_wallpaper_files"));
  // 11.
  cfg.sbp_enabled = integer("pm_QRP_SBP") == 1;
  cfg.yandex_badge_enabled = integer("yandex_badge") == 1;
  cfg.cardProject_id = integer("cardProject_id");
  cfg.loyaltySystem_id = integer("vekta_loyaltySystem_id");
  cfg.loyalty_system_card_mask = text("loyalty_system_card_mask");
  // 12.
  if (ctx.settingsApplied) ctx.settingsApplied();
  // 13.
  saveSettings();
  // 14.
  if (ctx.scheduleNextAudit) ctx.scheduleNextAudit();
}

// --- cache -------------------------------------------------------------------

void TConfigCycle::loadConfigFromCache() {
  TVmConfig& cfg = *ctx.config;
  cfg.vm_id = readInt(*ctx.SS, SettingsKeys::vm_id);
  cfg.terminal_id = readInt(*ctx.SS, SettingsKeys::terminal_id);
  if (cfg.vm_id <= 0 || cfg.terminal_id <= 0)
    throw Exception(QStringLiteral("Не удалось загрузить конфигурацию."));

  plat::MemTable assortment;
  assortment.LoadFromFile(cacheFile(kAssortmentCacheFile));
  // Without the stored counters the first sale would write zeros over them.
  loadCountersAndTotal();
  ctx.products->loadProducts(assortment, *ctx.counters);
  if (ctx.tbDocVmServiceSale) ctx.tbDocVmServiceSale->LoadFromBytes(assortment.SaveToBytes());

  plat::MemTable settings;
  settings.LoadFromFile(cacheFile(kSettingsCacheFile));
  applyVmSettings(settings);
}

// --- service document ----------------------------------------------------------

void TConfigCycle::createDocVmService() {
  TVmConfig& cfg = *ctx.config;
  TJClient& client = *ctx.client;
  pugi::xml_document doc;
  pugi::xml_node decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "windows-1251";
  pugi::xml_node root = doc.append_child("root");
  auto add = [](pugi::xml_node parent, const char* name, const QString& value) {
    parent.append_child(name).text().set(value.toUtf8().constData());
  };
  add(root, "docDt", QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss")));
  add(root, "new_currency_id", QStringLiteral("1"));
  add(root, "new_currencyRate", QStringLiteral("1"));
  add(root, "vm_id", idText(cfg.vm_id));
  add(root, "vmServiceKind_id", QStringLiteral("5"));
  add(root, "firm_id", QStringLiteral("1"));

  const WireValue folder =
      client.selectValue(QStringLiteral("select id from tbNomenclature where name = ") +
                             quoted(QStringLiteral("Напитки")) +
                             QStringLiteral(" and isFolder = 1 and parent_id is null"),
                         kTimeout);
  pugi::xml_node sale = root.append_child("tbDocVmServiceSale");
  for (int n = 1; n <= 28; ++n) {
    QString name;
    {
      std::lock_guard lock(ctx.coffeeMachine->synchronizer());
      const QByteArray recipe = ctx.coffeeMachine->getRecipe(n);
      if (recipe.isEmpty() || quint8(recipe[0]) == 57) continue;
      name = ctx.coffeeMachine->getCarimaliDrinkByNo(quint8(recipe[0]));
    }
    QString sql = QStringLiteral("select id from tbNomenclature where name = ") + quoted(name);
    if (!folder.isNullOrEmpty()) sql += QStringLiteral(" and parent_id = ") + folder.toString();
    WireValue product = client.selectValue(sql, kTimeout);
    if (product.isNullOrEmpty())
      product = WireValue(client.insertRec(
          QStringLiteral("tbNomenclature"),
          QStringLiteral("id,name,parent_id,nomenclatureType_id,base_okei_id"),
          WireValue(TVariantArray{WireValue(name), folder.isEmpty() ? WireValue::null() : folder,
                                  WireValue(1), WireValue(1)}),
          kTimeout));
    pugi::xml_node row = sale.append_child("row");
    add(row, "cell", QString::number(n));
    add(row, "isSnack", QStringLiteral("0"));
    add(row, "new_nomenclature_id", product.toString());
  }

  std::ostringstream out;
  doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
  if (!ctx.sendDocument) throw Exception(QStringLiteral("Отправка документов недоступна."));
  ctx.sendDocument(QStringLiteral("tbDocVmService"), QString::fromStdString(out.str()).trimmed(),
                   180);
}
