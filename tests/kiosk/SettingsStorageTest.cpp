#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "kiosk/SettingsStorage.h"
#include "platform/Exception.h"

namespace {

QString u(const char* utf8) {
  return QString::fromUtf8(utf8);
}

QByteArray readFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

// The message of the EAbstractError that fn raises, or "" when none.
template <typename Fn>
QString abstractError(Fn fn) {
  try {
    fn();
  } catch (const EAbstractError& e) {
    return e.message();
  }
  return QString();
}

TEST(SettingsStorage, NamesCompareWithoutCaseAndSurroundingBlanks) {
  TSettingsStorage ss;
  ss.Put({u("Global")}, u("host"), u("srv"));
  EXPECT_EQ(ss.Get({u("global")}, u("HOST "), u("def")), QVariant(u("srv")));
  EXPECT_EQ(ss.Get({u(" GLOBAL\t")}, u("host"), {}), QVariant(u("srv")));

  // Stored twice under differing spellings: the first spelling, the last value.
  ss.Put({u("GLOBAL")}, u(" Host"), 5);
  ASSERT_EQ(ss.keys().size(), 1u);
  EXPECT_EQ(ss.keys()[0]->Node, u("Global"));
  ASSERT_EQ(ss.keys()[0]->Params.size(), 1u);
  EXPECT_EQ(ss.keys()[0]->Params[0].Name, u("host"));
  EXPECT_EQ(ss.Get({u("global")}, u("host"), {}), QVariant(5));

  // Russian names fold too.
  ss.Put({u("Ключ")}, u("Имя"), 1);
  EXPECT_EQ(ss.Get({u("КЛЮЧ")}, u("имя"), {}), QVariant(1));

  // Missing key or name gives the default; nothing is created by a read.
  EXPECT_EQ(ss.Get({u("none")}, u("host"), u("d")), QVariant(u("d")));
  EXPECT_EQ(ss.Get({u("Global"), u("deeper")}, u("host"), 7), QVariant(7));
  EXPECT_EQ(ss.Get({u("Global")}, u("port"), 7), QVariant(7));
  EXPECT_EQ(ss.keys().size(), 2u);

  // An empty name checks the path and changes nothing.
  ss.Put({u("new")}, QString(), 1);
  EXPECT_EQ(ss.keys().size(), 2u);
  EXPECT_FALSE(abstractError([&] { ss.Put({u(" ")}, QString(), 1); }).isEmpty());
}

TEST(SettingsStorage, NestedKeysAndDelete) {
  TSettingsStorage ss;
  ss.Put({u("a"), u("b")}, u("x"), 1);
  ss.Put({u("a"), u("c")}, u("x"), 2);
  ss.Put({u("d")}, u("x"), 3);
  EXPECT_EQ(ss.Get({u("A"), u("B")}, u("x"), {}), QVariant(1));
  ss.DeleteKey({u("a"), u("B")});
  EXPECT_EQ(ss.Get({u("a"), u("b")}, u("x"), 0), QVariant(0));
  EXPECT_EQ(ss.Get({u("a"), u("c")}, u("x"), 0), QVariant(2));
  ss.DeleteKey({u("A")});
  ASSERT_EQ(ss.keys().size(), 1u);
  EXPECT_EQ(ss.keys()[0]->Node, u("d"));
}

TEST(SettingsStorage, ErrorTexts) {
  TSettingsStorage ss;
  ss.Put({u("a")}, u("x"), 1);
  const struct {
    std::function<void()> call;
    const char* message;
  } cases[] = {
      {[&] { ss.Put({}, u("x"), 1); }, "Key is not defined (TSettingsStorage.AddParam)."},
      {[&] { ss.Get({}, u("x"), 1); }, "Key is not defined (TSettingsStorage.ReadParam)."},
      {[&] { ss.DeleteKey({}); }, "Key is not defined (TSettingsStorage.DeleteKey)."},
      {[&] {
         ss.Put({u("a"), u(""), u("b")}, u("x"), 1);
       },
       "Key \"[a, , b]\" has empty string (TSettingsStorage.AddParam)."},
      {[&] {
         ss.Get({u("a"), u("  ")}, u("x"), 1);
       },
       "Key \"[a,   ]\" has empty string (TSettingsStorage.ReadParam)."},
      {[&] { ss.DeleteKey({u("\t")}); },
       "Key \"[\t]\" has empty string (TSettingsStorage.DeleteKey)."},
      {[&] { ss.DeleteKey({u("b")}); }, "Key \"[b]\" not defined (TSettingsStorage.DeleteKey)."},
      {[&] {
         ss.DeleteKey({u("A"), u("c")});
       },
       "Key \"[A, c]\" not found (TSettingsStorage.DeleteKey)."},
  };
  for (const auto& c : cases) EXPECT_EQ(abstractError(c.call), u(c.message));
  // A failed check changed nothing.
  ASSERT_EQ(ss.keys().size(), 1u);
  EXPECT_TRUE(ss.keys()[0]->Children.empty());
}

TEST(SettingsStorage, SaveToStringsWritesSectionsAndValueTexts) {
  TSettingsStorage ss;
  ss.Put({u("Global")}, u("host"), u("srv"));
  ss.Put({u("Global")}, u("port"), -1);
  ss.Put({u("Global")}, u("flag"), true);
  ss.Put({u("Global")}, u("ratio"), 1.5);
  ss.Put({u("Global")}, u("when"), QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9)));
  ss.Put({u("Global")}, u("none"), QVariant());
  ss.Put({u("Global")}, u(" spaced "), u("v"));
  ss.Put({u(" kelto "), u("sub")}, u("login"), u("op"));
  ss.DeleteKey({u("kelto"), u("sub")});
  ss.Put({u("kelto"), u("sub")}, u("make_audit"), true);
  ss.Put({u("empty")}, u("x"), 1);
  ss.DeleteKey({u("empty")});
  ss.Put({u("Global"), u("empty")}, u("x"), 1);
  ss.DeleteKey({u("Global"), u("empty")});
  ss.Put({u("Global"), u("inner")}, u("x"), u("line1\r\n[evil]\nhost=bad"));

  QStringList lines{u("kept")};
  ss.SaveToStrings(lines);
  const QStringList expected{u("kept"),
                             u("[Global]"),
                             u("host=srv"),
                             u("port=-1"),
                             u("flag=True"),
                             u("ratio=1,5"),
                             u("when=05.03.2024 07:08:09"),
                             u("none="),
                             u(" spaced =v"),
                             u("[Global  inner]"),
                             u("x=line1  [evil] host=bad"),
                             u("[kelto]"),
                             u("[kelto  sub]"),
                             u("make_audit=True")};
  EXPECT_EQ(lines, expected);
}

TEST(SettingsStorage, UnconvertibleValueRaisesAndKeepsTheLinesBefore) {
  TSettingsStorage ss;
  ss.Put({u("a")}, u("ok"), 1);
  ss.Put({u("a")}, u("bad"), QVariant(QStringList{u("x")}));
  QStringList lines;
  EXPECT_THROW(ss.SaveToStrings(lines), EConvertError);
  EXPECT_EQ(lines, (QStringList{u("[a]"), u("ok=1")}));
}

TEST(SettingsStorage, LoadFromStringsReadsOnlyWellFormedLines) {
  TSettingsStorage ss;
  ss.LoadFromStrings({u("before=skipped"), u("[s]"), u("a = 1"), u("x=y=z"), u("noequals"), u("=v"),
                      u("  =v"), u("n="), u(" [t]"), u("blank=   "), u("[]"), u("[s  deep]"),
                      u("k=v"), u("[e]")});
  const TSettingsStorageKey& s = *ss.keys().at(0);
  EXPECT_EQ(ss.keys().size(), 1u);  // [e] has no values, so it never appears
  ASSERT_EQ(s.Params.size(), 3u);
  EXPECT_EQ(s.Params[0].Name, u("a "));
  EXPECT_EQ(s.Params[0].Value, QVariant(u(" 1")));
  EXPECT_EQ(ss.Get({u("s")}, u("a"), {}), QVariant(u(" 1")));
  EXPECT_EQ(ss.Get({u("s")}, u("x"), {}), QVariant(u("y=z")));
  EXPECT_EQ(ss.Get({u("s")}, u("blank"), {}), QVariant(u("   ")));
  EXPECT_EQ(ss.Get({u("s")}, u("before"), u("d")), QVariant(u("d")));
  EXPECT_EQ(ss.Get({u("s"), u("deep")}, u("k"), {}), QVariant(u("v")));
  EXPECT_EQ(ss.Get({u("s")}, u("k"), u("d")), QVariant(u("d")));
}

TEST(SettingsStorage, BadSectionStopsTheLoadAndKeepsWhatCameBefore) {
  TSettingsStorage ss;
  EXPECT_EQ(abstractError([&] {
              ss.LoadFromStrings({u("[s]"), u("a=1"), u("[a    b]"), u("c=2")});
            }),
            u("Key \"[a, , b]\" has empty string (TSettingsStorage.AddParam)."));
  EXPECT_EQ(ss.Get({u("s")}, u("a"), {}), QVariant(u("1")));
  EXPECT_EQ(ss.Get({u("a"), u("b")}, u("c"), u("d")), QVariant(u("d")));
}

class SettingsFile : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  QString path(const char* name) { return dir.filePath(u(name)); }
};

TEST_F(SettingsFile, SavesWindows1251WithCrLfAndCreatesTheFolders) {
  TSettingsStorage ss;
  ss.IniFileName = path("x/y/vekta.ini");
  ss.Put({u("Global")}, u("host"), u("Сервер"));
  ss.Put({u("kelto")}, u("make_audit"), true);
  ss.Put({u("kelto")}, u("empty"), u(""));
  ASSERT_TRUE(ss.SaveToIniFile());
  EXPECT_EQ(readFile(ss.IniFileName),
            QByteArray("[Global]\r\nhost=\xd1\xe5\xf0\xe2\xe5\xf0\r\n[kelto]\r\nmake_audit=True\r\n"
                       "empty=\r\n"));

  // Read back: values as text, empty ones gone.
  TSettingsStorage back;
  back.LoadFromIniFile(ss.IniFileName);
  EXPECT_EQ(back.Get({u("global")}, u("HOST"), {}), QVariant(u("Сервер")));
  EXPECT_EQ(back.Get({u("kelto")}, u("make_audit"), {}), QVariant(u("True")));
  EXPECT_EQ(back.Get({u("kelto")}, u("empty"), u("def")), QVariant(u("def")));
}

TEST_F(SettingsFile, LoadsEveryEncodingAndLineEnd) {
  const QString body = u("junk\r[Global]\nhost=Сервер\r\n[kelto]\rlogin=оп\n");
  auto utf16 = [&](bool le) {
    QByteArray b = le ? QByteArray("\xFF\xFE") : QByteArray("\xFE\xFF");
    for (QChar c : body) {
      const char hi = char(c.unicode() >> 8), lo = char(c.unicode() & 0xFF);
      b.append(le ? lo : hi).append(le ? hi : lo);
    }
    return b;
  };
  const struct {
    const char* name;
    QByteArray bytes;
  } cases[] = {
      {"crlf", "[Global]\r\nhost=\xd1\xe5\xf0\xe2\xe5\xf0\r\n[kelto]\r\nlogin=\xee\xef\r\n"},
      {"lf", "[Global]\nhost=\xd1\xe5\xf0\xe2\xe5\xf0\n[kelto]\nlogin=\xee\xef"},
      {"cr", "[Global]\rhost=\xd1\xe5\xf0\xe2\xe5\xf0\r[kelto]\rlogin=\xee\xef\r"},
      {"utf8", "\xEF\xBB\xBF" + body.toUtf8()},
      {"utf16le", utf16(true)},
      {"utf16be", utf16(false)},
  };
  for (const auto& c : cases) {
    writeFile(path(c.name), c.bytes);
    TSettingsStorage ss;
    ss.LoadFromIniFile(path(c.name));
    EXPECT_EQ(ss.Get({u("Global")}, u("host"), {}), QVariant(u("Сервер"))) << c.name;
    EXPECT_EQ(ss.Get({u("kelto")}, u("login"), {}), QVariant(u("оп"))) << c.name;
    EXPECT_EQ(ss.keys().size(), 2u) << c.name;
  }
}

TEST_F(SettingsFile, UnreadableFilesRaise) {
  const struct {
    const char* name;
    QByteArray bytes;
  } cases[] = {
      {"empty", ""},
      {"nosection", "host=a\r\nport=1\r\n"},
      {"truncated", "[Glo"},
      {"badutf8", "\xEF\xBB\xBF[Global]\r\nhost=\xff\xfe\r\n"},
  };
  for (const auto& c : cases) {
    writeFile(path(c.name), c.bytes);
    TSettingsStorage ss;
    EXPECT_THROW(ss.LoadFromIniFile(path(c.name)), EFileError) << c.name;
  }
  TSettingsStorage ss;
  EXPECT_THROW(ss.LoadFromIniFile(path("missing")), EFileError);
}

// A save that fails raises nothing: an unattended kiosk goes on with the
// store as it is, and the caller reports the failure where someone sees it.
TEST_F(SettingsFile, SaveFailureIsReturnedAndLeavesTheOldFile) {
  QFile blocker(path("file"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  // A folder stands where the file should go: no permission lets a rename
  // replace it, so this holds for root too.
  ASSERT_TRUE(QDir(dir.path()).mkpath(u("taken.ini")));
  const struct {
    const char* name;
    const char* file;
    QVariant bad;  // a value with no text form, or none
  } cases[] = {
      {"a folder in the file's place", "taken.ini", QVariant()},
      {"a folder that cannot be made", "file/sub/vekta.ini", QVariant()},
      {"a value with no text form", "old.ini", QVariant(QStringList{u("x")})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(path("old.ini"), "[a]\r\nx=old\r\n");
    TSettingsStorage ss;
    ss.Put({u("a")}, u("x"), 1);
    if (c.bad.isValid()) ss.Put({u("a")}, u("bad"), c.bad);
    TSettingsStorage::SaveResult saved{u("not called")};
    ASSERT_NO_THROW(saved = ss.SaveToIniFile(path(c.file)));
    EXPECT_FALSE(saved);
    EXPECT_FALSE(saved.error.isEmpty());
    EXPECT_EQ(readFile(path("old.ini")), QByteArray("[a]\r\nx=old\r\n"));
    EXPECT_EQ(ss.Get({u("a")}, u("x"), {}), QVariant(1)) << "the store is unchanged";
  }
}

// The file holds the back office's login and scrambled password: it is the
// owner's alone whatever the file it replaces allowed, and so is a folder
// made for it.
TEST_F(SettingsFile, TheFileAndTheFoldersMadeForItAreTheOwnersAlone) {
  const auto mode = [](const QString& p) {
    struct stat st {};
    return ::stat(QFile::encodeName(p).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
  };
  ASSERT_TRUE(QDir(dir.path()).mkpath(u("old")));
  for (const char* name : {"old/vekta.ini", "old/vekta.ini~"}) {
    writeFile(path(name), "[Global]\r\nhost=old\r\n");
    ASSERT_TRUE(QFile::setPermissions(
        path(name), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    ASSERT_EQ(mode(path(name)), 0644);
  }
  TSettingsStorage ss;
  ss.Put({u("Global")}, u("password"), u("0A1B"));
  ASSERT_TRUE(ss.SaveToIniFile(path("old/vekta.ini")));
  EXPECT_EQ(mode(path("old/vekta.ini")), 0600) << "a save over a 644 file";
  ss.IniFileName = path("old/vekta.ini");
  ss.saveWithBackup();
  EXPECT_EQ(mode(path("old/vekta.ini~")), 0600) << "the backup over a 644 file";

  ASSERT_TRUE(ss.SaveToIniFile(path("new/data/vekta.ini")));
  EXPECT_EQ(mode(path("new/data/vekta.ini")), 0600) << "a new file";
  EXPECT_EQ(mode(path("new/data")), 0700) << "the folder made for it";
  EXPECT_EQ(mode(path("new")), 0700) << "and its parent made with it";
}

TEST_F(SettingsFile, ValueCannotInjectLinesOrSections) {
  TSettingsStorage ss;
  ss.Put({u("Global")}, u("note"), u("x\r\n[Global]\r\nhost=evil"));
  ss.Put({u("Global")}, u("host"), u("good"));
  ss.Put({u("Global")}, u("na\nme"), u("v"));
  ASSERT_TRUE(ss.SaveToIniFile(path("s.ini")));
  TSettingsStorage back;
  back.LoadFromIniFile(path("s.ini"));
  EXPECT_EQ(back.Get({u("Global")}, u("host"), {}), QVariant(u("good")));
  EXPECT_EQ(back.Get({u("Global")}, u("note"), {}), QVariant(u("x  [Global]  host=evil")));
  EXPECT_EQ(back.Get({u("Global")}, u("na me"), {}), QVariant(u("v")));
  EXPECT_EQ(back.keys().at(0)->Params.size(), 3u);
}

// Whatever file loads is saved to one that loads to the same keys and values:
// a damaged or hand-edited file must not turn into one the next start refuses.
TEST_F(SettingsFile, WhatLoadsSavesToAFileThatLoadsTheSame) {
  const struct {
    const char* name;
    QByteArray bytes;
    bool loads;
    const char* saved;  // the lines of the store after the load ("" when it is refused)
  } cases[] = {
      // Control characters make a blank component: refused now, as its saved form would be.
      {"controls split a section", "[Global\x01\x01\x01\x01X]\r\nhost=a\r\n", false, ""},
      {"controls and DEL in names and values",
       "[Glo\x7F"
       "bal]\r\nho\x01st=a\x02"
       "b\r\n",
       true, "[Glo bal]|ho st=a b"},
      {"names that only their saved form makes equal", "[s]\r\na\tb=1\r\na b=2\r\n", true,
       "[s]|a b=2"},
      {"letters windows-1251 lacks", "\xEF\xBB\xBF[s]\r\n\xE4\xB8\xAD=1\r\n\xE6\x96\x87=2\r\n",
       true, "[s]|\xE4\xB8\xAD=1|\xE6\x96\x87=2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(path("in.ini"), c.bytes);
    TSettingsStorage first;
    try {
      first.LoadFromIniFile(path("in.ini"));
    } catch (const Exception&) {
      EXPECT_FALSE(c.loads);
      continue;
    }
    ASSERT_TRUE(c.loads);
    QStringList lines;
    first.SaveToStrings(lines);
    EXPECT_EQ(lines.join(u'|'), u(c.saved));
    ASSERT_TRUE(first.SaveToIniFile(path("out.ini")));
    TSettingsStorage again;
    ASSERT_NO_THROW(again.LoadFromIniFile(path("out.ini")));
    QStringList back;
    again.SaveToStrings(back);
    EXPECT_EQ(back, lines);
  }
}

// A file that loads only in part is never mixed with another: the backup is
// taken whole when it loads; without one, the values read before the fault
// are kept, so the next save writes no less than was read.
TEST_F(SettingsFile, StartUpLoadTakesTheBackupWholeWhenTheMainFileFails) {
  const QByteArray good = "[Global]\r\nhost=backup\r\nport=7\r\n";
  const QByteArray mainGood = "[Global]\r\nhost=main\r\n";
  // Values, then a bad section line, then more that is never read.
  const QByteArray mainHalf = "[Global]\r\nhost=main\r\nother=1\r\n[ ]\r\nlost=1\r\n";
  const QByteArray backupHalf = "[Global]\r\nhost=backup\r\nport=7\r\n[a    b]\r\nlost=1\r\n";
  const QByteArray absent;  // null: no file at all ("" is an empty file)
  using Source = TSettingsStorage::LoadReport::Source;
  const struct {
    const char* name;
    QByteArray main;
    QByteArray backup;
    Source source;
    const char* host;
    QVariant port;
    QVariant other;
  } cases[] = {
      {"main good", mainGood, good, Source::Main, "main", QVariant(), QVariant()},
      // Loads only in part: the half of main is dropped, not mixed with the backup.
      {"corrupt main", "[Global]\r\nhost=main\r\nother=1\r\n[a    b]\r\nc=1\r\n", good,
       Source::Backup, "backup", QVariant(u("7")), QVariant()},
      {"missing main", absent, good, Source::Backup, "backup", QVariant(u("7")), QVariant()},
      {"truncated main", mainGood.left(5), good, Source::Backup, "backup", QVariant(u("7")),
       QVariant()},
      {"empty main", "", good, Source::Backup, "backup", QVariant(u("7")), QVariant()},
      {"both bad", "", "[Glo", Source::None, "", QVariant(), QVariant()},
      {"neither", absent, absent, Source::None, "", QVariant(), QVariant()},
      // No backup to take whole: what main gave before its fault stays.
      {"corrupt main, no backup", mainHalf, absent, Source::MainPart, "main", QVariant(),
       QVariant(u("1"))},
      {"corrupt main, unreadable backup", mainHalf, "", Source::MainPart, "main", QVariant(),
       QVariant(u("1"))},
      {"corrupt main, corrupt backup", mainHalf, backupHalf, Source::MainPart, "main", QVariant(),
       QVariant(u("1"))},
      {"missing main, corrupt backup", absent, backupHalf, Source::BackupPart, "backup",
       QVariant(u("7")), QVariant()},
      {"empty main, corrupt backup", "", backupHalf, Source::BackupPart, "backup", QVariant(u("7")),
       QVariant()},
  };
  int n = 0;
  for (const auto& c : cases) {
    const QString dirName = dir.filePath(QString::number(n++));
    QDir().mkpath(dirName);
    const QString main = dirName + u("/vekta.ini");
    if (!c.main.isNull()) writeFile(main, c.main);
    if (!c.backup.isNull()) writeFile(main + u'~', c.backup);

    TSettingsStorage ss;
    ss.Put({u("stale")}, u("x"), 1);  // whatever was there goes
    const auto report = TSettingsStorage::loadWithBackup(ss, main);
    EXPECT_EQ(report.source, c.source) << c.name;
    EXPECT_EQ(ss.IniFileName, main) << c.name;
    EXPECT_EQ(ss.Get({u("Global")}, u("host"), u("")), QVariant(u(c.host))) << c.name;
    EXPECT_EQ(ss.Get({u("Global")}, u("other"), QVariant()), c.other) << c.name;
    EXPECT_EQ(ss.Get({u("Global")}, u("port"), QVariant()), c.port) << c.name;
    EXPECT_EQ(ss.Get({u("Global")}, u("lost"), QVariant()), QVariant()) << c.name;
    EXPECT_EQ(ss.Get({u("stale")}, u("x"), QVariant()), QVariant()) << c.name;
    if (c.source != TSettingsStorage::LoadReport::Main && !c.main.isNull()) {
      EXPECT_FALSE(report.mainError.isEmpty()) << c.name;
    }
  }
}

TEST_F(SettingsFile, SaveWithBackupWritesBothFiles) {
  TSettingsStorage ss;
  ss.IniFileName = path("d/vekta.ini");
  ss.Put({u("Global")}, u("last_audit_dt"), u("05.03.2024 07:08:09"));
  ss.saveWithBackup();
  const QByteArray expected = "[Global]\r\nlast_audit_dt=05.03.2024 07:08:09\r\n";
  EXPECT_EQ(readFile(path("d/vekta.ini")), expected);
  EXPECT_EQ(readFile(path("d/vekta.ini~")), expected);

  // The main name blocked: the backup is still written, and the failure is raised.
  ASSERT_TRUE(QDir(dir.path()).mkpath(u("e/vekta.ini")));
  ss.IniFileName = path("e/vekta.ini");
  EXPECT_THROW(ss.saveWithBackup(), EFileError);
  EXPECT_EQ(readFile(path("e/vekta.ini~")), expected);
}

}  // namespace
