// The totals reconciliation screen against the bridge and the stand-in bank
// library: the outcome's events, the time recorded in the settings file and
// read back as the next start would, and a close refused while it runs.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <thread>

#include "bridge/StubSberFolder.h"
#include "devices/SberDevice.h"
#include "kiosk/EventSink.h"
#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "screens/ReviseTotals.h"

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
  const auto end = Steady::now() + limit;
  while (!pred()) {
    if (Steady::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

struct RecordingSink : IEventSink {
  QStringList texts;
  void add(int event_id, const QString& descr) override {
    texts << QStringLiteral("%1 %2").arg(event_id).arg(descr);
  }
};

class ReviseTotalsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder.ok());
    ASSERT_TRUE(data.isValid());
    record.SS = &SS;
    record.iniFileName = iniFile();
    record.events = &events;
    record.last_revise_totals_dt = &last;
  }

  QString iniFile() const { return data.filePath(QStringLiteral("vekta.ini")); }

  // Shows the screen and waits for it to close by itself; its modal result.
  int run(TfmReviseTotals& form) {
    form.sberPinPad = &sber;
    form.record = record;
    form.log = [this](const QString& text) { logLines << text; };
    form.show();
    EXPECT_TRUE(waitUntil([&] { return !form.isVisible(); }, 60s));
    return form.result();
  }

  StubSberFolder folder;
  TSberDevice sber{folder.path()};
  QTemporaryDir data;
  TSettingsStorage SS;
  RecordingSink events;
  QDateTime last;
  TReviseTotalsRecord record;
  QStringList logLines;
};

}  // namespace

TEST_F(ReviseTotalsTest, ASuccessIsRecordedAndTheNextStartReadsItBack) {
  TfmReviseTotals form;
  const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
  EXPECT_EQ(run(form), 1);
  EXPECT_EQ(events.texts,
            (QStringList{"1 Выполняется сверка итогов", "1 Сверка итогов выполнена"}));
  EXPECT_TRUE(logLines.isEmpty());
  EXPECT_EQ(folder.count(QStringLiteral("_close_day")), 1);
  ASSERT_TRUE(last.isValid());
  EXPECT_GE(last, before);

  // Nothing else in the store: the time alone is written and saved.
  TSettingsStorage next;
  next.LoadFromIniFile(iniFile());
  const QDateTime read = readDateTime(next, SettingsKeys::last_revise_totals_dt);
  ASSERT_TRUE(read.isValid());
  EXPECT_LE(std::abs(read.secsTo(last)), 1);
}

TEST_F(ReviseTotalsTest, AFailureIsReportedAndLeavesTheTimeAlone) {
  const struct {
    const char* name;
    const char* scenario;  // nullptr: no library at all
    QString message;
  } cases[] = {
      {"the library refuses", "close_day.result=99", TSberDevice::getErrorText(99)},
      {"no library", nullptr, QStringLiteral("TPinpadException: Не могу загрузить libpilot_nt.so")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    events.texts.clear();
    logLines.clear();
    if (c.scenario) {
      folder.setScenario(QString::fromUtf8(c.scenario));
    } else {
      folder.removeLibrary();
    }
    ASSERT_FALSE(c.message.isEmpty());
    TfmReviseTotals form;
    EXPECT_EQ(run(form), 2);
    EXPECT_EQ(form.err, c.message);
    EXPECT_EQ(events.texts, (QStringList{"1 Выполняется сверка итогов",
                                         "1 Ошибка сверки итогов (" + c.message + ")"}));
    EXPECT_EQ(logLines, QStringList{"revise_totals " + c.message});
    EXPECT_FALSE(last.isValid());
    EXPECT_FALSE(QFile::exists(iniFile()));
  }
}

TEST_F(ReviseTotalsTest, TheScreenCannotBeClosedWhileTheTerminalWorks) {
  folder.setScenario(QStringLiteral("delay_ms=1500"));
  TfmReviseTotals form;
  form.sberPinPad = &sber;
  form.record = record;
  form.show();
  ASSERT_TRUE(waitUntil([&] { return folder.exists(QStringLiteral("waiting")); }, 30s));
  form.close();
  form.reject();
  QCoreApplication::processEvents();
  EXPECT_TRUE(form.isVisible());
  EXPECT_TRUE(waitUntil([&] { return !form.isVisible(); }, 60s));
  EXPECT_EQ(form.result(), 1);
}

TEST_F(ReviseTotalsTest, AnUnwritableSettingsFileKeepsTheTimeInMemory) {
  // A plain file where the settings folder should be.
  QFile blocker(data.filePath(QStringLiteral("blocked")));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  record.iniFileName = data.filePath(QStringLiteral("blocked/vekta.ini"));
  const QDateTime now = QDateTime::currentDateTime();
  EXPECT_EQ(recordReviseTotals(record, true, QString(), now), 1);
  EXPECT_EQ(last, now);
  ASSERT_EQ(events.texts.size(), 2);
  EXPECT_TRUE(events.texts[0].startsWith("1 Ошибка сохранения INI-файла: ")) << events.texts[0].toStdString();
  EXPECT_EQ(events.texts[1], "1 Сверка итогов выполнена");
  EXPECT_TRUE(readDateTime(SS, SettingsKeys::last_revise_totals_dt).isValid());
}

TEST(ReviseTotalsRetry, AFailedReconciliationWaitsTenMinutesBeforeTheNextTry) {
  TReviseTotalsRetry retry;
  EXPECT_TRUE(retry.allowed(0));
  retry.failed(1000);
  EXPECT_FALSE(retry.allowed(1000 + TReviseTotalsRetry::kRetryPauseMs - 1));
  EXPECT_TRUE(retry.allowed(1000 + TReviseTotalsRetry::kRetryPauseMs));
  retry.failed(5000);
  retry.succeeded();
  EXPECT_TRUE(retry.allowed(5001));
}
