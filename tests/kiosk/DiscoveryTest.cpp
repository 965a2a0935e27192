// Card-terminal discovery: the decisions against fake devices, the worker
// against pseudo-terminals with the simulated Vendotek terminal and the real
// bridge with the stand-in bank library, and the ports the main form saves.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QSet>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#include "bridge/StubSberFolder.h"
#include "devices/SberDevice.h"
#include "devices/Vendotek.h"
#include "kiosk/DevicesDiscovery.h"
#include "kiosk/EventSink.h"
#include "kiosk/Main.h"
#include "platform/ConsoleRunner.h"
#include "platform/SerialPort.h"
#include "platform/TextCodec.h"
#include "testbed/VendotekSim.h"
#include "tests/support/KioskHooksStub.h"
#include "tests/support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

using testkit::waitUntil;

// Devices that exist only as port numbers. The bank library finds the pad
// through pinpad.ini, so the bridge test answers for the port last written
// there. Every call leaves a word in the trace: "v3" greets a Vendotek on
// COM3, "c" closes it, "i3" writes pinpad.ini for COM3, "t" runs a bridge test.
struct FakeDevices {
  QList<int> ports;
  QSet<int> sberAt;
  QSet<int> vendotekAt;
  QSet<int> bridgeFailsAt;  // the bridge run itself fails (no answer, library error)
  bool portListFails = false;
  std::function<void()> onProbe;  // runs inside every device probe
  QStringList trace;
  int iniPort = 0;

  TPosProbes probes() {
    TPosProbes p;
    p.comPortList = [this] {
      if (portListFails) throw Exception(QStringLiteral("no ports folder"));
      return ports;
    };
    p.vendotekConnect = [this](int port) {
      trace << QStringLiteral("v%1").arg(port);
      if (onProbe) onProbe();
      if (!vendotekAt.contains(port)) throw Exception(QStringLiteral("Timeout error."));
    };
    p.vendotekClose = [this] { trace << QStringLiteral("c"); };
    p.sberCreateIniFile = [this](int port) {
      trace << QStringLiteral("i%1").arg(port);
      iniPort = port;
    };
    p.sberTestPinPad = [this] {
      trace << QStringLiteral("t");
      if (onProbe) onProbe();
      if (bridgeFailsAt.contains(iniPort)) throw Exception(QStringLiteral("Пинпад не отвечает."));
      return sberAt.contains(iniPort);
    };
    return p;
  }
};

}  // namespace

TEST(PosDiscovery, SavedPortsThenEveryPortAsPadThenAsVendotek) {
  const struct {
    const char* name;
    QList<int> ports;
    QSet<int> sberAt, vendotekAt, bridgeFailsAt;
    int savedSber, savedVendotek;
    TPOSType type;
    int port;
    const char* trace;  // saved ports, then one scan
    int sberToSave, vendotekToSave;
  } cases[] = {
      {"Vendotek on its saved port: no scan, the saved pad port not even tried",
       {1, 2, 3},
       {2},
       {3},
       {},
       2,
       3,
       ptVendotek,
       3,
       "v3",
       2,
       3},
      {"pad on its saved port after the saved Vendotek port failed",
       {1, 2, 3},
       {2},
       {},
       {},
       2,
       3,
       ptSber,
       2,
       "v3 c i2 t",
       2,
       -1},
      {"nothing saved: each port as a pad, the found one written again",
       {1, 2, 3},
       {2},
       {3},
       {},
       -1,
       -1,
       ptSber,
       2,
       "i1 t i2 t i2",
       2,
       -1},
      {"no pad anywhere: each port as a Vendotek after all pad tests",
       {1, 2, 3},
       {},
       {3},
       {},
       -1,
       0,
       ptVendotek,
       3,
       "i1 t i2 t i3 t v1 c v2 c v3",
       -1,
       3},
      {"a failing bridge run rejects only its port",
       {1, 2},
       {2},
       {},
       {1},
       -1,
       -1,
       ptSber,
       2,
       "i1 t i2 t i2",
       2,
       -1},
      {"failed saved ports are not remembered, nor any scanned port",
       {4, 5},
       {},
       {},
       {5},
       5,
       4,
       ptNone,
       -1,
       "v4 c i5 t i4 t i5 t v4 c v5 c",
       -1,
       -1},
      {"no ports at all", {}, {}, {}, {}, -1, -1, ptNone, -1, "", -1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDevices dev;
    dev.ports = c.ports;
    dev.sberAt = c.sberAt;
    dev.vendotekAt = c.vendotekAt;
    dev.bridgeFailsAt = c.bridgeFailsAt;
    TPosDiscovery d(dev.probes(), c.savedSber, c.savedVendotek);
    std::atomic<bool> stop{false};
    d.trySavedPorts(stop);
    d.scan(stop);
    EXPECT_EQ(dev.trace.join(u' '), QLatin1String(c.trace));
    EXPECT_EQ(d.pos_type(), c.type);
    EXPECT_EQ(d.port(), c.port);
    EXPECT_EQ(d.sberPortToSave(), c.sberToSave);
    EXPECT_EQ(d.vendotekPortToSave(), c.vendotekToSave);

    // Once a terminal is known, further passes leave the devices alone.
    const qsizetype calls = dev.trace.size();
    d.scan(stop);
    if (c.type != ptNone) {
      EXPECT_EQ(dev.trace.size(), calls);
    }
  }
}

TEST(PosDiscovery, AStopOrAnUnreadablePortListEndsThePassQuietly) {
  {
    SCOPED_TRACE("stop during the saved Vendotek greeting");
    FakeDevices dev;
    dev.ports = {1, 2};
    std::atomic<bool> stop{false};
    dev.onProbe = [&] { stop = true; };
    TPosDiscovery d(dev.probes(), 2, 1);
    d.trySavedPorts(stop);
    d.scan(stop);
    // A probe broken off by the close says nothing about the port.
    EXPECT_EQ(dev.trace.join(u' '), QStringLiteral("v1 c"));
    EXPECT_EQ(d.vendotekPortToSave(), 1);
    EXPECT_EQ(d.sberPortToSave(), 2);
  }
  {
    SCOPED_TRACE("stop during a pad test of the scan");
    FakeDevices dev;
    dev.ports = {1, 2, 3};
    std::atomic<bool> stop{false};
    dev.onProbe = [&] { stop = true; };
    TPosDiscovery d(dev.probes(), -1, -1);
    d.scan(stop);
    EXPECT_EQ(dev.trace.join(u' '), QStringLiteral("i1 t"));
    EXPECT_EQ(d.pos_type(), ptNone);
  }
  {
    SCOPED_TRACE("port list unreadable");
    FakeDevices dev;
    dev.portListFails = true;
    TPosDiscovery d(dev.probes(), -1, -1);
    std::atomic<bool> stop{false};
    d.scan(stop);
    EXPECT_TRUE(dev.trace.isEmpty());
    EXPECT_EQ(d.pos_type(), ptNone);
  }
}

TEST(PosDiscovery, TerminalReportOfTheMainForm) {
  const QString vendotek = QStringLiteral("Подключение к банковскому терминалу Vendotek");
  const QString pad =
      QStringLiteral("Подключение к банковскому терминалу №  (Merchant number: ; версия )");
  const QString missing = QStringLiteral("Нет подключения к POS-терминалу");
  const struct {
    const char* name;
    TPOSType type;
    qint64 ms;
    bool logged, sbp, badge;
    bool stop;
    int event;
    QString text, error;
    std::optional<bool> noPos;
    bool loggedAfter;
  } cases[] = {
      {"Vendotek", ptVendotek, 500, false, false, false, true, 1, vendotek, {}, false, false},
      {"pad found by the bridge test",
       ptSber,
       500,
       false,
       false,
       false,
       true,
       1,
       pad,
       {},
       false,
       false},
      {"a found terminal clears the flag late too",
       ptVendotek,
       60000,
       true,
       false,
       false,
       true,
       1,
       vendotek,
       {},
       false,
       true},
      {"within the grace period", ptNone, 10000, false, false, false, false, 0, {}, {}, {}, false},
      {"missing terminal", ptNone, 10001, false, false, false, false, 51, missing, missing, true,
       true},
      {"missing terminal, event already queued",
       ptNone,
       20000,
       true,
       false,
       false,
       false,
       0,
       {},
       missing,
       true,
       true},
      {"SBP on: no error shown",
       ptNone,
       20000,
       false,
       true,
       false,
       false,
       51,
       missing,
       {},
       true,
       true},
      {"badge on: no error shown", ptNone, 20000, true, false, true, false, 0, {}, {}, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bool logged = c.logged;
    const TPosReport r = posDiscoveryTick(c.type, {}, c.ms, logged, c.sbp, c.badge);
    EXPECT_EQ(r.stopTimer, c.stop);
    EXPECT_EQ(r.eventId, c.event);
    EXPECT_EQ(r.eventText, c.text);
    EXPECT_EQ(r.errorText, c.error);
    EXPECT_EQ(r.setNoPosTerminal, c.noPos.has_value());
    if (c.noPos) {
      EXPECT_EQ(r.no_pos_terminal, *c.noPos);
    }
    EXPECT_EQ(logged, c.loggedAfter);
  }
}

// ---- the worker on pseudo-terminals ----

namespace {

// A ports folder of the test's own, where the drivers look.
class PortsFolder {
 public:
  PortsFolder() { qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit()); }
  ~PortsFolder() { qunsetenv("VEKTA_PORTS_DIR"); }
  QString path() const { return dir.path(); }
  QTemporaryDir dir;
};

// The stand-in bank library finds a pad only on padPort: before every bridge
// run the scenario follows the port that pinpad.ini names, as a real library
// that opens that port would.
plat::ConsoleCommandRunner padOnPort(const StubSberFolder& stub, int padPort) {
  return [&stub, padPort](const QStringList& argv, const std::atomic<bool>& stop,
                          const QString& folder) {
    QFile ini(stub.path(QStringLiteral("pinpad.ini")));
    const QByteArray first = ini.open(QIODevice::ReadOnly) ? ini.readLine() : QByteArray();
    const bool here = first == "ComPort=" + QByteArray::number(padPort) + "\r\n";
    // 4154: the pad does not answer.
    stub.setScenario(here ? QStringLiteral("result=0\n") : QStringLiteral("result=4154\n"));
    return RunConsoleCommand(argv, stop, folder);
  };
}

struct Found {
  TPOSType type = ptNone;
  int port = -1;
  int calls = 0;
};

}  // namespace

TEST(DevicesDiscoveryThread, FindsTheVendotekAmongSilentPorts) {
  PortsFolder ports;
  SimPort com1(ports.path(), 1), com2(ports.path(), 2);
  VendotekSim sim(ports.path(), 3);
  SimPort com4(ports.path(), 4);
  StubSberFolder stub;
  ASSERT_TRUE(stub.ok());
  stub.setScenario(QStringLiteral("TestPinpad.result=4154\n"));

  TVendotek vendotek;
  TSberDevice sber(stub.path());
  Found found;
  TDevicesDiscoveryThread thread(makePosProbes(vendotek, sber), [&](TPOSType type, int port) {
    EXPECT_TRUE(QThread::currentThread() == QCoreApplication::instance()->thread());
    found = {type, port, found.calls + 1};
  });
  thread.start();
  ASSERT_TRUE(waitUntil([&] { return found.calls > 0; }, 30s));
  EXPECT_EQ(found.type, ptVendotek);
  EXPECT_EQ(found.port, 3);
  EXPECT_TRUE(vendotek.isOpen());
  EXPECT_EQ(vendotek.comPort(), 3);
  EXPECT_GE(sim.count("IDL"), 1);
  // Every port was tried as a pad first, each with its own pinpad.ini.
  EXPECT_EQ(stub.count(QStringLiteral("_TestPinpad")), 4);

  thread.stop();
  EXPECT_EQ(found.calls, 1);
  EXPECT_EQ(thread.vendotekPortToSave(), 3);
  EXPECT_EQ(thread.sberPortToSave(), -1);
}

TEST(DevicesDiscoveryThread, FindsAPadByTheBridgeTest) {
  const struct {
    const char* name;
    int savedSber;
    int bridgeRuns;
  } cases[] = {
      {"scan", -1, 3},
      {"saved port", 3, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PortsFolder ports;
    SimPort com1(ports.path(), 1), com2(ports.path(), 2), com3(ports.path(), 3),
        com4(ports.path(), 4);
    StubSberFolder stub;
    ASSERT_TRUE(stub.ok());
    TVendotek vendotek;
    TSberDevice sber(stub.path(), padOnPort(stub, 3));
    Found found;
    TDevicesDiscoveryThread thread(makePosProbes(vendotek, sber), [&](TPOSType type, int port) {
      found = {type, port, 1};
    });
    thread.sber_com_port = c.savedSber;
    thread.start();
    ASSERT_TRUE(waitUntil([&] { return found.calls > 0; }, 30s));
    thread.stop();
    EXPECT_EQ(found.type, ptSber);
    EXPECT_EQ(found.port, 3);
    EXPECT_EQ(stub.count(QStringLiteral("_TestPinpad")), c.bridgeRuns);
    QFile ini(stub.path(QStringLiteral("pinpad.ini")));
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    EXPECT_EQ(ini.readAll(), "ComPort=3\r\nSpeed=115200\r\nShowScreens=0\r\nNewProtocol=1\r\n");
    EXPECT_EQ(thread.sberPortToSave(), 3);
    EXPECT_FALSE(vendotek.isOpen());
  }
}

TEST(DevicesDiscoveryThread, StopBreaksOffABridgeRunAndRefusesTheHandOver) {
  PortsFolder ports;
  SimPort com1(ports.path(), 1);
  StubSberFolder stub;
  ASSERT_TRUE(stub.ok());
  // The pad thinks for a minute.
  stub.setScenario(QStringLiteral("TestPinpad.delay_ms=60000\n"));
  TVendotek vendotek;
  TSberDevice sber(stub.path());
  bool called = false;
  TDevicesDiscoveryThread thread(makePosProbes(vendotek, sber),
                                 [&](TPOSType, int) { called = true; });
  thread.start();
  ASSERT_TRUE(waitUntil([&] { return stub.exists(QStringLiteral("waiting")); }, 10s));
  thread.stop();
  // The bridge was killed in its wait: the library's closing call never came.
  EXPECT_EQ(stub.count(QStringLiteral("_Done")), 0);
  QCoreApplication::processEvents();
  EXPECT_FALSE(called);
  EXPECT_EQ(thread.pos_type(), ptNone);
}

// With no terminal and no port in the folder a pass has nothing to try: the
// worker sleeps until the folder changes, then tries the new port at once.
TEST(DiscoveryThread, WithAnEmptyPortsFolderWaitsForItToChange) {
  QTemporaryDir dir;
  std::atomic<int> listings{0};
  std::atomic<int> tried{0};
  TPosProbes probes;
  probes.comPortList = [&] {
    ++listings;
    return plat::listComPorts(dir.path());
  };
  probes.vendotekConnect = [&](int port) {
    tried = port;
    throw std::runtime_error("silent");
  };
  probes.vendotekClose = [] {};
  probes.sberCreateIniFile = [](int) {};
  probes.sberTestPinPad = [] { return false; };
  TDevicesDiscoveryThread thread(probes, nullptr);
  thread.watchPortsFolder(dir.path());
  thread.start();
  waitUntil([] { return false; }, 600ms);
  EXPECT_LE(listings, 2) << "an empty folder is not listed every pass";
  EXPECT_EQ(tried, 0);

  ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), dir.filePath(QStringLiteral("COM5"))));
  EXPECT_TRUE(waitUntil([&] { return tried == 5; }, 5s));
  // A port that is there but silent is tried again pass after pass.
  const int before = listings;
  waitUntil([] { return false; }, 600ms);
  EXPECT_GE(listings - before, 3);
  thread.stop();
}

// ---- the main form ----

namespace {

// A data folder, a runtime folder (for the one-copy lock) and a ports folder
// of the test's own. The kiosk's bridge folder is the build's, with the
// stand-in library told that no pad answers.
class KioskFolders : public PortsFolder {
 public:
  KioskFolders() {
    qputenv("VEKTA_DATA_DIR", data.path().toUtf8());
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    qputenv("PILOT_STUB_TESTPINPAD_RESULT", "4154");
  }
  ~KioskFolders() {
    qunsetenv("VEKTA_DATA_DIR");
    qunsetenv("PILOT_STUB_TESTPINPAD_RESULT");
  }
  void writeIni(const QString& lines) const {
    QFile f(data.filePath(QStringLiteral("vekta.ini")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(plat::toAnsi(QStringLiteral("[Global]\r\n") + lines));
  }
  QString savedIni() const {
    QFile f(data.filePath(QStringLiteral("vekta.ini")));
    return f.open(QIODevice::ReadOnly) ? plat::fromAnsi(f.readAll()) : QString();
  }
  QTemporaryDir data;
  QTemporaryDir runtime;
  testkit::StubKioskHooks hooks;
};

struct EventSink : IEventSink {
  QList<std::pair<int, QString>> events;
  void add(int id, const QString& descr) override { events.append({id, descr}); }
};

}  // namespace

TEST(MainFormDiscovery, FoundTerminalIsReportedAndItsPortSavedAtClose) {
  KioskFolders folders;
  SimPort com2(folders.path(), 2);
  VendotekSim sim(folders.path(), 3);
  // The saved port lost its terminal; it hangs on COM3 now.
  folders.writeIni(QStringLiteral("vendotek_com_port=2\r\n"));
  EventSink sink;
  {
    TfmMain form;
    form.show();
    form.tmConfig->stop();  // no server in the settings: the tick would ask for the service password
    form.logThread = &sink;
    form.tmPOSDiscovery->start();
    ASSERT_TRUE(waitUntil([&] { return !form.tmPOSDiscovery->isActive(); }, 30s));
    EXPECT_EQ(form.pos_type, ptVendotek);
    EXPECT_TRUE(sink.events.contains(
        std::pair{1, QStringLiteral("Подключение к банковскому терминалу Vendotek")}));
    EXPECT_FALSE(form.vmState.no_pos_terminal);
    form.check_password_on_exit = false;
    form.close();
    // The terminal is told that the kiosk stops greeting it.
    EXPECT_FALSE(sim.waitFor("DIS", 1, 5000).tags.isEmpty());
  }
  const QString saved = folders.savedIni();
  EXPECT_TRUE(saved.contains(QStringLiteral("vendotek_com_port=3\r\n"))) << saved.toStdString();
  EXPECT_TRUE(saved.contains(QStringLiteral("sber_com_port=-1\r\n")));
}

TEST(MainFormDiscovery, SavedPortsThatFailedAreNotKept) {
  KioskFolders folders;
  SimPort com2(folders.path(), 2);
  folders.writeIni(QStringLiteral("vendotek_com_port=2\r\nsber_com_port=2\r\n"));
  {
    TfmMain form;
    form.show();
    form.tmConfig->stop();  // no server in the settings: the tick would ask for the service password
    ASSERT_TRUE(form.devicesDiscoveryThread);
    ASSERT_TRUE(waitUntil(
        [&] {
          return form.devicesDiscoveryThread->vendotekPortToSave() == -1 &&
                 form.devicesDiscoveryThread->sberPortToSave() == -1;
        },
        30s));
    EXPECT_EQ(form.pos_type, ptNone);
    form.check_password_on_exit = false;
    form.close();
  }
  const QString saved = folders.savedIni();
  EXPECT_TRUE(saved.contains(QStringLiteral("vendotek_com_port=-1\r\n"))) << saved.toStdString();
  EXPECT_TRUE(saved.contains(QStringLiteral("sber_com_port=-1\r\n")));
}
