// Discovery of the vending machine's payment module against the simulated
// module: the saved port first, every port when it does not answer, and the
// worker searching only while the main form wants a module.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "devices/PaymentModule.h"
#include "kiosk/DevicesDiscovery.h"
#include "platform/Clock.h"
#include "testbed/PaymentModuleSim.h"
#include "tests/support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

using testkit::waitUntil;

struct Events {
  std::mutex mu;
  QStringList texts;
  TPaymentModule::EventFn fn() {
    return [this](int, const QString& text) {
      std::lock_guard lock(mu);
      texts << text;
    };
  }
  QStringList all() {
    std::lock_guard lock(mu);
    return texts;
  }
};

// COM1 silent, the module on COM2, COM3 silent.
class PaymentModuleDiscovery : public ::testing::Test {
 protected:
  void SetUp() override { qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit()); }
  void TearDown() override { qunsetenv("VEKTA_PORTS_DIR"); }

  QTemporaryDir dir;
  SimPort com1{dir.path(), 1};
  PaymentModuleSim sim{dir.path(), 2, "SN-42"};
  SimPort com3{dir.path(), 3};
  Events events;
  TPaymentModule module{events.fn()};
  std::atomic<bool> stop{false};
};

TEST_F(PaymentModuleDiscovery, TheSavedPortIsTakenWithoutAScan) {
  EXPECT_TRUE(discoverPaymentModule(module, 2, stop));
  EXPECT_EQ(module.comPort(), 2);
  EXPECT_EQ(module.serialNumber(), "SN-42");
  EXPECT_TRUE(events.all().isEmpty());  // no other port was tried
  // A module that has its port is not searched again.
  sim.clearReceived();
  EXPECT_TRUE(discoverPaymentModule(module, 2, stop));
  EXPECT_TRUE(sim.requests().isEmpty());
}

TEST_F(PaymentModuleDiscovery, ASilentSavedPortLeadsToEveryPort) {
  EXPECT_TRUE(discoverPaymentModule(module, 3, stop));
  EXPECT_EQ(module.comPort(), 2);
  // The scan reached the module after the silent first port.
  EXPECT_EQ(events.all(), QStringList{"findComPort. Port: 1. Error: Timeout during operation."});
}

TEST_F(PaymentModuleDiscovery, NoModuleLeavesTheModuleWithoutAPort) {
  sim.setSilent(true);
  EXPECT_FALSE(discoverPaymentModule(module, 2, stop));
  EXPECT_EQ(module.comPort(), -1);
  EXPECT_FALSE(module.isOpen());
  EXPECT_EQ(events.all().size(), 3);
}

// Discovery searches every 100 ms while no module answers: a port's failure
// is reported once, and again only when its text changes or an hour later.
TEST(PaymentModulePortFailures, ReportedOnceUntilTheTextChangesOrAnHourPassed) {
  QTemporaryDir dir;
  qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
  plat::ManualClock clock;
  plat::setClock(&clock);
  const QString link = dir.filePath(QStringLiteral("COM4"));
  const QString notFound = QStringLiteral("findComPort. Port: 4. Error: COM port not found.");
  ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("gone")), link));  // unplugged
  Events events;
  TPaymentModule module{events.fn()};
  std::atomic<bool> stop{false};

  const struct {
    const char* name;
    int64_t advanceMs;
    bool replug;  // COM4 now leads to something that is not a serial port
    QStringList reported;
  } passes[] = {
      {"first failure", 0, false, {notFound}},
      {"the same failure", 100, false, {}},
      {"just under an hour later", TPaymentModule::kPortFailureRepeatMs - 200, false, {}},
      {"an hour after the report", 100, false, {notFound}},
      {"another failure",
       100,
       true,
       {QStringLiteral("findComPort. Port: 4. Error: Can not read COM-port state.")}},
      {"that failure again", 100, false, {}},
  };
  for (const auto& p : passes) {
    SCOPED_TRACE(p.name);
    clock.advance(p.advanceMs);
    if (p.replug) {
      QFile::remove(link);
      QFile file(dir.filePath(QStringLiteral("file")));
      ASSERT_TRUE(file.open(QIODevice::WriteOnly));
      ASSERT_TRUE(QFile::link(file.fileName(), link));
    }
    const int before = events.all().size();
    EXPECT_FALSE(discoverPaymentModule(module, 0, stop));
    EXPECT_EQ(events.all().mid(before).join(u'\n').toStdString(),
              p.reported.join(u'\n').toStdString());
  }
  plat::setClock(nullptr);
  qunsetenv("VEKTA_PORTS_DIR");
}

TEST_F(PaymentModuleDiscovery, TheWorkerSearchesOnlyWhileTheModuleIsWanted) {
  TPosProbes none;
  none.comPortList = [] { return QList<int>(); };
  std::atomic<bool> wanted{false};
  std::atomic<int> asked{0};
  int foundPort = 0;
  bool foundOnMain = false;
  {
    TDevicesDiscoveryThread thread(none, nullptr);
    thread.paymentModule = &module;
    thread.payment_module_com_port = 2;
    thread.paymentModuleWanted = [&] {
      ++asked;
      return wanted.load();
    };
    thread.onPaymentModuleFound = [&](int port) {
      foundPort = port;
      foundOnMain = QThread::currentThread() == QCoreApplication::instance()->thread();
    };
    thread.start();
    waitUntil([] { return false; }, 400ms);
    EXPECT_TRUE(sim.requests().isEmpty());
    // Passes of an idle worker leave the main thread alone: the question is
    // asked on the first pass and then only after a configuration change.
    EXPECT_EQ(asked, 1);

    wanted = true;
    thread.configurationChanged();
    EXPECT_TRUE(waitUntil([&] { return foundPort != 0; }, 5s));
    thread.stop();
  }
  EXPECT_EQ(foundPort, 2);
  EXPECT_TRUE(foundOnMain);
  // Found once: the worker stops asking once the module has its port.
  EXPECT_EQ(sim.requests().size(), 1);
}

}  // namespace
