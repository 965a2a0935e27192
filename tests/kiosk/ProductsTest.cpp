// Product catalogue, barcode lookup, card masks and the scanner input.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "kiosk/ConfigCycle.h"
#include "kiosk/Counters.h"
#include "kiosk/EventSink.h"
#include "kiosk/Products.h"
#include "kiosk/Scanner.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "platform/MemTable.h"
#include "platform/TextCodec.h"

namespace {

struct RecordingSink : IEventSink {
  std::vector<std::pair<int, QString>> events;
  void add(int id, const QString& descr) override { events.emplace_back(id, descr); }
};

TProduct product(bool isSnack, int cell, const QString& codes, const QString& name = {}) {
  TProduct p;
  p.isSnack = isSnack;
  p.cell = cell;
  p.name = name.isEmpty() ? QStringLiteral("%1%2").arg(isSnack ? "s" : "d").arg(cell) : name;
  p.barCodes = normalizeBarcodes(codes);
  return p;
}

QString message(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return exceptionMessage(e);
  }
  return QStringLiteral("<no error>");
}

TEST(Barcodes, NormalisedToBlankSeparatedWholeCodes) {
  const struct {
    const char* column;
    const char* expected;
  } cases[] = {
      {"123;456 ", " 123 456 "},
      {"123, 456", " 123 456 "},
      {"  4601234000017  ", " 4601234000017 "},
      {"a1b2\t\r\n3", " 1 2 3 "},
      {"", ""},
      {"no digits; at all", ""},
      {"0", " 0 "},
  };
  for (const auto& c : cases)
    EXPECT_EQ(normalizeBarcodes(QString::fromUtf8(c.column)), QString::fromUtf8(c.expected))
        << c.column;
}

TEST(Barcodes, LookupMatchesOnlyWholeCodesAndPrefersSnacks) {
  TProductCatalog catalog;
  catalog.setProducts(
      {product(false, 1, "123, 456"), product(false, 2, "777"), product(false, 3, "555")},
      {product(true, 4, "999;555"), product(true, 5, "555")});
  const struct {
    const char* code;
    bool found;
    bool isSnack;
    int cell;
  } cases[] = {
      {"123", true, false, 1},   {"456", true, false, 1},  {"23", false, false, 0},
      {"1234", false, false, 0}, {"12", false, false, 0},  {"555", true, true, 4},
      {"777", true, false, 2},   {"", false, false, 0},    {"123 456", true, false, 1},
      {" 123", false, false, 0}, {"12a", false, false, 0},
  };
  for (const auto& c : cases) {
    const TProduct* p = catalog.findProductByBarcode(QString::fromUtf8(c.code));
    ASSERT_EQ(p != nullptr, c.found) << c.code;
    if (p) {
      EXPECT_EQ(p->isSnack, c.isSnack) << c.code;
      EXPECT_EQ(p->cell, c.cell) << c.code;
    }
  }
}

TEST(Barcodes, NotFoundQueuesTheWholeCodeAndShowsLongCodesShortened) {
  TProductCatalog catalog;
  catalog.setProducts({product(false, 1, "1")}, {});
  RecordingSink sink;
  const QString longCode = QStringLiteral("123456789012345678901234567890");
  EXPECT_EQ(message([&] { catalog.getProductByBarcode(longCode, &sink); }),
            QStringLiteral("Продукт с штрих-кодом 12345...67890 не найден."));
  EXPECT_EQ(message([&] { catalog.getProductByBarcode(QStringLiteral("42"), &sink); }),
            QStringLiteral("Продукт с штрих-кодом 42 не найден."));
  ASSERT_EQ(sink.events.size(), 2u);
  EXPECT_EQ(sink.events[0], std::make_pair(201, longCode));
  EXPECT_EQ(sink.events[1], std::make_pair(201, QStringLiteral("42")));
}

TEST(Products, GetProductByCellAndItsError) {
  TProductCatalog catalog;
  catalog.setProducts({product(false, 5, "1", "Кофе")}, {product(true, 5, "2", "Батончик")});
  EXPECT_EQ(catalog.getProduct(false, 5).name, QStringLiteral("Кофе"));
  EXPECT_EQ(catalog.getProduct(true, 5).name, QStringLiteral("Батончик"));
  EXPECT_EQ(message([&] { catalog.getProduct(true, 6); }),
            QStringLiteral("Продукт не найден (True, 6)."));
  EXPECT_EQ(message([&] { catalog.getProduct(false, 7); }),
            QStringLiteral("Продукт не найден (False, 7)."));
}

// The assortment as the server sends it: the barcode column is a blob.
void fillAssortment(plat::MemTable& t,
                    const std::vector<std::tuple<int, int, double, QString>>& rows) {
  t.AddField("cell", ftInteger);
  t.AddField("isSnack", ftInteger);
  t.AddField("price", ftFloat);
  t.AddField("nomenclature_id", ftInteger);
  t.AddField("nomenclature", ftString, 200);
  t.AddField("nomenclature_full_name", ftString, 200);
  t.AddField("barcode", ftBlob);
  t.Open();
  for (const auto& [cell, isSnack, price, codes] : rows) {
    t.Append();
    t.FieldByName("cell")->SetAsInteger(cell);
    t.FieldByName("isSnack")->SetAsInteger(isSnack);
    t.FieldByName("price")->SetAsFloat(price);
    t.FieldByName("nomenclature_id")->SetAsInteger(100 + cell);
    t.FieldByName("nomenclature")->SetAsString(QStringLiteral("Товар %1").arg(cell));
    t.FieldByName("barcode")->SetAsBytes(plat::toAnsi(codes));
    t.Post();
  }
}

TEST(Products, LoadSplitsListsAndTakesCountersByKey) {
  plat::MemTable t;
  fillAssortment(t, {{1, 0, 60.5, "111"}, {1, 1, 99, "222; 333"}, {2, 0, 70, ""}});
  TCountersState counters;
  counters.counters = {"d1\t3\t4\t5\t600", "s1\t7", "total_amount\t100"};
  TProductCatalog catalog;
  catalog.loadProducts(t, counters);

  ASSERT_EQ(catalog.drinks.size(), 2u);
  ASSERT_EQ(catalog.snacks.size(), 1u);
  const TProduct& d1 = catalog.drinks[0];
  EXPECT_EQ(d1.name, QStringLiteral("Товар 1"));
  EXPECT_EQ(d1.nomenclature_id, 101);
  EXPECT_DOUBLE_EQ(d1.price, 60.5);
  EXPECT_EQ(d1.barCodes, QStringLiteral(" 111 "));
  EXPECT_EQ((std::array{d1.counter, d1.sbp_counter, d1.yandexBadge_counter, d1.discount_kop}),
            (std::array<quint32, 4>{3, 4, 5, 600}));
  // A short line reads its missing columns as 0; a product without a line starts at 0.
  EXPECT_EQ(catalog.snacks[0].counter, 7u);
  EXPECT_EQ(catalog.snacks[0].discount_kop, 0u);
  EXPECT_EQ(catalog.drinks[1].counter, 0u);
  EXPECT_TRUE(catalog.drinks[1].barCodes.isEmpty());
  EXPECT_EQ(catalog.getProductByBarcode("333").cell, 1);
  EXPECT_TRUE(catalog.getProductByBarcode("333").isSnack);
}

TEST(Products, EmptyAssortmentRaisesAndKeepsTheLists) {
  TProductCatalog catalog;
  catalog.setProducts({product(false, 1, "111")}, {});
  plat::MemTable empty;
  fillAssortment(empty, {});
  EXPECT_EQ(message([&] { catalog.loadProducts(empty, TCountersState{}); }),
            QStringLiteral("Необходимо ввести ассортимент и цены товаров."));
  ASSERT_EQ(catalog.drinks.size(), 1u);
  EXPECT_NE(catalog.findProductByBarcode("111"), nullptr);
}

TEST(CardMask, StarsStandForAnyRun) {
  const struct {
    const char* number;
    const char* mask;
    bool matches;
  } cases[] = {
      {"2000", "2*", true},
      {"3000", "2*", false},
      {"2", "2*", true},
      {"12377", "*77", true},
      {"77", "*77", true},
      {"7", "*77", false},
      {"123", "*77", false},
      {"abXcdYe", "ab*cd*e", true},
      {"abcde", "ab*cd*e", true},
      {"abcd", "ab*cd*e", false},
      {"abe", "ab*cd*e", false},
      {"abc", "abc", true},
      {"ABC", "abc", true},
      {"abc", "ABC", true},
      {"abcd", "abc", false},
      {"anything", "*", true},
      {"", "*", true},
      {"abab", "ab*ab", true},
      {"aba", "ab*ab", false},
      {"777123", "777*", true},
      {"Карта1", "карта*", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(matchesCardMask(QString::fromUtf8(c.number), QString::fromUtf8(c.mask)), c.matches)
        << c.number << " / " << c.mask;
}

// The scanner as the main form drives it, on a clock the test moves.
struct ScannerFixture : ::testing::Test {
  plat::ManualClock clock;
  TProductCatalog catalog;
  TVmConfig config;
  RecordingSink sink;
  std::vector<QString> cardLookups;
  int greetings = 0;
  TScannerInput scanner;

  void SetUp() override {
    plat::setClock(&clock);
    catalog.setProducts({product(false, 1, "1111")}, {product(true, 2, "2222")});
    config.bar_code_delay = 1000;
    config.vm_id = 7;
    TScannerContext ctx;
    ctx.products = &catalog;
    ctx.config = &config;
    ctx.events = [this] { return &sink; };
    ctx.getLoyalityCardInfo = [this](qint64 vm, const QString& number, int timeout) {
      EXPECT_EQ(vm, 7);
      EXPECT_EQ(timeout, 3);
      cardLookups.push_back(number);
    };
    ctx.showLoyaltyGreeting = [this] { ++greetings; };
    scanner.ctx = ctx;
  }
  void TearDown() override { plat::setClock(nullptr); }

  void type(const QString& keys) {
    for (QChar c : keys) scanner.FormKeyUp(c.unicode(), c);
  }
  // Digits and Enter; true when a product was selected (and taken).
  bool scan(const QString& code) {
    type(code);
    scanner.FormKeyUp(TScannerInput::kEnter, QChar());
    const bool selected = scanner.product_selected;
    scanner.product_selected = false;
    return selected;
  }
};

TEST_F(ScannerFixture, RepeatWithinTheDelayIsDroppedOtherCodesNever) {
  EXPECT_TRUE(scan("2222"));
  EXPECT_TRUE(scanner.selected_product.isSnack);
  clock.advance(999);
  EXPECT_FALSE(scan("2222"));
  EXPECT_TRUE(scanner.input_text.isEmpty());
  EXPECT_TRUE(scan("1111"));  // a different code right away
  EXPECT_EQ(scanner.selected_product.cell, 1);
  clock.advance(500);
  EXPECT_TRUE(scan("2222"));  // the last code is 1111 now
  clock.advance(1000);
  EXPECT_TRUE(scan("2222"));  // the same code after the delay
  EXPECT_EQ(scanner.last_bar_code, QStringLiteral("2222"));
}

TEST_F(ScannerFixture, ZeroDelayNeverDrops) {
  config.bar_code_delay = 0;
  EXPECT_TRUE(scan("1111"));
  EXPECT_TRUE(scan("1111"));
}

TEST_F(ScannerFixture, LettersClearDigitsAndEmptyEnterDoesNothing) {
  type("11x11");
  EXPECT_EQ(scanner.input_text, QStringLiteral("11"));
  scanner.FormKeyUp(0x01000020 /* shift */, QChar());
  EXPECT_TRUE(scanner.input_text.isEmpty());
  scanner.FormKeyUp(TScannerInput::kLineFeed, QChar());
  EXPECT_FALSE(scanner.product_selected);
  EXPECT_TRUE(sink.events.empty());
  type("1111");
  scanner.FormKeyUp(TScannerInput::kLineFeed, QChar());
  EXPECT_TRUE(scanner.product_selected);
}

TEST_F(ScannerFixture, UnknownCodeIsALoyaltyCardOnlyWhenTheSystemAndMaskAllow) {
  const struct {
    int loyaltySystem_id;
    const char* mask;
    const char* code;
    bool card;
  } cases[] = {
      {3, "777*", "7770001", true},
      {3, "", "5550001", true},  // an empty mask lets every code through
      {3, "777*", "5550001", false},
      {0, "", "7770001", false},  // no loyalty system configured
  };
  for (const auto& c : cases) {
    config.loyaltySystem_id = c.loyaltySystem_id;
    config.loyalty_system_card_mask = QString::fromUtf8(c.mask);
    cardLookups.clear();
    greetings = 0;
    sink.events.clear();
    const QString code = QString::fromUtf8(c.code);
    const QString error = message([&] { scan(code); });
    if (c.card) {
      EXPECT_EQ(error, QStringLiteral("<no error>")) << c.code;
      EXPECT_EQ(cardLookups, std::vector<QString>{code}) << c.code;
      EXPECT_EQ(greetings, 1);
    } else {
      EXPECT_EQ(error,
                QStringLiteral("Продукт с штрих-кодом ") + code + QStringLiteral(" не найден."));
      EXPECT_TRUE(cardLookups.empty()) << c.code;
    }
    // The miss is queued either way.
    ASSERT_EQ(sink.events.size(), 1u) << c.code;
    EXPECT_EQ(sink.events[0], std::make_pair(201, code));
    EXPECT_FALSE(scanner.product_selected);
  }
}

TEST_F(ScannerFixture, FailingCardLookupShowsItsOwnError) {
  config.loyaltySystem_id = 3;
  scanner.ctx.getLoyalityCardInfo = [](qint64, const QString&, int) {
    throw Exception(QStringLiteral("Карта не найдена"));
  };
  int shown = greetings;
  EXPECT_EQ(message([&] { scan("123"); }), QStringLiteral("Карта не найдена"));
  EXPECT_EQ(greetings, shown);
}

}  // namespace
