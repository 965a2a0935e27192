// The service menu and the operator form: what they read and store, the
// autostart entry, the close question, and logging an operator in against
// the stand-in back office.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include "backoffice/JClient.h"
#include "kiosk/DialogsAndMessages.h"
#include "kiosk/OperatorForm.h"
#include "kiosk/Settings.h"
#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "platform/Common.h"
#include "platform/TextCodec.h"
#include "testbed/SimHandlers.h"
#include "tests/support/KioskHooksStub.h"
#include "tests/support/WhenShown.h"

namespace {

using testkit::whenShown;

QString fileText(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? plat::fromAnsi(f.readAll()) : QString();
}

// A settings store in a data folder of its own, a main client and a menu on them.
class ServiceMenu : public ::testing::Test {
 protected:
  void SetUp() override {
    ss.IniFileName = dir.filePath(QStringLiteral("vekta.ini"));
    writeBool(ss, SettingsKeys::VirtualKeyboard, false);  // no on-screen keyboard in tests
    ctx.SS = &ss;
    ctx.client = &client;
    ctx.setBringToFront = [this](bool on) { bringToFront.push_back(on); };
    ctx.refreshConfig = [this] { ++refreshes; };
    ctx.makeAudit = [this](int kind) { audits.push_back(kind); };
    ctx.vm_id = 17;
    ctx.programPath = dir.filePath(QStringLiteral("bin/vekta"));
    ctx.autostartFolder = dir.filePath(QStringLiteral("autostart"));
  }
  std::unique_ptr<TfmSettings> openMenu() {
    auto menu = std::make_unique<TfmSettings>(ctx);
    menu->show();
    return menu;
  }
  QString ini() const { return fileText(ss.IniFileName); }
  plat::AutostartEntry autostart() const { return plat::AutostartEntry(ctx.autostartFolder); }

  QTemporaryDir dir;
  TSettingsStorage ss;
  TJClient client;
  TServiceMenuContext ctx;
  std::vector<bool> bringToFront;
  int refreshes = 0;
  std::vector<int> audits;
  testkit::StubKioskHooks hooks;
};

}  // namespace

TEST_F(ServiceMenu, OkStoresEveryFieldAndAppliesTheConnectionAtOnce) {
  auto menu = openMenu();
  EXPECT_EQ(menu->edHost->text(), QStringLiteral("127.0.0.1")) << "the built-in host";
  EXPECT_FALSE(menu->data_changed);
  menu->edHost->setText(QStringLiteral("office.example"));
  menu->edPort->setText(QStringLiteral(" 8443 "));
  menu->edLogin->setText(QStringLiteral("kiosk7"));
  menu->edPassword->setText(QStringLiteral("пароль"));
  menu->edAutoStart->setChecked(true);
  menu->edBringToFront->setChecked(true);
  menu->edHook->setChecked(true);
  menu->edPosTerminalLocation->setCurrentIndex(2);
  EXPECT_TRUE(menu->data_changed);
  menu->btOKClick();  // no question: OK saves
  EXPECT_EQ(menu->result(), QDialog::Accepted);
  EXPECT_FALSE(menu->data_changed);

  const QString saved = ini();
  for (const QString& line :
       {QStringLiteral("host=office.example"), QStringLiteral("port=8443"),
        QStringLiteral("login=kiosk7"),
        QStringLiteral("password=") + encodeStoredPassword(QStringLiteral("пароль")),
        QStringLiteral("autostart=True"), QStringLiteral("BringToFront=True"),
        QStringLiteral("VirtualKeyboard=False"), QStringLiteral("Hook=True"),
        QStringLiteral("pos_terminal_location=справа от экрана")})
    EXPECT_TRUE(saved.contains(line + QStringLiteral("\r\n"))) << line.toStdString();
  EXPECT_FALSE(saved.contains(QStringLiteral("пароль"))) << "never in clear";

  EXPECT_EQ(client.host(), QStringLiteral("office.example"));
  EXPECT_EQ(client.port(), 8443);
  EXPECT_EQ(client.login(), QStringLiteral("kiosk7"));
  EXPECT_EQ(client.password(), QStringLiteral("пароль"));
  EXPECT_EQ(bringToFront, std::vector<bool>{true});
  EXPECT_TRUE(autostart().starts(ctx.programPath));

  // Opened again, the menu shows what was saved.
  auto again = openMenu();
  EXPECT_EQ(again->values().password, QStringLiteral("пароль"));
  EXPECT_EQ(again->edPosTerminalLocation->currentText(), QStringLiteral("справа от экрана"));
  EXPECT_TRUE(again->edHook->isChecked());
}

TEST_F(ServiceMenu, ABadPortChangesNothing) {
  for (const char* port : {"", "  ", "80a", "0", "70000", "-1"}) {
    SCOPED_TRACE(port);
    auto menu = openMenu();
    menu->edLogin->setText(QStringLiteral("new"));
    menu->edAutoStart->setChecked(true);
    menu->edPort->setText(QString::fromLatin1(port));
    try {
      menu->btOKClick();
      ADD_FAILURE() << "saved";
    } catch (const std::exception& e) {
      EXPECT_EQ(exceptionMessage(e), QStringLiteral("Неверно указан порт сервера Дорвенты."));
    }
    EXPECT_TRUE(menu->isVisible());
    EXPECT_TRUE(menu->data_changed);
    EXPECT_FALSE(QFile::exists(ss.IniFileName));
    EXPECT_TRUE(readText(ss, SettingsKeys::login).isEmpty()) << "not even in memory";
    EXPECT_TRUE(client.login().isEmpty());
    EXPECT_FALSE(autostart().exists());
    menu->data_changed = false;
  }
}

TEST_F(ServiceMenu, AutostartEntryIsWrittenForThisProgramAndRemovedWhenUnticked) {
  const QString program = dir.filePath(QStringLiteral("my \"kiosk\" $HOME/vekta%1"));
  ctx.programPath = program;
  auto menu = openMenu();
  menu->edPort->setText(QStringLiteral("1"));
  menu->edAutoStart->setChecked(true);
  menu->SaveSettings();
  ASSERT_TRUE(autostart().exists());
  EXPECT_TRUE(autostart().starts(program));
  EXPECT_FALSE(autostart().starts(program + QStringLiteral("x")));
  const QString text = fileText(autostart().fileName());
  EXPECT_TRUE(text.contains(QStringLiteral("[Desktop Entry]\n")));
  EXPECT_TRUE(text.contains(QStringLiteral("Exec=\"") + dir.path() +
                            QStringLiteral("/my \\\"kiosk\\\" \\$HOME/vekta%%1\"\n")))
      << text.toStdString();

  menu->edAutoStart->setChecked(false);
  menu->SaveSettings();
  EXPECT_FALSE(autostart().exists());
  EXPECT_TRUE(ini().contains(QStringLiteral("autostart=False\r\n")));
}

TEST_F(ServiceMenu, AnAutostartEntryThatCannotBeWrittenIsReportedAndTheSaveGoesOn) {
  QFile blocker(dir.filePath(QStringLiteral("file")));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  ctx.autostartFolder = blocker.fileName() + QStringLiteral("/autostart");  // under a file
  auto menu = openMenu();
  menu->edPort->setText(QStringLiteral("2"));
  menu->edAutoStart->setChecked(true);
  QString shown;
  whenShown<TfmYNCQuestion>([&](TfmYNCQuestion* q) {
    shown = q->txt;
    q->btYesClick();
  });
  menu->SaveSettings();
  // The entry is a desktop file here: no registry, no administrator.
  EXPECT_EQ(shown, QStringLiteral("Не удалось записать автозапуск приложения.\r\n"
                                  "Проверьте права на папку автозапуска."));
  EXPECT_TRUE(ini().contains(QStringLiteral("port=2\r\n")));
}

// A folder stands in the settings file's place. The technician at the menu
// is told; the values apply all the same, and nothing is raised past the menu.
TEST_F(ServiceMenu, ASettingsFileThatCannotBeWrittenIsShownAndTheValuesApply) {
  ASSERT_TRUE(QDir().mkdir(ss.IniFileName));
  auto menu = openMenu();
  menu->edPort->setText(QStringLiteral("4100"));
  menu->edLogin->setText(QStringLiteral("kiosk9"));
  QString shown;
  whenShown<TfmYNCQuestion>([&](TfmYNCQuestion* q) {
    shown = q->txt;
    q->btYesClick();
  });
  ASSERT_NO_THROW(menu->btOKClick());
  EXPECT_EQ(menu->result(), QDialog::Accepted);
  EXPECT_TRUE(shown.startsWith(QStringLiteral("Не удалось сохранить настройки: ")))
      << shown.toStdString();
  EXPECT_TRUE(shown.contains(ss.IniFileName)) << shown.toStdString();
  EXPECT_EQ(readText(ss, SettingsKeys::login), QStringLiteral("kiosk9"));
  EXPECT_EQ(client.login(), QStringLiteral("kiosk9"));
  EXPECT_EQ(client.port(), 4100);
}

TEST_F(ServiceMenu, CancelWithChangesAsksWhetherToSave) {
  const struct {
    const char* name;
    void (TfmYNCQuestion::*answer)();
    bool closed, saved;
  } cases[] = {{"yes", &TfmYNCQuestion::btYesClick, true, true},
               {"no", &TfmYNCQuestion::btNoClick, true, false},
               {"cancel", &TfmYNCQuestion::btCancelClick, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(ss.IniFileName);
    writeText(ss, SettingsKeys::port, QStringLiteral("3"));
    writeBool(ss, SettingsKeys::BringToFront, false);
    auto menu = openMenu();
    menu->edBringToFront->setChecked(true);
    QString question;
    whenShown<TfmYNCQuestion>([&](TfmYNCQuestion* q) {
      question = q->txt;
      (q->*c.answer)();
    });
    menu->btCancelClick();
    EXPECT_EQ(question, QStringLiteral("Сохранить изменения?"));
    EXPECT_EQ(menu->isVisible(), !c.closed);
    EXPECT_EQ(ini().contains(QStringLiteral("BringToFront=True")), c.saved);
    menu->data_changed = false;
  }

  // Without changes the menu closes without a question.
  auto menu = openMenu();
  menu->btCancelClick();
  EXPECT_FALSE(menu->isVisible());
  EXPECT_EQ(menu->result(), 2);
}

// The exit with unsaved changes asks the save question too. Отмена there
// keeps the menu open and calls the exit off: the next close, by OK or by
// Отмена, must not end the program.
TEST_F(ServiceMenu, TheExitFollowsTheAnswerToTheSaveQuestion) {
  const struct {
    const char* name;
    void (TfmYNCQuestion::*answer)();
    bool exits;
    void (TfmSettings::*thenClose)();
  } cases[] = {
      {"yes", &TfmYNCQuestion::btYesClick, true, nullptr},
      {"no", &TfmYNCQuestion::btNoClick, true, nullptr},
      {"cancel, then OK", &TfmYNCQuestion::btCancelClick, false, &TfmSettings::btOKClick},
      {"cancel, then Отмена", &TfmYNCQuestion::btCancelClick, false, &TfmSettings::btCancelClick}};
  writeText(ss, SettingsKeys::port, QStringLiteral("3"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto menu = openMenu();
    menu->edBringToFront->setChecked(!menu->edBringToFront->isChecked());
    whenShown<TfmYNCQuestion>([&](TfmYNCQuestion* q) { (q->*c.answer)(); });
    menu->btCloseApplicationMouseDown();
    EXPECT_EQ(menu->isVisible(), !c.exits);
    EXPECT_EQ(menu->close_application, c.exits);
    if (!c.thenClose) continue;
    // OK saves the changes; Отмена asks again, and this time they go.
    if (c.thenClose == &TfmSettings::btCancelClick)
      whenShown<TfmYNCQuestion>([](TfmYNCQuestion* q) { q->btNoClick(); });
    ((*menu).*c.thenClose)();
    EXPECT_FALSE(menu->isVisible());
    EXPECT_FALSE(menu->close_application);
  }
}

TEST_F(ServiceMenu, StoredValuesThatFitNoControlStillOpenTheMenu) {
  writeText(ss, SettingsKeys::pos_terminal_location, QStringLiteral("сбоку"));
  writeText(ss, SettingsKeys::password, QStringLiteral("not hex"));
  writeText(ss, SettingsKeys::port, QStringLiteral("4"));
  auto menu = openMenu();
  EXPECT_EQ(menu->edPosTerminalLocation->currentIndex(), -1);
  EXPECT_TRUE(menu->edPassword->text().isEmpty());
  menu->edLogin->setText(QStringLiteral("x"));
  menu->btOKClick();
  EXPECT_TRUE(ini().contains(QStringLiteral("pos_terminal_location=\r\n")) ||
              !ini().contains(QStringLiteral("pos_terminal_location")))
      << "no choice stores empty text";
  EXPECT_EQ(readText(ss, SettingsKeys::pos_terminal_location), QString());
}

TEST_F(ServiceMenu, ReloadAsksOnlyWhenTheConnectionFieldsChanged) {
  writeText(ss, SettingsKeys::port, QStringLiteral("5"));
  writeText(ss, SettingsKeys::login, QStringLiteral("a"));
  auto menu = openMenu();
  QStringList messages;
  const auto answerInfo = [&] {
    whenShown<TfmYNCQuestion>([&](TfmYNCQuestion* q) {
      messages << q->txt;
      q->btYesClick();
    });
  };
  answerInfo();
  menu->btRefreshConfigMouseDown();
  EXPECT_EQ(refreshes, 1);
  EXPECT_EQ(messages, QStringList{QStringLiteral("Конфигурация обновлена.")});

  // A changed login is saved first, after the confirmation.
  messages.clear();
  menu->edLogin->setText(QStringLiteral("b"));
  whenShown<TfmYNCQuestion>([&](TfmYNCQuestion* q) {
    messages << q->txt;
    answerInfo();
    q->btYesClick();
  });
  menu->btRefreshConfigMouseDown();
  EXPECT_EQ(refreshes, 2);
  EXPECT_EQ(messages, (QStringList{QStringLiteral("Изменения будут сохранены."),
                                   QStringLiteral("Конфигурация обновлена.")}));
  EXPECT_TRUE(ini().contains(QStringLiteral("login=b\r\n")));

  // Declined: nothing is reloaded or saved.
  menu->edLogin->setText(QStringLiteral("c"));
  whenShown<TfmYNCQuestion>([](TfmYNCQuestion* q) { q->btCancelClick(); });
  menu->btRefreshConfigMouseDown();
  EXPECT_EQ(refreshes, 2);
  EXPECT_EQ(readText(ss, SettingsKeys::login), QStringLiteral("b"));
  menu->data_changed = false;
}

TEST_F(ServiceMenu, AuditButtonsAndTheProgramsEnd) {
  auto menu = openMenu();
  QStringList messages;
  whenShown<TfmYNCQuestion>([&](TfmYNCQuestion* q) {
    messages << q->txt;
    q->btYesClick();
  });
  menu->btAuditMouseDown();
  whenShown<TfmYNCQuestion>([&](TfmYNCQuestion* q) {
    messages << q->txt;
    q->btYesClick();
  });
  menu->btLoadingMouseDown();
  EXPECT_EQ(audits, (std::vector<int>{2, 5}));
  EXPECT_EQ(messages.size(), 2);
  EXPECT_EQ(messages.value(0), QStringLiteral("Аудит выполнен."));
  EXPECT_EQ(messages.value(1), QStringLiteral("Аудит при загрузке выполнен."));

  menu->btCloseApplicationMouseDown();
  EXPECT_TRUE(menu->close_application);
  EXPECT_FALSE(menu->isVisible());
}

TEST_F(ServiceMenu, OperatorFormNeedsItsProgramAndAWorkingLogin) {
  // Without the operator client nothing opens.
  auto menu = openMenu();
  try {
    menu->btOperatorFormClick();
    ADD_FAILURE() << "opened";
  } catch (const std::exception& e) {
    EXPECT_EQ(exceptionMessage(e), QStringLiteral("Файл \"") +
                                       dir.filePath(QStringLiteral("bin/kelto")) +
                                       QStringLiteral("\" не найден."));
  }

  sim::BackofficeSim office(dir.filePath(QStringLiteral("office.db")));
  office.start();
  client.setHost(QStringLiteral("127.0.0.1"));
  client.setPort(office.port());
  client.setServerType(QStringLiteral("DR"));
  writeText(ss, SettingsKeys::kelto_login, QStringLiteral("demo"));

  TOperatorFormContext octx{&ss, &client, 17, dir.filePath(QStringLiteral("bin/kelto")),
                            ctx.makeAudit};
  TfmRunOperatorForm form(octx);
  EXPECT_EQ(form.edLogin->text(), QStringLiteral("demo"));
  EXPECT_TRUE(form.edAudit->isChecked()) << "the audit is made by default";
  form.edPassword->setText(QStringLiteral("wrong"));
  EXPECT_ANY_THROW(form.btOKClick());
  EXPECT_TRUE(hooks.starts.empty());
  EXPECT_TRUE(audits.empty());

  form.edPassword->setText(QStringLiteral("demo"));
  form.edAudit->setChecked(false);
  form.btOKClick();
  EXPECT_EQ(form.result(), QDialog::Accepted);
  ASSERT_EQ(hooks.starts.size(), 1u);
  EXPECT_EQ(hooks.starts[0].program, dir.filePath(QStringLiteral("bin/kelto")));
  EXPECT_EQ(hooks.starts[0].arguments,
            (QStringList{QStringLiteral("demo"), QStringLiteral("demo"),
                         QStringLiteral("127.0.0.1"), QString::number(office.port()),
                         QStringLiteral("newOperatorForm"), QStringLiteral("17")}));
  EXPECT_TRUE(audits.empty()) << "unticked: no audit";
  EXPECT_EQ(readText(ss, SettingsKeys::kelto_login), QStringLiteral("demo"));
  EXPECT_FALSE(readBool(ss, SettingsKeys::kelto_make_audit));
  EXPECT_FALSE(QFile::exists(ss.IniFileName)) << "kept in memory until the next save";
  EXPECT_TRUE(client.login().isEmpty()) << "the main client keeps its own login";

  office.stop();
}
