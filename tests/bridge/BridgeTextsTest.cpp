// The bridge's text tables: the bank's error explanations shared with the
// kiosk, and its own windows-1251 conversion.

#include <gtest/gtest.h>

#include <set>

#include "bridge/AnsiText.h"
#include "bridge/SberErrors.h"
#include "platform/TextCodec.h"

namespace {

QString text(int code) {
  return QString::fromStdString(PilotErrorText(code));
}

TEST(PilotErrorText, QuotedRowsAndTheComputedFamily) {
  const struct {
    int code;
    const char* expected;
  } cases[] = {
      {-8, "Нарушены данные на чипе карты"},
      {403, "Клиент ошибся при вводе ПИНа (СБЕРКАРТ)"},
      {444, "Истек срок действия карты (СБЕРКАРТ)"},
      {572, "Истек срок действия карты (СБЕРКАРТ)"},
      {521, "На карте недостаточно средств (СБЕРКАРТ)"},
      {579, "Карта заблокирована (СБЕРКАРТ)"},
      {2406, "Карта заблокирована (СБЕРКАРТ)"},
      {2002, "Клиент слишком долго вводит ПИН. Истек таймаут."},
      {5120, "Клиент отказался от ввода ПИНа"},
      {5133, "Операция отклонена картой"},
      {4332, "Сверка итогов не выполнена (причина неизвестна, но печатать в итоге нечего)."},
      {4400, "От фронтальной системы получен код ответа 0."},
      {4455, "От фронтальной системы получен код ответа 55."},
      {4499, "От фронтальной системы получен код ответа 99."},
      {0, ""},
      {4133, ""},
      {4399, ""},
      {4500, ""},
      {-1, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(text(c.code), QString::fromUtf8(c.expected)) << c.code;
  EXPECT_TRUE(text(2000).startsWith("Операция прервана нажатием клавиши ОТМЕНА."));
  EXPECT_TRUE(text(4134).startsWith("Слишком долго не выполнялась сверка итогов"));
}

// A code dropped from the table or a range typed one too wide shows here.
TEST(PilotErrorText, ExactlyTheKnownCodesHaveAnEntry) {
  const std::pair<int, int> ranges[] = {
      {-8, -8},     {12, 12},     {99, 99},     {361, 364},   {403, 403},   {405, 405},
      {444, 444},   {507, 507},   {518, 518},   {521, 521},   {572, 572},   {574, 574},
      {579, 579},   {584, 585},   {705, 709},   {2000, 2000}, {2002, 2002}, {2004, 2007},
      {2405, 2407}, {3001, 3002}, {3019, 3021}, {4100, 4104}, {4108, 4108}, {4110, 4117},
      {4119, 4125}, {4128, 4128}, {4130, 4132}, {4134, 4155}, {4160, 4169}, {4171, 4171},
      {4202, 4203}, {4208, 4209}, {4211, 4211}, {4300, 4303}, {4305, 4306}, {4308, 4310},
      {4313, 4314}, {4332, 4342}, {5002, 5002}, {5026, 5026}, {5063, 5063}, {5109, 5111},
      {5116, 5116}, {5120, 5120}, {5133, 5133}};
  std::set<int> expected;
  for (auto [first, last] : ranges) {
    for (int c = first; c <= last; ++c) expected.insert(c);
  }
  std::set<int> actual;
  std::set<std::string> texts;
  for (int c = -100; c <= 10000; ++c) {
    if (c >= 4400 && c <= 4499) continue;
    std::string t = PilotErrorText(c);
    if (!t.empty()) {
      actual.insert(c);
      texts.insert(t);
    }
  }
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(actual.size(), 131u);
  EXPECT_EQ(texts.size(), 95u);
}

TEST(BridgeAnsiText, AgreesWithTheKioskCodecAndSurvivesARoundTrip) {
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    const std::string utf8 = bridge::ansiToUtf8(byte);
    if (b != 0x98) {  // unassigned in the code page; decoders differ there
      EXPECT_EQ(QString::fromStdString(utf8), plat::fromAnsi(QByteArray(byte.data(), 1))) << b;
    }
    EXPECT_EQ(bridge::utf8ToAnsi(utf8), byte) << b;
  }
}

TEST(BridgeAnsiText, UnrepresentableAndMalformedTextBecomesQuestionMarks) {
  const struct {
    std::string utf8;
    std::string ansi;
  } cases[] = {
      {"Ёж №5",
       "\xA8\xE6 \xB9"
       "5"},
      {"€", "\x88"},
      {"日本", "??"},
      {"😀", "?"},
      {"a\xD0", "a?"},  // cut in the middle of a character
      {"\xD0"
       "a",
       "?a"},              // continuation byte missing
      {"\xFF\xFE", "??"},  // never valid in UTF-8
  };
  for (const auto& c : cases) EXPECT_EQ(bridge::utf8ToAnsi(c.utf8), c.ansi) << c.utf8;
}

}  // namespace
