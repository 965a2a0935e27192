// The driver against the simulated terminal on a pseudo-terminal.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "devices/SberDevice.h"
#include "devices/Vendotek.h"
#include "kiosk/CloseBudget.h"
#include "kiosk/DevicesDiscovery.h"
#include "platform/TcpServer.h"
#include "testbed/VendotekSim.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FastClock.h"

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

QString messageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.message();
  }
  return QStringLiteral("<no exception>");
}

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
  const auto end = Steady::now() + limit;
  while (!pred()) {
    if (Steady::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

class VendotekTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
    sim = std::make_unique<VendotekSim>(dir.path(), 4);
    vendotek.setComPort(4);
  }
  void TearDown() override {
    // Every frame the driver sent kept the frame rules.
    EXPECT_TRUE(sim->violations().isEmpty()) << sim->violations().join(u'\n').toStdString();
    qunsetenv("VEKTA_PORTS_DIR");
  }

  // What the card screen's worker does: handshake, start, wait for the end.
  bool pay(double amount, std::chrono::milliseconds limit = 5s) {
    vendotek.idleHandshake();
    vendotek.startPayment(amount);
    EXPECT_TRUE(waitUntil([&] { return !vendotek.paymentIsInProgress(); }, limit));
    return vendotek.paymentDone();
  }
  void shortenPayments(int seconds) {
    sim->setIdleExtraTags({{vtOperationTimeoutS, QByteArray::number(seconds)}});
  }

  QTemporaryDir dir;
  std::unique_ptr<VendotekSim> sim;
  TVendotek vendotek;
};

}  // namespace

TEST_F(VendotekTest, ApprovedPaymentIsFinished) {
  EXPECT_TRUE(pay(123.45));
  const auto vrp = sim->waitFor("VRP", 1, 0);
  EXPECT_EQ(vrp.getValue(vtOperationNumber), "1");
  EXPECT_EQ(vrp.getValue(vtAmountMinorCurrency), "12345");
  const auto fin = sim->waitFor("FIN", 1, 1000);
  EXPECT_EQ(fin.getValue(vtOperationNumber), "1");
  EXPECT_EQ(fin.getValue(vtAmountMinorCurrency), "12345");
  EXPECT_EQ(vendotek.operationNumber(), 1);

  // The next payment is a new operation.
  EXPECT_TRUE(pay(50));
  EXPECT_EQ(sim->waitFor("VRP", 2, 0).getValue(vtOperationNumber), "2");
  EXPECT_EQ(sim->count("FIN"), 2);
}

TEST_F(VendotekTest, RefusalsEndThePaymentUnpaid) {
  struct Case {
    const char* what;
    VendotekSim::VrpAnswer answer;
    bool echoFin;
    int fins;  // "FIN" messages the kiosk sends
  } cases[] = {
      {"declined by another amount", VendotekSim::VrpAnswer::DeclineOtherAmount, true, 0},
      {"FIN never echoed: sent, retried once, given up", VendotekSim::VrpAnswer::Approve, false, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim->clearReceived();
    sim->setVrpAnswer(c.answer);
    sim->setEchoFin(c.echoFin);
    EXPECT_FALSE(pay(10, 5s));
    EXPECT_EQ(sim->count("FIN"), c.fins);
  }
}

TEST_F(VendotekTest, PaymentWithoutAnswerEndsAfterTheTerminalsTimeOut) {
  shortenPayments(1);
  sim->setVrpAnswer(VendotekSim::VrpAnswer::Silent);
  vendotek.idleHandshake();
  EXPECT_EQ(vendotek.operationTimeout(), 1);
  const auto start = Steady::now();
  vendotek.startPayment(10);
  EXPECT_TRUE(vendotek.paymentIsInProgress());
  ASSERT_TRUE(waitUntil([&] { return !vendotek.paymentIsInProgress(); }, 5s));
  EXPECT_GE(Steady::now() - start, 1s);
  EXPECT_FALSE(vendotek.paymentDone());
}

TEST_F(VendotekTest, SecondPaymentWhileOneRunsIsRefusedAndLeavesTheFirstAlone) {
  sim->setVrpDelayMs(300);
  vendotek.idleHandshake();
  vendotek.startPayment(77);
  EXPECT_EQ(messageOf([&] { vendotek.startPayment(88); }),
            QStringLiteral("Процесс оплаты уже выполняется."));
  ASSERT_TRUE(waitUntil([&] { return !vendotek.paymentIsInProgress(); }, 5s));
  EXPECT_TRUE(vendotek.paymentDone());
  EXPECT_EQ(sim->count("VRP"), 1);
  EXPECT_EQ(sim->waitFor("FIN", 1, 0).getValue(vtAmountMinorCurrency), "7700");
}

// An approval that comes after the kiosk gave up is not finished: not on its
// own, and not for the next payment of the same amount either.
TEST_F(VendotekTest, LateApprovalIsNeverConfirmed) {
  shortenPayments(1);
  sim->setVrpDelayMs(1500);
  EXPECT_FALSE(pay(25));
  ASSERT_TRUE(sim->waitFor("VRP", 1, 0).tags.size());
  std::this_thread::sleep_for(900ms);  // the approval arrives meanwhile
  EXPECT_EQ(sim->count("FIN"), 0);
  EXPECT_FALSE(vendotek.paymentDone());

  // Another stale approval of operation 1 comes right behind the greeting
  // and still waits, read but unhandled, as the next payment starts; the
  // terminal does not answer that payment.
  sim->setVrpAnswer(VendotekSim::VrpAnswer::Silent);
  TVendotekMessage stale;
  stale.add(vtMessageName, "VRP");
  stale.add(vtOperationNumber, "1");
  stale.add(vtAmountMinorCurrency, "2500");
  sim->followNextIdleWith(stale);
  vendotek.idleHandshake();
  vendotek.startPayment(25);
  ASSERT_TRUE(waitUntil([&] { return !vendotek.paymentIsInProgress(); }, 5s));
  EXPECT_FALSE(vendotek.paymentDone());
  EXPECT_EQ(sim->count("FIN"), 0);

  // And the line still works for a real payment.
  sim->setVrpAnswer(VendotekSim::VrpAnswer::Approve);
  sim->setVrpDelayMs(0);
  EXPECT_TRUE(pay(25));
}

TEST_F(VendotekTest, AdoptsWhatTheTerminalAnnounces) {
  sim->setIdleExtraTags(
      {{vtOperationNumber, "41"}, {vtKeepaliveIntervalS, "1"}, {vtOperationTimeoutS, "33"}});
  vendotek.idleHandshake();
  EXPECT_EQ(vendotek.operationNumber(), 41);
  EXPECT_EQ(vendotek.keepaliveInterval(), 1);
  EXPECT_EQ(vendotek.operationTimeout(), 33);
  vendotek.startPayment(1);
  EXPECT_EQ(sim->waitFor("VRP", 1, 2000).getValue(vtOperationNumber), "42");
  ASSERT_TRUE(waitUntil([&] { return !vendotek.paymentIsInProgress(); }, 5s));

  // With keep-alive on, a silent second makes the driver greet again.
  sim->clearReceived();
  vendotek.keepalive = true;
  EXPECT_FALSE(sim->waitFor("IDL", 2, 3500).tags.isEmpty());
  EXPECT_EQ(sim->count("VRP"), 0);
  EXPECT_FALSE(sim->waitFor("IDL", 1, 0).getValue(vtLocalTime).isEmpty());

  // A number that is not one is refused; the handshake reports it.
  sim->setIdleExtraTags({{vtKeepaliveIntervalS, "1x"}});
  vendotek.keepalive = false;
  EXPECT_EQ(messageOf([&] { vendotek.idleHandshake(); }),
            QStringLiteral("'1x' is not a valid integer value"));
}

TEST_F(VendotekTest, SpoiledFramesAreDroppedAndSplitOnesJoined) {
  sim->corruptNextFrame();
  EXPECT_EQ(messageOf([&] { vendotek.idleHandshake(); }),
            QStringLiteral("Timeout during operation."));
  sim->splitNextFrame(50);
  EXPECT_EQ(messageOf([&] { vendotek.idleHandshake(); }), QStringLiteral("<no exception>"));
  sim->setSilent(true);
  EXPECT_EQ(messageOf([&] { vendotek.idleHandshake(); }),
            QStringLiteral("Timeout during operation."));
}

TEST_F(VendotekTest, PortSelection) {
  TVendotek other;
  EXPECT_EQ(messageOf([&] { other.open(); }), QStringLiteral("Не указан номер COM-порта."));
  other.setComPort(9);
  EXPECT_EQ(messageOf([&] { other.idleHandshake(); }), QStringLiteral("COM port not found."));

  // Moving an open driver to another port really moves it.
  vendotek.idleHandshake();
  EXPECT_TRUE(vendotek.isOpen());
  VendotekSim second(dir.path(), 6);
  vendotek.setComPort(6);
  EXPECT_FALSE(vendotek.isOpen());
  vendotek.idleHandshake();
  EXPECT_EQ(second.count("IDL"), 1);
  EXPECT_EQ(sim->count("IDL"), 1);

  vendotek.disableHandshake();
  EXPECT_EQ(second.waitFor("DIS", 1, 2000).getValue(vtOperationNumber), "0");
  vendotek.close();
  EXPECT_FALSE(vendotek.isOpen());
}

TEST(VendotekLinkLoss, ATerminalThatGoesAwayIsClosedReportedOnceAndFoundAgain) {
  QTemporaryDir dir;
  qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
  std::mutex mu;
  QStringList logged, events;
  TVendotek vendotek(
      [&](const QString& line) {
        std::lock_guard lock(mu);
        logged << line;
      },
      [&](int id, const QString& text) {
        std::lock_guard lock(mu);
        events << QStringLiteral("%1 %2").arg(id).arg(text);
      });
  vendotek.keepalive = true;
  auto sim = std::make_unique<VendotekSim>(dir.path(), 4);
  TSberDevice bridge;
  TPosDiscovery discovery(makePosProbes(vendotek, bridge), -1, 4);
  const std::atomic<bool> stop{false};
  discovery.trySavedPorts(stop);
  ASSERT_EQ(discovery.pos_type(), ptVendotek);
  ASSERT_TRUE(vendotek.isOpen());

  // The device goes away under the open port; the driver's thread keeps
  // passing meanwhile (every 100 ms, with a keep-alive due).
  sim.reset();
  ASSERT_TRUE(waitUntil([&] { return !vendotek.isOpen(); }, 5s));
  std::this_thread::sleep_for(500ms);
  {
    std::lock_guard lock(mu);
    const QString text = QStringLiteral(
        "Потеряна связь с банковским терминалом Vendotek (COM4): Can not read data from COM port "
        "(error + 5).");
    EXPECT_EQ(logged, QStringList{text});
    EXPECT_EQ(events, QStringList{QStringLiteral("51 ") + text});
  }

  // It comes back on another port, and discovery finds it there.
  VendotekSim moved(dir.path(), 7);
  discovery.scan(stop);
  EXPECT_EQ(discovery.pos_type(), ptVendotek);
  EXPECT_EQ(discovery.port(), 7);
  EXPECT_EQ(discovery.vendotekPortToSave(), 7);
  EXPECT_TRUE(vendotek.isOpen());
  EXPECT_GE(moved.count("IDL"), 1);
  // A terminal that is there is not looked for again.
  discovery.scan(stop);
  EXPECT_EQ(discovery.port(), 7);
  qunsetenv("VEKTA_PORTS_DIR");
}

namespace {

QByteArray destinationOf(const VendotekSim& sim, int n) {
  return sim.waitFor("CON", n, 30000).getValue(vtTcpIpDestination);
}

QByteArray readExactly(plat::TcpClient& c, qsizetype n) {
  QByteArray out;
  const auto end = Steady::now() + 10s;
  while (out.size() < n && Steady::now() < end) out += c.read(int(n - out.size()), 100);
  return out;
}

}  // namespace

TEST_F(VendotekTest, CarriesTheBankLinkOverTcp) {
  plat::TcpServer bank;
  bank.listen();
  vendotek.idleHandshake();

  sim->requestBankConnect("127.0.0.1", bank.port());
  const QByteArray dest = destinationOf(*sim, 1);
  ASSERT_EQ(dest.size(), 8);
  EXPECT_EQ(uint8_t(dest[7]), 1);  // connected
  EXPECT_EQ(dest.left(7), QByteArray("\x00\x7F\x00\x00\x01", 5) + char(bank.port() >> 8) +
                              char(bank.port() & 0xFF));
  auto host = bank.accept(2000);
  ASSERT_TRUE(host);

  // Terminal to bank: a confirmable block is acknowledged with its counter.
  sim->sendBankData("hello", true, 17);
  EXPECT_EQ(readExactly(*host, 5), "hello");
  const auto ack = sim->waitFor("DAT", 1, 2000);
  EXPECT_EQ(ack.getValue(vtOutgoingByteCounter), "17");
  EXPECT_EQ(ack.getValue(vtTcpIpDestination), QByteArray(1, '\0'));
  sim->sendBankData(QByteArray(60000, 'b'), false, 18);  // a simple block gets no answer
  EXPECT_EQ(readExactly(*host, 60000), QByteArray(60000, 'b'));

  // Bank to terminal, with the counter the terminal reported last; a batch
  // larger than a frame goes out in several.
  QByteArray reply(150000, '\0');
  for (qsizetype i = 0; i < reply.size(); ++i) reply[i] = char(i * 7);
  host->write(reply);
  QByteArray forwarded;
  ASSERT_TRUE(waitUntil(
      [&] {
        forwarded.clear();
        int n = 0;
        for (const auto& m : sim->received()) {
          if (m.getValue(vtMessageName) != "DAT") continue;
          if (m.getValue(vtSimpleDataBlock).isEmpty()) continue;
          EXPECT_EQ(m.getValue(vtOutgoingByteCounter), "18");
          forwarded += m.getValue(vtSimpleDataBlock);
          ++n;
        }
        return forwarded.size() >= reply.size() && n >= 3;
      },
      10s));
  EXPECT_EQ(forwarded, reply);

  sim->requestBankDisconnect();
  EXPECT_EQ(sim->waitFor("DSC", 1, 2000).getValue(vtTcpIpDestination), QByteArray(1, '\0'));
  EXPECT_TRUE(waitUntil(
      [&] {
        try {
          host->read(1, 10);
          return false;
        } catch (const std::exception&) {
          return true;  // the kiosk closed its side
        }
      },
      2s));
}

TEST_F(VendotekTest, BankConnectRequestsItCannotServe) {
  plat::TcpServer closed;
  closed.listen();
  const int deadPort = closed.port();
  closed.close();
  vendotek.idleHandshake();

  struct Case {
    const char* what;
    QByteArray request;
    QByteArray answer;
  } cases[] = {
      {"selector 1", QByteArray("\x01\x7F\x00\x00\x01\x00\x50\x00", 8),
       QByteArray("\x01\x7F\x00\x00\x01\x00\x50\x00", 8)},
      {"too short", QByteArray("\x00\x7F\x00", 3),
       QByteArray("\x00\x7F\x00\x00\x00\x00\x00\x04", 8)},
      {"nobody listens",
       QByteArray("\x00\x7F\x00\x00\x01", 5) + char(deadPort >> 8) + char(deadPort & 0xFF) + '\0',
       QByteArray("\x00\x7F\x00\x00\x01", 5) + char(deadPort >> 8) + char(deadPort & 0xFF) +
           '\x04'},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim->requestBankConnectRaw(c.request);
    EXPECT_EQ(destinationOf(*sim, ++n), c.answer);
  }
  // Data with no bank link is not acknowledged.
  sim->sendBankData("x", true, 1);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(sim->count("DAT"), 0);
}

// A bank host whose connects never complete: its listening socket's queue is
// full (one connection waits there, never accepted), so the system drops
// every further connection request.
class StalledBankHost {
 public:
  StalledBankHost() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::listen(listener_, 0) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port_ = ntohs(a.sin_port);
    queued_.connect(QStringLiteral("127.0.0.1"), port_, 2000);
  }
  ~StalledBankHost() { ::close(listener_); }
  StalledBankHost(const StalledBankHost&) = delete;
  StalledBankHost& operator=(const StalledBankHost&) = delete;

  int port() const { return port_; }
  // Someone is waiting for a connection to it: a socket in SYN-SENT.
  bool connectWaiting() const {
    QFile f(QStringLiteral("/proc/net/tcp"));
    if (!f.open(QIODevice::ReadOnly)) return false;
    const QByteArray remote =
        QByteArray("0100007F:") + QByteArray::number(port_, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : f.readAll().split('\n')) {
      const QList<QByteArray> fields = line.simplified().split(' ');
      if (fields.size() > 3 && fields[2] == remote && fields[3] == "02") return true;
    }
    return false;
  }

 private:
  int listener_ = -1;
  int port_ = 0;
  plat::TcpClient queued_;
};

// The close switches the terminal's handshake off while a payment runs and
// the driver's thread waits on the bank host's connect (25 s): the close's
// step gives up on the line within its bound, sends nothing and says why.
TEST(VendotekClose, DisableHandshakeGivesUpOnALineHeldByTheBankConnectWithinItsBound) {
  QTemporaryDir dir;
  qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
  StalledBankHost bank;
  ASSERT_GT(bank.port(), 0);
  testkit::FastClock fast(5);  // the bound's 2 s pass in 0.4 s, the connect's 25 s in 5 s
  testkit::ClockScope clockScope(&fast);
  VendotekSim sim(dir.path(), 4);
  sim.setVrpAnswer(VendotekSim::VrpAnswer::Silent);
  std::mutex mu;
  QStringList logged;
  auto vendotek = std::make_unique<TVendotek>([&](const QString& line) {
    std::lock_guard lock(mu);
    logged << line;
  });
  vendotek->setComPort(4);
  vendotek->idleHandshake();
  vendotek->startPayment(60);
  sim.requestBankConnect(QStringLiteral("127.0.0.1"), bank.port());
  ASSERT_TRUE(waitUntil([&] { return bank.connectWaiting(); }, 10s));

  const int64_t start = fast.nowMs();
  EXPECT_THROW(vendotek->disableHandshake(), ETimeout);
  const int64_t took = fast.nowMs() - start;
  EXPECT_LE(took, TCloseBudget{}.cardTerminalStopMs) << "waited for the bank host";
  EXPECT_TRUE(vendotek->paymentIsInProgress());
  EXPECT_EQ(sim.count("DIS"), 0);
  {
    std::lock_guard lock(mu);
    EXPECT_EQ(logged, QStringList{QStringLiteral("Банковский терминал Vendotek (COM4) не "
                                                 "отключён: линия занята дольше 1500 мс")});
  }
  vendotek.reset();
  qunsetenv("VEKTA_PORTS_DIR");
}

// The demo's standalone simulator: ready line, link in place, a payment
// through it, the link gone after SIGTERM.
TEST(VendotekSimProgram, ServesAPaymentUntilTerminated) {
  QTemporaryDir dir;
  testkit::ChildProcess sim;
  ASSERT_TRUE(sim.start(
      QStringLiteral(VENDOTEK_SIM_PATH),
      {QStringLiteral("--ports-dir"), dir.path(), QStringLiteral("--com"), QStringLiteral("8")},
      testkit::ChildProcess::Output::Capture));
  EXPECT_TRUE(sim.readLine(5000).startsWith("vendotek-sim ready: " +
                                            dir.filePath(QStringLiteral("COM8")).toLocal8Bit()));
  qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
  {
    TVendotek vendotek;
    vendotek.setComPort(8);
    vendotek.idleHandshake();
    vendotek.startPayment(5);
    EXPECT_TRUE(waitUntil([&] { return !vendotek.paymentIsInProgress(); }, 5s));
    EXPECT_TRUE(vendotek.paymentDone());
  }
  qunsetenv("VEKTA_PORTS_DIR");
  ASSERT_TRUE(sim.terminate());
  ASSERT_TRUE(sim.waitFinished(5000));
  EXPECT_TRUE(sim.normalExit());
  EXPECT_EQ(sim.exitCode(), 0);
  EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("COM8"))));
}
