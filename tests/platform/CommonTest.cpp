#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "platform/Common.h"
#include "platform/NetAdapters.h"

namespace {

QString u(const char* utf8) {
  return QString::fromUtf8(utf8);
}

struct FormatCase {
  const char* pattern;
  QVariantList args;
  const char* expected;
};

TEST(SafeFormat, BareSignsGetTheArgumentsTypeLetter) {
  const FormatCase cases[] = {
      {"% с.", {12}, "12 с."},
      {"% \xe2\x84\x96% от %", {u("Заказ"), u("17"), u("01.02.2024")}, "Заказ №17 от 01.02.2024"},
      {"[%]", {qlonglong(-5000000000LL)}, "[-5000000000]"},
      {"% руб.", {12.5}, "12,50 руб."},
      {"%.", {QChar(u'x')}, "x."},
      // Specifiers already complete are left alone.
      {"%d-%s", {7, u("a")}, "7-a"},
      {"%5d|%*d", {42, 4, 3}, "   42|   3"},
      {"%1:s %0:s", {u("a"), u("b")}, "b a"},
      // A "%" before "-" or "." counts as bare, so such specifiers need FormatText.
      {"%-3d|", {1}, "1-3d|"},
      // A Boolean gets no letter; the format then fails and the patched text returns.
      {"% x", {true}, "% x"},
      // More bare signs than arguments: the patched pattern comes back unformatted.
      {"% and %", {1}, "%d and %"},
      // Wrong kind for a written specifier: unformatted.
      {"%d", {u("x")}, "%d"},
      // "%%" is no specifier start either, so its first sign takes a letter.
      {"100%%", {5}, "100%d%"},
  };
  for (const FormatCase& c : cases)
    EXPECT_EQ(SafeFormat(u(c.pattern), c.args), u(c.expected)) << c.pattern;
}

TEST(SafeFormat, FormatFunctionSpecifiers) {
  const FormatCase cases[] = {
      {"%5d|%-5d|%.3d|%.3d", {42, 42, 7, -7}, "   42|42   |007|-007"},
      {"%x %u %.4x", {255, -1, 10}, "FF 4294967295 000A"},
      {"%.2f %e %.3e", {-0.001, 1.5, -12345.0}, "0,00 1,50000000000000E+000 -1,23E+004"},
      {"%f %.0f", {2.5, 1234.75}, "2,50 1235"},
      {"%g %g %g %g %g",
       {0.5, 1e20, 100.0, 0.00001, 1.0 / 3},
       "0,5 1E20 100 0,00001 0,333333333333333"},
      {"%n",
       {1234567.891},
       "1\xc2\xa0"
       "234\xc2\xa0"
       "567,89"},
      {"%m",
       {-1234.5},
       "-1\xc2\xa0"
       "234,50 \xe2\x82\xbd"},
      {"%.1s|%-4s|%4s", {u("abc"), u("ab"), u("ab")}, "a|ab  |  ab"},
      {"%s %s %s", {true, QVariant(), QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5))}, ""},
      {"100%%", {}, "100%"},
  };
  for (const FormatCase& c : cases) {
    if (QByteArray(c.expected).isEmpty()) {
      EXPECT_THROW(FormatText(u(c.pattern), c.args), EConvertError) << c.pattern;
      continue;
    }
    EXPECT_EQ(FormatText(u(c.pattern), c.args), u(c.expected)) << c.pattern;
  }
  for (const char* bad : {"%", "%d", "%q", "%5", "%f"})
    EXPECT_THROW(FormatText(u(bad), {}), EConvertError) << bad;
  EXPECT_THROW(FormatText(u("%f"), {1}), EConvertError);
  EXPECT_EQ(FormatText(u("%s|%s"), {QVariant(), QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5))}),
            u("|02.01.2024 03:04:05"));
}

TEST(Common, RaiseErrorCarriesTheTextAndTheGeneralClass) {
  try {
    RaiseErrorFmt(u("Нет связи: %"), {u("узел")});
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), u("Нет связи: узел"));
    EXPECT_STREQ(e.className(), "Exception");
  }
}

TEST(Common, HexBothWays) {
  EXPECT_EQ(BytesToHex(QByteArray("\x0A\xBC", 2)), u("0ABC"));
  EXPECT_EQ(BytesToHex({}), QString());
  EXPECT_EQ(HexToBytes(u("ABC")), QByteArray("\x0A\xBC", 2));
  EXPECT_EQ(HexToBytes(u("0abc")), QByteArray("\x0A\xBC", 2));
  for (const char* bad : {"0G", "zz", "1 ", "\xd9\xa1\xd9\xa2"})  // Arabic-Indic digits too
    EXPECT_THROW(HexToBytes(u(bad)), EConvertError) << bad;
}

TEST(Common, Base64Rfc4648Vectors) {
  const std::pair<const char*, const char*> cases[] = {{"", ""},
                                                       {"f", "Zg=="},
                                                       {"fo", "Zm8="},
                                                       {"foo", "Zm9v"},
                                                       {"foob", "Zm9vYg=="},
                                                       {"fooba", "Zm9vYmE="},
                                                       {"foobar", "Zm9vYmFy"}};
  for (auto [in, out] : cases) EXPECT_EQ(Base64Encode(QByteArray(in)), u(out)) << in;
  EXPECT_EQ(Base64Encode(QByteArray("\xff\xfe\xfd", 3)), u("//79"));
  EXPECT_THROW(Base64EncodeGroup(QByteArray("abcd")), EConvertError);
}

TEST(Common, ScramblerRoundTripsForAnyTextAndKey) {
  const QByteArray keys[] = {{}, "k", "tumobre", QByteArray(300, '\xf1')};
  QByteArray all;
  for (int i = 0; i < 256; ++i) all.append(char(i));
  const QByteArray texts[] = {{}, "5817", all, QByteArray(600, 'a')};
  for (const QByteArray& k : keys)
    for (const QByteArray& t : texts) {
      const QByteArray s = ScrambleText(t, k);
      EXPECT_EQ(s.size(), t.size());
      EXPECT_EQ(UnscrambleText(s, k), t);
    }
}

TEST(Common, ScramblerKnownVector) {
  // Worked by hand from the rule: L=1, S=0, prev=18, key empty so k=1.
  // ('a' - 18 - 1) ^ 9 ^ 0 ^ 1 = 0x4E ^ 0x08 = 0x46.
  EXPECT_EQ(ScrambleText("a", {}), QByteArray("\x46"));
}

TEST(Common, StoredPasswords) {
  // Worked by hand: "5" = 0x35, L=1, S = sum("tumobre") mod 256 = 0xFE, key
  // byte at position ((3 - 2) mod 7) + 1 = 2 is 'u' = 0x75:
  // (0x35 - 18 - 1) ^ 9 ^ 0xFE ^ 0x75 = 0xA0.
  EXPECT_EQ(encodeStoredPassword(u("5")), u("A0"));
  EXPECT_EQ(decodeStoredPassword(u("a0"), u("5817")), u("5"));
  const QString stored = encodeStoredPassword(u("Пароль1"));
  EXPECT_EQ(stored.size(), 14);
  EXPECT_EQ(decodeStoredPassword(stored, u("5817")), u("Пароль1"));
  const struct {
    const char* hex;
    const char* result;
  } cases[] = {{"", "5817"}, {"XYZ", "5817"}, {"0G12", "5817"}};
  for (auto c : cases) EXPECT_EQ(decodeStoredPassword(u(c.hex), u("5817")), u(c.result)) << c.hex;
}

TEST(Common, VersionTextIsCutToMajorMinor) {
  EXPECT_EQ(CutVersionText(u("3.14.2.7")), u("3.14"));
  EXPECT_EQ(CutVersionText(u("3.14")), u("3.14"));
  EXPECT_EQ(CutVersionText(u("7")), u("7"));
  EXPECT_EQ(GetAppVersion().count(u'.'), 1);
  EXPECT_EQ(GetFileVersionText(u("/bin/sh")), QString());
}

TEST(Common, RussianNames) {
  EXPECT_EQ(MonthNameGenitive(3), u("марта"));
  EXPECT_EQ(MonthNameGenitive(12), u("декабря"));
  EXPECT_EQ(MonthNameGenitive(0), QString());
  EXPECT_EQ(MonthNameGenitive(13), QString());
  EXPECT_EQ(DayOfWeekName(1), u("Понедельник"));
  EXPECT_EQ(DayOfWeekName(7), u("Воскресенье"));
  EXPECT_EQ(DayOfWeekName(0), QString());
  EXPECT_EQ(DayOfWeekName(8), QString());
}

TEST(Common, TextFilesInWindows1251) {
  QTemporaryDir dir;
  const QString path = dir.filePath(u("a/b/c.txt"));
  SaveTextToFile(path, u("Привет\r\n"));
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), QByteArray("\xcf\xf0\xe8\xe2\xe5\xf2\r\n"));
  EXPECT_EQ(LoadTextFromFile(path), u("Привет\r\n"));
  EXPECT_EQ(FileSizeOf(path), 8);
  EXPECT_THROW(LoadTextFromFile(dir.filePath(u("missing"))), EFileError);
  EXPECT_THROW(FileSizeOf(dir.filePath(u("missing"))), EFileError);
}

TEST(Common, DataFolderFollowsTheEnvironment) {
  const QByteArray old = qgetenv("VEKTA_DATA_DIR");
  qputenv("VEKTA_DATA_DIR", "/tmp/vekta-x");
  EXPECT_EQ(GetCommonDataFolder(), u("/tmp/vekta-x"));
  qunsetenv("VEKTA_DATA_DIR");
  EXPECT_EQ(GetCommonDataFolder(), u("/var/lib/vekta"));
  if (!old.isNull()) qputenv("VEKTA_DATA_DIR", old);
}

TEST(Common, RegionalNumbersAndDates) {
  const struct {
    QVariant value;
    const char* text;
  } cases[] = {{QVariant(), ""},
               {u("as is"), "as is"},
               {-1, "-1"},
               {qulonglong(18446744073709551615ULL), "18446744073709551615"},
               {true, "True"},
               {false, "False"},
               {1.5, "1,5"},
               {0.1, "0,1"},
               {-250.0, "-250"},
               {1e-7, "1E-7"},
               {QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9)), "05.03.2024 07:08:09"}};
  for (const auto& c : cases) EXPECT_EQ(VariantToText(c.value), u(c.text)) << c.text;
  EXPECT_THROW(VariantToText(QVariant(QStringList{u("a")})), EConvertError);
  EXPECT_EQ(StrToDateTimeRegional(u("05.03.2024 07:08:09")),
            QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9)));
  EXPECT_EQ(StrToDateTimeRegional(u("05.03.2024")), QDateTime(QDate(2024, 3, 5), QTime(0, 0)));
  EXPECT_THROW(StrToDateTimeRegional(u("")), EConvertError);
  EXPECT_THROW(StrToDateTimeRegional(u("2024-03-05")), EConvertError);
}

TEST(Xml, DocumentsFromText) {
  auto empty = CreateXmlDocument(u("  "));
  EXPECT_STREQ(empty->document_element().name(), "root");
  auto doc = CreateXmlDocument(u("<a><b x=\"1\">Кофе</b></a>"));
  EXPECT_EQ(plat::xmlText(doc->child("a").child("b").text().get()), u("Кофе"));
  EXPECT_STREQ(doc->first_child().attribute("encoding").value(), "windows-1251");
  // Absent children read as empty, never crash.
  EXPECT_STREQ(doc->child("a").child("none").child("deeper").text().get(), "");
  auto declared = CreateXmlDocument(u("<?xml version=\"1.0\"?><z/>"));
  EXPECT_STREQ(declared->document_element().name(), "z");
  try {
    CreateXmlDocument(u("<a><b></a>"));
    FAIL();
  } catch (const Exception& e) {
    EXPECT_TRUE(e.message().startsWith(u("XML parse error"))) << e.message().toStdString();
  }
}

TEST(NetAdapters, MacTextAndOrder) {
  const unsigned char bytes[] = {0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xff};
  EXPECT_EQ(plat::macText(bytes, 6), u("00-1A-2B-C3-D4-FF"));
  const QList<plat::NetAdapter> list = plat::networkAdapters();
  for (qsizetype i = 1; i < list.size(); ++i) EXPECT_LT(list[i - 1].name, list[i].name);
  for (const plat::NetAdapter& a : list) {
    EXPECT_NE(a.name, u("lo"));
    EXPECT_NE(a.mac, u("00-00-00-00-00-00"));
  }
  const QString mac = GetMacAddress();
  EXPECT_EQ(mac, list.isEmpty() ? u("00-00-00-00-00-00") : list.first().mac);
}

}  // namespace
