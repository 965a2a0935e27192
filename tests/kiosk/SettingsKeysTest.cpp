#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "platform/Exception.h"

namespace K = SettingsKeys;

namespace {

TEST(SettingsKeys, EmptyStoreGivesEveryDefault) {
  const TSettingsStorage ss;
  for (const TSettingKey& key : K::all) {
    SCOPED_TRACE(key.name);
    const QString def = QString::fromUtf8(key.defaultText);
    switch (key.type) {
      case TSettingType::Text:
        EXPECT_EQ(readText(ss, key), def);
        break;
      case TSettingType::Integer:
        if (def.isEmpty())
          EXPECT_THROW(readInt(ss, key), EConvertError);  // the caller checks the text first
        else
          EXPECT_EQ(readInt(ss, key), def.toInt());
        break;
      case TSettingType::Boolean:
        EXPECT_EQ(readBool(ss, key), def == "True");
        break;
      case TSettingType::Password:
        EXPECT_EQ(readPassword(ss, key, "fb"), "fb");
        break;
      case TSettingType::DateTime:
        EXPECT_FALSE(readDateTime(ss, key).isValid());
        break;
    }
  }
  EXPECT_EQ(readInt(ss, K::sber_com_port), -1);
  EXPECT_TRUE(readBool(ss, K::VirtualKeyboard));
  EXPECT_TRUE(readBool(ss, K::kelto_make_audit));
}

TEST(SettingsKeys, ValuesSurviveTheFileInTheirStoredForm) {
  QTemporaryDir dir;
  const QString ini = dir.filePath("vekta.ini");
  const QDateTime audit(QDate(2024, 2, 29), QTime(23, 5, 1));
  {
    TSettingsStorage ss;
    writeText(ss, K::host, "bo.example");
    writeInt(ss, K::port, 4100);
    writeBool(ss, K::Hook, true);
    writeBool(ss, K::VirtualKeyboard, false);
    writePassword(ss, K::password, QString::fromUtf8("пароль1"));
    writePassword(ss, K::service_password, "2468");
    writeDateTime(ss, K::last_audit_dt, audit);
    writeDateTime(ss, K::last_revise_totals_dt, QDateTime());
    writeInt(ss, K::vm_id, 17);
    writeText(ss, K::kelto_login, "operator");
    ASSERT_EQ(ss.SaveToIniFile(ini).error.toStdString(), "");
  }
  QFile f(ini);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QByteArray file = f.readAll();
  EXPECT_FALSE(file.contains("2468"));  // passwords never in clear
  EXPECT_TRUE(file.contains("Hook=True"));

  TSettingsStorage ss;
  ss.LoadFromIniFile(ini);
  EXPECT_EQ(readText(ss, K::host), "bo.example");
  EXPECT_EQ(readInt(ss, K::port), 4100);
  EXPECT_TRUE(readBool(ss, K::Hook));
  EXPECT_FALSE(readBool(ss, K::VirtualKeyboard));
  EXPECT_EQ(readPassword(ss, K::password), QString::fromUtf8("пароль1"));
  EXPECT_EQ(readPassword(ss, K::service_password, K::kDefaultServicePassword), "2468");
  EXPECT_EQ(readDateTime(ss, K::last_audit_dt), audit);
  EXPECT_FALSE(readDateTime(ss, K::last_revise_totals_dt).isValid());
  EXPECT_EQ(readInt(ss, K::vm_id), 17);
  EXPECT_EQ(readText(ss, K::kelto_login), "operator");
  EXPECT_EQ(readText(ss, K::login), "");  // the kelto login is another section
}

TEST(SettingsKeys, StoredPasswordIsUpperCaseHexOfTheScrambledText) {
  TSettingsStorage ss;
  writePassword(ss, K::password, "secret");
  const QString hex = ss.Get({"Global"}, "password").toString();
  EXPECT_EQ(hex.size(), 12);
  EXPECT_EQ(hex, hex.toUpper());
  EXPECT_NE(hex, QString::fromLatin1(QByteArray("secret").toHex()).toUpper());
}

TEST(SettingsKeys, UnreadableValuesFallBack) {
  struct Case {
    const char* stored;
    const char* servicePassword;  // read with the factory fallback
    bool dateValid;
  } cases[] = {
      {"", "5817", false},
      {"zz", "5817", false},  // not hexadecimal
      {"31.02.2024 10:00:00", "5817", false},
  };
  for (const Case& c : cases) {
    TSettingsStorage ss;
    ss.Put({"global"}, "service_password", c.stored);  // one section whatever the case
    ss.Put({"global"}, "last_audit_dt", c.stored);
    EXPECT_EQ(readPassword(ss, K::service_password, K::kDefaultServicePassword), c.servicePassword)
        << c.stored;
    EXPECT_EQ(readDateTime(ss, K::last_audit_dt).isValid(), c.dateValid) << c.stored;
  }
  TSettingsStorage ss;
  ss.Put({"global"}, "port", "41OO");
  EXPECT_THROW(readInt(ss, K::port), EConvertError);
}

TEST(SettingsKeys, BooleansCompareWithTrue) {
  struct Case {
    const char* text;
    bool value;
  } cases[] = {{"True", true},   {"true", true}, {"1", true},   {"-1", true},
               {"False", false}, {"0", false},   {"yes", false}};
  for (const Case& c : cases) {
    TSettingsStorage ss;
    ss.Put({"Global"}, "BringToFront", c.text);
    EXPECT_EQ(readBool(ss, K::BringToFront), c.value) << c.text;
  }
}

}  // namespace
