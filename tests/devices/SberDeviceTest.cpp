// The kiosk's bridge driver: its reading of the bridge's lines (with a fake
// runner), and whole runs of the real bridge against the stand-in library.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <optional>
#include <thread>

#include "../bridge/StubSberFolder.h"
#include "bridge/SberErrors.h"
#include "devices/SberDevice.h"
#include "platform/Exception.h"

namespace {

const QString kNoAnswer = QStringLiteral("Нет ответа от программы связи с банковским терминалом.");

// A runner that prints the given text and remembers how it was called.
struct FakeRunner {
  explicit FakeRunner(const QString& text) : output(text) {}

  QString output;
  QStringList argv;
  QString folder;

  plat::ConsoleCommandRunner runner() {
    return [this](const QStringList& a, const std::atomic<bool>&, const QString& f) {
      argv = a;
      folder = f;
      return output;
    };
  }
};

// The message the operation raised, or nullopt when it succeeded.
template <typename F>
std::optional<QString> failure(F&& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.message();
  }
  return std::nullopt;
}

QString tableText(int code) {
  return QString::fromStdString(PilotErrorText(code));
}

TEST(SberDevice, PayJudgesTheBridgeOutput) {
  const struct {
    const char* output;
    std::optional<QString> error;
  } cases[] = {
      {"ok\r\nlast_error=0\r\nlast_error_msg=\r\nrcode=00\r\n", std::nullopt},
      {"ok\r\nlast_error=0\r\nrcode=0\r\n", std::nullopt},
      // The bank declined although the library returned 0.
      {"ok\r\nlast_error=0\r\nrcode=05\r\n", "Ошибка 05."},
      {"ok\r\nlast_error=0\r\n", "Ошибка ."},
      // The table's text wins over the library's message, which wins over the code.
      {"ok\r\nlast_error=2000\r\nlast_error_msg=Отмена\r\nrcode=00\r\n", tableText(2000)},
      {"ok\r\nlast_error=777\r\nlast_error_msg=Отказ банка\r\n", "Отказ банка"},
      {"ok\r\nlast_error=777\r\nlast_error_msg=\r\n", "Ошибка 777"},
      {"ok\r\nlast_error=x1\r\n", "Ошибка x1"},
      // "last_error_msg=" must not be read as the "last_error" value.
      {"ok\r\nlast_error_msg=0\r\nlast_error=4134\r\n", tableText(4134)},
      {"ok\nlast_error=0\nrcode=00\n", std::nullopt},
      {"err\r\nTPinpadException: Не могу загрузить libpilot_nt.so\r\n",
       "TPinpadException: Не могу загрузить libpilot_nt.so"},
      {"Segmentation fault\n", "Unknown result (Segmentation fault)."},
      // A bridge that died or never started.
      {"", kNoAnswer},
      {"err\r\n", kNoAnswer},
      {"err\r\n\r\n", kNoAnswer},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    FakeRunner fake(QString::fromUtf8(c.output));
    TSberDevice sber("/opt/kiosk/sber", fake.runner());
    std::atomic<bool> stop{false};
    EXPECT_EQ(failure([&] { sber.pay(123.45, stop); }), c.error);
  }
}

TEST(SberDevice, CommandLinesNameTheBridgeAndWholeKopecks) {
  FakeRunner fake("ok\r\nlast_error=0\r\nrcode=00\r\nresult=true\r\n");
  TSberDevice sber("/opt/kiosk/sber", fake.runner());
  std::atomic<bool> stop{false};
  const QString bridge = "/opt/kiosk/sber/vekta_sber";

  const struct {
    double amount;
    const char* kopecks;
  } amounts[] = {{123.45, "12345"}, {0.29, "29"}, {1, "100"}, {0.125, "12"}, {0.375, "38"}};
  for (const auto& a : amounts) {
    sber.pay(a.amount, stop);
    EXPECT_EQ(fake.argv, (QStringList{bridge, "pay", a.kopecks})) << a.amount;
  }
  EXPECT_EQ(fake.folder, "/opt/kiosk/sber");
  sber.revise_totals();
  EXPECT_EQ(fake.argv, (QStringList{bridge, "revise_totals"}));
  sber.rollBackTrx();
  EXPECT_EQ(fake.argv, (QStringList{bridge, "cancel_last_payment"}));
  EXPECT_TRUE(sber.testPinPad());
  EXPECT_EQ(fake.argv, (QStringList{bridge, "test_pin_pad"}));
}

TEST(SberDevice, TestPinPadAnswersTheResultLine) {
  const struct {
    const char* output;
    bool result;
  } cases[] = {
      {"ok\r\nlast_error=0\r\nresult=true\r\n", true},
      {"ok\r\nlast_error=0\r\nresult=false\r\n", false},
      {"ok\r\nlast_error=0\r\n", false},
      {"ok\r\nlast_error=0\r\nresult=TRUE\r\n", false},
  };
  for (const auto& c : cases) {
    FakeRunner fake(c.output);
    TSberDevice sber("/x", fake.runner());
    EXPECT_EQ(sber.testPinPad(), c.result) << c.output;
  }
  FakeRunner fake("ok\r\nlast_error=99\r\nresult=false\r\n");
  TSberDevice sber("/x", fake.runner());
  EXPECT_EQ(failure([&] { sber.testPinPad(); }), tableText(99));
}

TEST(SberDevice, FilesBesideTheBridge) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  TSberDevice sber(dir.path());

  sber.createIniFile(17);
  sber.createIniFile(3);  // replaces the earlier file whole
  QFile ini(dir.filePath("pinpad.ini"));
  ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
  EXPECT_EQ(ini.readAll(), "ComPort=3\r\nSpeed=115200\r\nShowScreens=0\r\nNewProtocol=1\r\n");

  QFile stale(dir.filePath("abort_operation"));
  ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
  stale.write("stale");
  stale.close();
  sber.abort_operation();
  EXPECT_EQ(sber.abort_operation_file, dir.filePath("abort_operation"));
  EXPECT_EQ(QFileInfo(sber.abort_operation_file).size(), 0);

  // A folder that cannot exist: below a plain file.
  TSberDevice nowhere(dir.filePath("pinpad.ini") + "/sber");
  EXPECT_THROW(nowhere.createIniFile(3), Exception);
  EXPECT_THROW(nowhere.abort_operation(), Exception);
}

// With the real bridge and the stand-in library in a private folder.
class SberDeviceBridge : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(folder.ok()); }

  // Starts a payment on its own thread, as the card screen's worker does, and
  // waits until the stand-in library is waiting inside it.
  void startSlowPayment() {
    folder.setScenario("delay_ms=60000");
    worker = std::thread([this] { error = failure([this] { sber.pay(5, stop); }); });
    QElapsedTimer t;
    t.start();
    while (!folder.exists("waiting") && t.elapsed() < 30000) QThread::msleep(5);
    ASSERT_TRUE(folder.exists("waiting"));
  }

  void TearDown() override {
    if (worker.joinable()) {
      stop = true;
      worker.join();
    }
  }

  StubSberFolder folder;
  TSberDevice sber{folder.path()};
  std::atomic<bool> stop{false};
  std::thread worker;
  std::optional<QString> error;
};

TEST_F(SberDeviceBridge, PaymentReachesTheLibraryInKopecks) {
  sber.pay(123.45, stop);
  EXPECT_EQ(folder.calls(),
            (QStringList{"_card_authorize11 type=1 amount=12345 ctype=0", "_Done"}));
  EXPECT_EQ(sber.getValue("amount_kop"), "12345");
  EXPECT_TRUE(sber.L.contains("СУММА: 123.45 РУБ.")) << "receipt decoded from windows-1251";
  sber.revise_totals();
  sber.rollBackTrx();
  EXPECT_TRUE(sber.testPinPad());
  EXPECT_EQ(folder.count("_Done"), 4);
}

TEST_F(SberDeviceBridge, RefusalsBecomeTheirMessages) {
  const struct {
    const char* scenario;
    QString error;
  } cases[] = {
      {"rcode=05", "Ошибка 05."},
      {"result=4134", tableText(4134)},
      {"result=777\nmessage=Отказ", "Отказ"},
  };
  for (const auto& c : cases) {
    folder.setScenario(c.scenario);
    EXPECT_EQ(failure([&] { sber.pay(1, stop); }), c.error) << c.scenario;
  }
  folder.setScenario("TestPinpad.result=99");
  EXPECT_EQ(failure([&] { sber.testPinPad(); }), tableText(99));
  folder.removeLibrary();
  EXPECT_EQ(failure([&] { sber.revise_totals(); }),
            "TPinpadException: Не могу загрузить libpilot_nt.so");
}

TEST_F(SberDeviceBridge, AbortMarkerEndsAWaitingPayment) {
  startSlowPayment();
  sber.abort_operation();
  worker.join();
  EXPECT_EQ(error, tableText(2000));
  EXPECT_FALSE(folder.exists("abort_operation")) << "the library took the marker";
}

TEST_F(SberDeviceBridge, StopFlagEndsTheBridge) {
  startSlowPayment();
  stop = true;
  worker.join();
  EXPECT_EQ(error, "Операция прервана.");
}

}  // namespace
