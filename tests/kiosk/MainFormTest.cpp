// The main form in-process: what it reads from the settings at start, what
// it writes at close, the local log and the error display.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <thread>
#include <vector>

#include "backoffice/JClient.h"
#include "kiosk/Common.h"
#include "kiosk/DialogsAndMessages.h"
#include "kiosk/EventSink.h"
#include "kiosk/Main.h"
#include "kiosk/TouchButton.h"
#include "platform/Clock.h"
#include "platform/Common.h"
#include "platform/SingleInstance.h"
#include "platform/TextCodec.h"
#include "support/SilentServer.h"
#include "support/WaitUntil.h"
#include "testbed/ProtocolServer.h"
#include "tests/support/KioskHooksStub.h"
#include "tests/support/WhenShown.h"

namespace {

// A data folder and a runtime folder (for the one-copy lock) of the test's own.
class KioskFolders {
 public:
  KioskFolders() {
    qputenv("VEKTA_DATA_DIR", data.path().toUtf8());
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
  }
  ~KioskFolders() { qunsetenv("VEKTA_DATA_DIR"); }
  QString file(const QString& name) const { return data.filePath(name); }
  void write(const QString& name, const QByteArray& bytes) const {
    QFile f(file(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }
  QByteArray read(const QString& name) const {
    QFile f(file(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  QTemporaryDir data;
  QTemporaryDir runtime;
  testkit::StubKioskHooks hooks;
};

QByteArray ini(const QString& lines) {
  return plat::toAnsi(QStringLiteral("[Global]\r\n") + lines + QStringLiteral("\r\n"));
}

const QRegularExpression kLogLine(
    QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d\\t[^\\r\\n]*$"));

}  // namespace

TEST(MainForm, ServicePasswordAndTimesFromTheSettings) {
  const struct {
    const char* name;
    QString lines;
    QString password;
    QDateTime audit;
  } cases[] = {
      {"no file", QString(), QStringLiteral("5817"), QDateTime()},
      {"empty password", QStringLiteral("service_password=\r\nhost=x"), QStringLiteral("5817"),
       QDateTime()},
      {"not hexadecimal", QStringLiteral("service_password=XYZ"), QStringLiteral("5817"),
       QDateTime()},
      {"stored", QStringLiteral("service_password=") + encodeStoredPassword(QStringLiteral("2468")),
       QStringLiteral("2468"), QDateTime()},
      {"audit time", QStringLiteral("last_audit_dt=05.03.2024 10:20:30"), QStringLiteral("5817"),
       QDateTime(QDate(2024, 3, 5), QTime(10, 20, 30))},
      {"unreadable audit time", QStringLiteral("last_audit_dt=вчера"), QStringLiteral("5817"),
       QDateTime()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KioskFolders folders;
    if (!c.lines.isNull()) folders.write(QStringLiteral("vekta.ini"), ini(c.lines));
    TfmMain form;
    ASSERT_FALSE(form.terminateRequested());
    form.show();
    EXPECT_EQ(form.SERVICE_PASSWORD, c.password);
    EXPECT_EQ(form.last_audit_dt, c.audit);
    EXPECT_TRUE(form.check_password_on_exit);
    EXPECT_TRUE(form.tmConfig->isActive());
    EXPECT_TRUE(form.lbVersion->text().startsWith(QStringLiteral("Version ")));
  }
}

TEST(MainForm, UnreadableSettingsFallBackToTheBackupWhole) {
  const struct {
    const char* name;
    QByteArray main;     // null: no file
    QByteArray backup;   // null: no file
    const char* serial;  // what the kiosk runs with and saves at close
  } cases[] = {
      {"missing main file", QByteArray(), ini(QStringLiteral("serialNumber=B1")), "B1"},
      {"empty main file", QByteArray(""), ini(QStringLiteral("serialNumber=B2")), "B2"},
      {"main file without sections", QByteArray("serialNumber=M\r\n"),
       ini(QStringLiteral("serialNumber=B3")), "B3"},
      {"readable main file", ini(QStringLiteral("serialNumber=M4")),
       ini(QStringLiteral("serialNumber=B4")), "M4"},
      // Nothing to take whole: what was read before the bad line stays.
      {"bad section line, no backup", ini(QStringLiteral("serialNumber=M5\r\n[ ]\r\nhost=x")),
       QByteArray(), "M5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KioskFolders folders;
    if (!c.main.isNull()) folders.write(QStringLiteral("vekta.ini"), c.main);
    if (!c.backup.isNull()) folders.write(QStringLiteral("vekta.ini~"), c.backup);
    {
      TfmMain form;
      form.show();
      EXPECT_EQ(form.globalText(QStringLiteral("serialNumber")), QLatin1String(c.serial));
      form.last_audit_dt = QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5));
      form.check_password_on_exit = false;  // closing by hand would ask the password
      form.close();
    }
    for (const QString& name : {QStringLiteral("vekta.ini"), QStringLiteral("vekta.ini~")}) {
      SCOPED_TRACE(name.toStdString());
      const QString saved = plat::fromAnsi(folders.read(name));
      EXPECT_TRUE(saved.contains(QStringLiteral("serialNumber=") + QLatin1String(c.serial)));
      EXPECT_TRUE(saved.contains(QStringLiteral("sber_com_port=-1\r\n")));
      EXPECT_TRUE(saved.contains(QStringLiteral("last_audit_dt=02.01.2024 03:04:05\r\n")));
    }
  }
}

// The local log is for people on this system: UTF-8 and LF, as less, grep
// and journalctl expect, one entry per line whatever the message holds.
TEST(MainForm, LocalLogFromManyThreadsInUtf8WithLf) {
  KioskFolders folders;
  TfmMain form;
  form.log(QStringLiteral("до показа формы"));  // nowhere to write yet: dropped
  form.show();
  constexpr int kThreads = 4, kLines = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&form, t] {
      for (int i = 0; i < kLines; ++i)
        form.log(
            QStringLiteral("поток %1 строка %2\r\nпродолжение 170,10 ₽")
                .arg(t)
                .arg(i));
    });
  for (auto& th : threads) th.join();

  const QByteArray bytes = folders.read(QStringLiteral("vekta.log"));
  ASSERT_TRUE(bytes.endsWith("\n"));
  EXPECT_FALSE(bytes.contains('\r'));
  const QString text = QString::fromUtf8(bytes);
  EXPECT_EQ(text.toUtf8(), bytes);  // valid UTF-8 throughout
  const QStringList lines = text.chopped(1).split(QLatin1Char('\n'));
  int mine = 0;
  for (const QString& line : lines) {
    EXPECT_TRUE(kLogLine.match(line).hasMatch()) << line.toStdString();
    if (line.contains(QStringLiteral("поток"))) {
      ++mine;
      EXPECT_TRUE(line.endsWith(QStringLiteral(" продолжение 170,10 ₽")));
    }
  }
  EXPECT_EQ(mine, kThreads * kLines);
  EXPECT_FALSE(text.contains(QStringLiteral("до показа")));
}

// The kiosk ends while the event log's worker is in an exchange with a
// server that accepts and drops the connection 1.5 s later. The failure the
// worker then logs must land in a live log, not in a form already torn down
// (under ASan the old order showed as a heap-use-after-free).
TEST(MainForm, ExitWithAnExchangeInFlightEndsTheWorkerBeforeTheLogGoes) {
  KioskFolders folders;
  testkit::SilentServer server(1500);
  {
    auto form = std::make_unique<TfmMain>();
    form->show();
    form->tmConfig->stop();
    form->JClient->setHost(QStringLiteral("127.0.0.1"));
    form->JClient->setPort(server.port());
    form->JClient->setLogin(QStringLiteral("kiosk"));
    form->vm_id = 5;
    form->terminal_id = 9;
    form->eventLog->start();
    ASSERT_TRUE(
        testkit::waitUntil([&] { return server.accepted() >= 1; }, std::chrono::seconds(20)));
    // The pass has copied the ids; without a terminal id the close marks
    // nothing on the server, so only the worker's exchange is in flight.
    form->terminal_id = 0;
    form->check_password_on_exit = false;
    form->close();
    form.reset();
  }
  const QString log = QString::fromUtf8(folders.read(QStringLiteral("vekta.log")));
  EXPECT_TRUE(log.contains(QStringLiteral("\tTLogThread: "))) << log.toStdString();
}

// A copy started by an update waits for the one-copy lock: it is free as
// soon as the close is done, not only once the form has been destroyed. From
// then on the new copy numbers the events in the data folder: a worker's
// event through the form's gate no longer reaches this copy's queue.
TEST(MainForm, TheOneCopyLockIsFreeWhenTheCloseIsDone) {
  struct Sink : IEventSink {
    std::vector<std::pair<int, QString>> events;
    void add(int id, const QString& descr) override { events.emplace_back(id, descr); }
  } sink;
  KioskFolders folders;
  TfmMain form;
  ASSERT_FALSE(form.terminateRequested());
  form.show();
  form.tmConfig->stop();
  form.logThread = &sink;
  const std::shared_ptr<IEventSink> gate = form.eventGate();
  ASSERT_TRUE(gate);
  gate->add(1, QStringLiteral("До закрытия"));
  plat::SingleInstanceLock successor(QLatin1String(TfmMain::kInstanceName));
  EXPECT_FALSE(successor.tryLock());
  form.check_password_on_exit = false;
  form.close();
  EXPECT_TRUE(successor.tryLock());
  gate->add(1, QStringLiteral("После закрытия"));
  EXPECT_EQ(sink.events, (std::vector<std::pair<int, QString>>{{1, QStringLiteral("До закрытия")},
                                                               {33, QString()}}));
}

// At the close the back office is told the terminal is offline. Its column
// is a small integer, and the value goes as one: the server reads the type
// code it is sent.
TEST(MainForm, TheCloseMarksTheTerminalOfflineWithASmallIntegerZero) {
  KioskFolders folders;
  ProtocolServer server;
  server.setRequestHandler(
      [](const ServerRequest&, ServerReply& rep) { rep.results = {WireValue(1)}; });
  server.start();
  {
    TfmMain form;
    form.show();
    form.tmConfig->stop();
    form.JClient->setHost(QStringLiteral("127.0.0.1"));
    form.JClient->setPort(server.port());
    form.JClient->setLogin(QStringLiteral("kiosk"));
    form.JClient->setShowProgress(false);
    form.terminal_id = 9;
    form.check_password_on_exit = false;
    form.close();
  }
  server.stop();
  // Each field as name, type code and value.
  std::vector<QStringList> marks;
  for (const ServerRequest& r : server.requests()) {
    if (r.code != 7 || r.params.size() != 7 || r.params[0].toStringNullEmpty() != "tbTerminal")
      continue;
    QStringList fields;
    for (int i = 1; i + 2 < 7; i += 3)
      fields << QStringLiteral("%1 %2 %3")
                    .arg(r.params[i].toStringNullEmpty())
                    .arg(r.params[i + 1].toInt())
                    .arg(r.params[i + 2].toInt());
    marks.push_back(fields);
  }
  ASSERT_EQ(marks.size(), 1u);
  EXPECT_EQ(marks[0].join(", ").toStdString(), "id 4 9, isConnected 5 0");
}

// The one-copy guard cannot be made in the runtime folder (a folder stands in
// the lock file's place, which root cannot open as a file either). That is no
// other copy: the guard goes into the data folder and the kiosk starts, or,
// where that cannot hold it either, the kiosk ends saying why.
TEST(MainForm, AGuardThatCannotBeMadeIsNoOtherCopy) {
  const struct {
    const char* name;
    bool dataFolderUsable;
  } cases[] = {
      {"the data folder holds it", true},
      {"no folder holds it", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KioskFolders folders;
    const QString blocked = folders.runtime.filePath(QStringLiteral("54646dfgbdbsLL5.lock"));
    ASSERT_TRUE(QDir().mkdir(blocked));
    const QString dataFile = folders.file(QStringLiteral("not-a-folder"));
    if (!c.dataFolderUsable) {
      folders.write(QStringLiteral("not-a-folder"), "x");
      qputenv("VEKTA_DATA_DIR", dataFile.toUtf8());
    }
    QString shown;
    testkit::whenShown<TfmYNCQuestion>([&](TfmYNCQuestion* q) {
      shown = q->txt;
      q->btYesClick();
    });
    TfmMain form;
    EXPECT_NE(shown, QStringLiteral("Программа уже запущена."));
    EXPECT_TRUE(shown.contains(blocked)) << shown.toStdString();
    EXPECT_EQ(form.terminateRequested(), !c.dataFolderUsable);
    if (!c.dataFolderUsable) continue;
    const QString log = QString::fromUtf8(folders.read(QStringLiteral("vekta.log")));
    EXPECT_TRUE(log.contains(blocked)) << log.toStdString();
    plat::SingleInstanceLock second(QLatin1String(TfmMain::kInstanceName), folders.data.path());
    EXPECT_FALSE(second.tryLock()) << "a second copy started alike finds this one";
  }
}

// The data folder holds the settings with the back office's password: one
// the kiosk makes is its own alone.
TEST(MainForm, ADataFolderTheKioskMakesIsItsOwnAlone) {
  const auto mode = [](const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
  };
  KioskFolders folders;
  const QString made = folders.file(QStringLiteral("lib/vekta"));
  qputenv("VEKTA_DATA_DIR", made.toUtf8());
  {
    TfmMain form;
    form.show();
    EXPECT_EQ(mode(made), 0700);
    form.check_password_on_exit = false;
    form.close();
  }
  EXPECT_EQ(mode(made + QStringLiteral("/vekta.ini")), 0600);
  EXPECT_EQ(mode(made + QStringLiteral("/vekta.ini~")), 0600);
}

TEST(MainForm, ErrorReplacesTheLogoUntilShowLogo) {
  KioskFolders folders;
  folders.write(QStringLiteral("vekta.ini"), ini(QStringLiteral("serialNumber=42")));
  TfmMain form;
  form.resize(ScreenSize().toSize());
  form.show();
  EXPECT_FALSE(form.lbErr->isVisible());
  EXPECT_TRUE(form.imLogo->isVisible());

  form.showError(QStringLiteral("Нет связи с сервером.\r\nПопробуйте позже."));
  EXPECT_TRUE(form.lbErr->isVisible());
  for (QWidget* w : std::initializer_list<QWidget*>{form.lb1, form.lb2, form.lbVersion, form.pnLine,
                                                    form.imLogo, form.pnLogoBackground})
    EXPECT_FALSE(w->isVisible()) << w->objectName().toStdString();
  const QSizeF screen = ScreenSize();
  EXPECT_LE(MeasureTextWidth(form.lbErr), screen.width() * 2 / 3);
  EXPECT_NEAR(form.lbErr->x() + form.lbErr->width() / 2.0, screen.width() / 2, 1);
  EXPECT_NEAR(form.lbErr->y() + form.lbErr->height() / 2.0, screen.height() / 2, 1);
  EXPECT_TRUE(form.pnSerialNumber->isVisible());
  EXPECT_EQ(form.lbSerialNumber->text(), QStringLiteral("Люмекат № 42"));

  form.showLogo();
  EXPECT_FALSE(form.lbErr->isVisible());
  EXPECT_TRUE(form.imLogo->isVisible());
  EXPECT_EQ(form.last_shown_error, QStringLiteral("Нет связи с сервером.\r\nПопробуйте позже."));
}

TEST(MainForm, UnhandledErrorIsShownForFiveSecondsQueuedAndLogged) {
  struct Sink : IEventSink {
    std::vector<std::pair<int, QString>> events;
    void add(int id, const QString& descr) override { events.emplace_back(id, descr); }
  } sink;
  plat::ManualClock clock;
  plat::setClock(&clock);
  KioskFolders folders;
  {
    TfmMain form;
    form.show();
    form.tmConfig
        ->stop();  // no server in the settings: the tick would ask for the service password
    form.logThread = &sink;
    QString shown;
    int timeout = 0;
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [&, poll] {
      auto* d = qobject_cast<TfmYNCQuestion*>(QApplication::activeModalWidget());
      if (!d || !d->isVisible()) return;
      poll->stop();
      poll->deleteLater();
      shown = d->lbText->text();
      timeout = d->closing_timeout;
      clock.advance(5000);  // the dialog closes itself at its next tick
    });
    poll->start();
    form.onApplicationException(QStringLiteral("Нет бумаги"));
    EXPECT_EQ(shown, QStringLiteral("Нет бумаги"));
    EXPECT_EQ(timeout, 5);
    form.logThread = nullptr;
  }
  plat::setClock(nullptr);
  ASSERT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(sink.events[0], std::make_pair(1, QStringLiteral("Нет бумаги")));
  EXPECT_TRUE(QString::fromUtf8(folders.read(QStringLiteral("vekta.log")))
                  .contains(QStringLiteral("\tОшибка: Нет бумаги\n")));
}
