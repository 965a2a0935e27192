// The demo back office: an assortment, a machine model and settings with SBP,
// fiscal checks and the badge on, a loyalty system with cards, identity cards
// with balances and the user demo/demo. A kiosk that registers itself on an
// empty machine list finds all of it through the triggers below.

#include <QDateTime>

#include "testbed/SimDatabase.h"

namespace sim {
namespace {

// Twelve digits and the EAN-13 check digit.
QString ean13(const QString& twelve) {
  int sum = 0;
  for (int i = 0; i < 12; ++i) sum += (twelve[i].digitValue()) * (i % 2 ? 3 : 1);
  return twelve + QString::number((10 - sum % 10) % 10);
}

struct DemoProduct {
  bool snack;
  int cell;
  const char* name;
  double price;
  double cardPrice;  // 0: none
  const char* code;  // twelve digits
  const char* extraCode;
};

const DemoProduct kProducts[] = {
    {false, 1, "Вода питьевая негазированная 0,5 л", 60.00, 0, "460123400001", "460123400901"},
    {false, 2, "Вода минеральная газированная 0,5 л", 65.00, 0, "460123400002", nullptr},
    {false, 3, "Сок яблочный 0,2 л", 75.00, 0, "460123400003", nullptr},
    {false, 4, "Морс клюквенный 0,3 л", 95.00, 89.00, "460123400004", nullptr},
    {false, 5, "Квас хлебный 0,5 л", 90.00, 0, "460123400005", nullptr},
    {false, 6, "Чай холодный с лимоном 0,5 л", 110.00, 0, "460123400006", nullptr},
    {false, 7, "Кола 0,33 л", 99.00, 0, "460123400007", nullptr},
    {false, 8, "Молоко 3,2% 0,3 л", 85.00, 0, "460123400008", nullptr},
    {false, 9, "Кефир 1% 0,45 л", 89.00, 0, "460123400009", nullptr},
    {false, 10, "Энергетический напиток 0,45 л", 149.00, 0, "460123400010", nullptr},
    {true, 1, "Шоколад молочный 90 г", 129.00, 0, "460123400011", nullptr},
    {true, 2, "Батончик ореховый 50 г", 79.00, 0, "460123400012", nullptr},
    {true, 3, "Печенье овсяное 150 г", 95.00, 0, "460123400013", nullptr},
    {true, 4, "Чипсы картофельные 80 г", 119.00, 109.00, "460123400014", nullptr},
    {true, 5, "Сухарики ржаные 60 г", 55.00, 0, "460123400015", nullptr},
    {true, 6, "Орешки солёные 50 г", 99.00, 0, "460123400016", nullptr},
    {true, 7, "Вафли лимонные 100 г", 69.00, 0, "460123400017", nullptr},
    {true, 8, "Сэндвич с курицей", 189.00, 0, "460123400018", nullptr},
    {true, 9, "Круассан с шоколадом", 89.50, 0, "460123400019", nullptr},
    {true, 10, "Йогурт клубничный 120 г", 64.90, 0, "460123400020", nullptr},
};

const char* const kTimetable =
    "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n"
    "<root><eva><prg><hhmm>08002000</hhmm></prg></eva></root>";

}  // namespace

void SimDatabase::seedDemo() {
  inTransaction([&] {
    if (scalar(QStringLiteral("select value from tbSimOption where name = 'seed_demo'")).isValid())
      return;
    execLocked(
        QStringLiteral("insert into tbUser(login, password, name) values ('demo', 'demo', 'Демо')"),
        {});
    execLocked(
        QStringLiteral("insert or replace into tbConst(constType, value) values (1002, '1')"), {});

    const qint64 maker =
        insertRecord(QStringLiteral("tbManufacturer"), QStringLiteral("id"),
                     {{QStringLiteral("name"), jdbcVarchar, QStringLiteral("Norvane")},
                      {QStringLiteral("eva_code"), jdbcVarchar, QStringLiteral("NVQ")}});
    execLocked(
        QStringLiteral(
            "insert into tbVmModel(name, vmKind_id, manufacturer_id, isTrevalo, eva_code, "
            "eva_pricelist_card, eva_pricelist_price1, drink_prefix, snack_prefix, snack_shelf, "
            "snack_spiral, min_snack_cell, drink_count, min_drink_cell) values "
            "('Люмекат', 3, ?, 1, 'trevalo', 3, 1, 'd', 's', 1, 100000, 11, 100000, 1)"),
        {maker});

    const qint64 loyalty =
        insertRecord(QStringLiteral("tbLoyaltySystem"), QStringLiteral("id"),
                     {{QStringLiteral("name"), jdbcVarchar, QStringLiteral("Демо-бонусы")},
                      {QStringLiteral("card_mask"), jdbcVarchar, QStringLiteral("777*")}});
    const qint64 settings = insertRecord(
        QStringLiteral("tbVmSettings"), QStringLiteral("id"),
        {{QStringLiteral("name"), jdbcVarchar, QStringLiteral("Демо")},
         {QStringLiteral("timetable"), jdbcClob, QString::fromUtf8(kTimetable)},
         {QStringLiteral("vekta_max_drinks_per_page"), jdbcInteger, 6},
         {QStringLiteral("vekta_service_password"), jdbcVarchar, QStringLiteral("5817")},
         {QStringLiteral("vekta_drink_after_payment"), jdbcSmallint, 0},
         {QStringLiteral("vekta_carimali_machine"), jdbcSmallint, 0},
         {QStringLiteral("vekta_manual_barcodes"), jdbcSmallint, 1},
         {QStringLiteral("vekta_support_phone"), jdbcVarchar, QStringLiteral("8 800 000-00-00")},
         {QStringLiteral("vekta_qr_code_delay"), jdbcInteger, 10},
         {QStringLiteral("vekta_recycle_warning_delay"), jdbcInteger, 180},
         {QStringLiteral("vekta_recycle_reset_delay"), jdbcInteger, 60},
         {QStringLiteral("vekta_bar_code_delay"), jdbcInteger, 1000},
         {QStringLiteral("vekta_wallpaper_period"), jdbcInteger, 300},
         {QStringLiteral("vekta_wallpaper_delay"), jdbcInteger, 10},
         {QStringLiteral("vekta_loyaltySystem_id"), jdbcInteger, loyalty}});

    const qint64 drinks =
        insertRecord(QStringLiteral("tbNomenclature"), QStringLiteral("id"),
                     {{QStringLiteral("name"), jdbcVarchar, QStringLiteral("Напитки")},
                      {QStringLiteral("isFolder"), jdbcSmallint, 1}});
    const qint64 snacks =
        insertRecord(QStringLiteral("tbNomenclature"), QStringLiteral("id"),
                     {{QStringLiteral("name"), jdbcVarchar, QStringLiteral("Снеки")},
                      {QStringLiteral("isFolder"), jdbcSmallint, 1}});
    const qint64 doc =
        insertRecord(QStringLiteral("tbDocVmService"), QStringLiteral("id"),
                     {{QStringLiteral("docDt"), jdbcTimestamp, QDateTime::currentDateTime()},
                      {QStringLiteral("vmServiceKind_id"), jdbcInteger, 5},
                      {QStringLiteral("firm_id"), jdbcInteger, 1},
                      {QStringLiteral("new_currency_id"), jdbcInteger, 1},
                      {QStringLiteral("new_currencyRate"), jdbcDouble, 1.0}});
    for (const DemoProduct& p : kProducts) {
      QString codes = ean13(QString::fromLatin1(p.code));
      if (p.extraCode) codes += QStringLiteral("; ") + ean13(QString::fromLatin1(p.extraCode));
      const QString name = QString::fromUtf8(p.name);
      const qint64 product =
          insertRecord(QStringLiteral("tbNomenclature"), QStringLiteral("id"),
                       {{QStringLiteral("name"), jdbcVarchar, name},
                        {QStringLiteral("fullName"), jdbcVarchar, name},
                        {QStringLiteral("barcode"), jdbcVarchar, codes},
                        {QStringLiteral("price"), jdbcDouble, p.price},
                        {QStringLiteral("parent_id"), jdbcInteger, p.snack ? snacks : drinks},
                        {QStringLiteral("isFolder"), jdbcSmallint, 0},
                        {QStringLiteral("nomenclatureType_id"), jdbcInteger, 1},
                        {QStringLiteral("base_okei_id"), jdbcInteger, 1}});
      execLocked(
          QStringLiteral(
              "insert into tbDocVmServiceSale(docVmService_id, cell, isSnack, new_nomenclature_id, "
              "new_normal_price, new_card_price, disconnected) values (?, ?, ?, ?, ?, ?, 0)"),
          {doc, p.cell, p.snack ? 1 : 0, product, p.price,
           p.cardPrice > 0 ? QVariant(p.cardPrice) : QVariant()});
    }

    struct Card {
      const char* barcode;
      qint64 user;
      const char *first, *last, *phone, *level;
      double discount, cashback, writeoff, points;
    };
    const Card cards[] = {
        {"7770000000017", 100001, "Иван", "Петров", "+79000000001", "Серебряный", 5, 3, 50, 150},
        {"7770000000024", 100002, "Мария", "Сидорова", "+79000000002", "Золотой", 0, 5, 30, 80},
        {"7770000000031", 100003, "Олег", "Смирнов", "+79000000003", "Базовый", 10, 0, 0, 0},
    };
    for (const Card& c : cards)
      execLocked(QStringLiteral(
                     "insert into tbLoyaltyCard(loyaltySystem_id, barcode, user_id, first_name, "
                     "last_name, "
                     "phone, template, loyalty_level, discount_percent, cashback_percent, "
                     "writeoff_percent, "
                     "points, isActive) values (?, ?, ?, ?, ?, ?, 'standard', ?, ?, ?, ?, ?, 1)"),
                 {loyalty, QString::fromLatin1(c.barcode), c.user, QString::fromUtf8(c.first),
                  QString::fromUtf8(c.last), QString::fromLatin1(c.phone),
                  QString::fromUtf8(c.level), c.discount, c.cashback, c.writeoff, c.points});
    execLocked(QStringLiteral(
                   "insert into tbIdentityCard(card_no, holder, cardProject_id, balance) values "
                   "('1000001', 'Сотрудник 1', 1, 500), ('1000002', 'Сотрудник 2', 1, 50), "
                   "('1000003', 'Сотрудник 3', 1, 1000)"),
               {});

    // A machine or terminal the kiosk registers gets the demo settings and
    // assortment, and its terminal SBP, fiscal checks and the badge.
    execLocked(
        QStringLiteral(
            "insert or replace into tbSimOption(name, value) values ('demo_settings_id', ?), "
            "('demo_doc_id', ?), ('seed_demo', 1)"),
        {settings, doc});
    execLocked(QStringLiteral(
                   "create trigger if not exists trDemoVm after insert on tbVm for each row begin "
                   "update tbVm set vmSettings_id = coalesce(vmSettings_id, (select value from "
                   "tbSimOption where "
                   "name = 'demo_settings_id')), last_docVmService_id = "
                   "coalesce(last_docVmService_id, (select value "
                   "from tbSimOption where name = 'demo_doc_id')) where id = new.id; end"),
               {});
    execLocked(
        QStringLiteral(
            "create trigger if not exists trDemoTerminal after insert on tbTerminal for each row "
            "begin "
            "update tbTerminal set pm_mdb_cshls1Fiscal = coalesce(pm_mdb_cshls1Fiscal, 1), "
            "pm_QRP_SBP = coalesce(pm_QRP_SBP, 1), yandex_badge = coalesce(yandex_badge, 1), "
            "cardProject_id = coalesce(cardProject_id, 1) where id = new.id; end"),
        {});
  });
}

}  // namespace sim
