// The back-office link cut at every byte of a reply: the stand-in back office
// closes the connection after N bytes of one chosen reply, for every N from 0
// to the reply's length, while the kiosk loads its configuration or has a
// sale's fiscal check made (the firm id, request 53, and the sale report,
// request 1068). Each cut must surface as a transport error, the next call
// must connect again, and the end state must be what a run without the cut
// gives: the same configuration, no row written twice, one fiscal check per
// sale.

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <map>
#include <memory>

#include "backoffice/JClient.h"
#include "backoffice/JTransport.h"
#include "kiosk/ConfigCycle.h"
#include "kiosk/Counters.h"
#include "kiosk/Products.h"
#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "platform/Clock.h"
#include "platform/MemTable.h"
#include "platform/TcpClient.h"
#include "screens/Gratitude.h"
#include "testbed/SimHandlers.h"
#include "tests/support/SaleScreenTestKit.h"

// Readable failures.
inline void PrintTo(const QString& s, std::ostream* os) {
  *os << s.toStdString();
}

namespace {

// Every offset of the first kDense bytes of a reply; past them every
// kStride-th: a dense sample of the long table streams.
constexpr int kDense = 256;
constexpr int kStride = 11;

int nextOffset(int offset) {
  return offset < kDense ? offset + 1 : offset + kStride;
}

// The stand-in back office, with a cut armed for the reply to the n-th batch
// (or the first batch holding request `code`) from now on.
struct CuttingBackoffice {
  QTemporaryDir dir;
  std::unique_ptr<sim::BackofficeSim> sim;
  std::atomic<int> batches{0};
  std::atomic<int> cutBatch{0};  // 0: none
  std::atomic<int> cutCode{0};   // 0: by batch number
  std::atomic<int> cutAt{0};
  std::atomic<bool> cutDone{false};

  CuttingBackoffice() {
    sim = std::make_unique<sim::BackofficeSim>(dir.filePath("bo.db"));
    sim->server().setRequestHandler([this](const ServerRequest& rq, ServerReply& rp) {
      if (rq.requestNo == 1) {
        const int n = ++batches;
        const bool hit = cutCode ? rq.code == cutCode.load() : n == cutBatch.load();
        if (hit && !cutDone.exchange(true))
          sim->server().addFault({ServerFault::CloseAfterBytes, cutAt.load(), 0, {}});
      }
      sim->handlers().handle(rq, rp);
    });
    sim->start();
  }

  void armBatch(int n, int offset) {
    batches = 0;
    cutCode = 0;
    cutBatch = n;
    cutAt = offset;
    cutDone = false;
  }
  void armCode(int code, int offset) {
    cutCode = code;
    cutAt = offset;
    cutDone = false;
  }
  void disarm() {
    sim->server().clearFaults();
    cutBatch = 0;
    cutCode = 0;
    cutDone = true;
  }

  // Rows per table: what a second write of the same thing would change.
  std::map<QString, int> rowCounts() {
    std::map<QString, int> out;
    for (const auto& row :
         sim->db().select("select name from sqlite_master where type = 'table'").rows) {
      const QString t = row[0].toString();
      if (t.startsWith("sqlite_")) continue;
      out[t] = sim->db().select("select count(*) from " + t).rows[0][0].toInt();
    }
    return out;
  }
};

std::map<QString, int> difference(const std::map<QString, int>& after,
                                  const std::map<QString, int>& before) {
  std::map<QString, int> d;
  for (const auto& [t, n] : after)
    if (n != before.at(t)) d[t] = n - before.at(t);
  return d;
}

QString describe(const std::map<QString, int>& d) {
  QString s;
  for (const auto& [t, n] : d) s += QStringLiteral("%1 %2%3; ").arg(t).arg(n > 0 ? "+" : "").arg(n);
  return s;
}

// The kiosk's configuration side, as the main form wires it.
struct KioskConfig {
  QTemporaryDir data;
  TSettingsStorage ss;
  TJClient client;
  plat::MemTable tbDocVmServiceSale;
  TVmConfig config;
  TCountersState counters;
  TProductCatalog products;
  testkit::RecordingSink sink;
  std::unique_ptr<TConfigCycle> cycle;

  explicit KioskConfig(sim::BackofficeSim& office) {
    ss.IniFileName = data.filePath("vekta.ini");
    writeText(ss, SettingsKeys::host, "127.0.0.1");
    writeInt(ss, SettingsKeys::port, office.port());
    writeText(ss, SettingsKeys::login, "demo");
    writePassword(ss, SettingsKeys::password, "demo");
    testkit::connectToSim(client, office);
    counters.dataFolder = data.path();
    TConfigContext ctx;
    ctx.SS = &ss;
    ctx.client = &client;
    ctx.tbDocVmServiceSale = &tbDocVmServiceSale;
    ctx.dataFolder = data.path();
    ctx.config = &config;
    ctx.counters = &counters;
    ctx.products = &products;
    ctx.events = [this] { return &sink; };
    ctx.osVersion = [] { return QStringLiteral("Test OS"); };
    cycle = std::make_unique<TConfigCycle>(ctx);
  }

  // What a load leaves behind that the kiosk later works from.
  QString state() {
    QString s = QStringLiteral("vm %1 terminal %2 drinks %3 snacks %4 rows %5 phone %6 delay %7")
                    .arg(config.vm_id)
                    .arg(config.terminal_id)
                    .arg(products.drinks.size())
                    .arg(products.snacks.size())
                    .arg(tbDocVmServiceSale.RecordCount())
                    .arg(readText(ss, SettingsKeys::support_phone))
                    .arg(config.vekta_qr_code_delay);
    for (const char* name : {"tbDocVmServiceSale", "tbVmSettings"}) {
      plat::MemTable t;
      t.LoadFromFile(data.filePath(name));
      s += QStringLiteral(" %1:%2").arg(QLatin1String(name)).arg(t.RecordCount());
    }
    return s;
  }
};

// A load cut anywhere fails with a transport error, the next one connects
// again and ends in the same configuration, writing what one load writes.
TEST(FaultSweep, ConfigurationLoadCutAtEveryOffset) {
  CuttingBackoffice bo;
  KioskConfig k(*bo.sim);
  // The first start registers the machine; the sweep is over the loads of a
  // registered machine, as every later refresh is.
  ASSERT_TRUE(k.cycle->tick(plat::clock().nowMs()).loaded);
  const QString expected = k.state();

  // One load without a cut: its batches and what it writes.
  bo.batches = 0;
  auto before = bo.rowCounts();
  k.cycle->refreshConfig();
  const int batches = bo.batches;
  const auto oneLoad = difference(bo.rowCounts(), before);
  ASSERT_GT(batches, 3);
  ASSERT_EQ(k.state(), expected);

  int cuts = 0, shortCuts = bo.sim->server().shortCutCount();
  for (int b = 1; b <= batches; ++b) {
    for (int at = 0;; at = nextOffset(at)) {
      SCOPED_TRACE(QStringLiteral("batch %1 of %2, cut after %3 bytes")
                       .arg(b)
                       .arg(batches)
                       .arg(at)
                       .toStdString());
      before = bo.rowCounts();
      const size_t eventsBefore = k.sink.all().size();
      bo.armBatch(b, at);
      QString error;
      bool transport = false;
      try {
        k.cycle->refreshConfig();
      } catch (const ETransportError& e) {
        transport = true;
        error = e.message();
      } catch (const plat::ETcpError& e) {
        // A peer that closes mid-read: the socket's own error, passed on.
        transport = true;
        error = e.message();
      } catch (const std::exception& e) {
        error = exceptionMessage(e);
      }
      bo.disarm();
      const bool cutShort = bo.sim->server().shortCutCount() > shortCuts;
      shortCuts = bo.sim->server().shortCutCount();
      if (cutShort) {
        ++cuts;
        EXPECT_FALSE(error.isEmpty());
      }
      // Also a close after the whole reply may fail the batch after it.
      if (!error.isEmpty()) {
        EXPECT_TRUE(transport) << error.toStdString();
        ASSERT_NO_THROW(k.cycle->refreshConfig());
      }
      EXPECT_EQ(k.state(), expected);
      const auto d = difference(bo.rowCounts(), before);
      EXPECT_EQ(d, oneLoad) << "written: " << describe(d).toStdString()
                            << " one load: " << describe(oneLoad).toStdString();
      // The failed load queued nothing; the good one its one event.
      EXPECT_EQ(k.sink.all().size(), eventsBefore + 1);
      if (::testing::Test::HasFailure()) return;
      if (!cutShort) {  // the whole reply went out
        std::printf("batch %d: reply of at most %d bytes\n", b, at);
        break;
      }
    }
  }
  std::printf("configuration load: %d batches, %d cuts\n", batches, cuts);
}

// A sale's fiscal check with request 53 or 1068 cut anywhere: the worker's
// next try connects again and the sale has exactly one check.
TEST(FaultSweep, FiscalCheckRequestsCutAtEveryOffset) {
  CuttingBackoffice bo;
  TJClient main;
  testkit::connectToSim(main, *bo.sim);
  auto sink = std::make_shared<testkit::RecordingSink>();
  auto sale = [&] {
    TCheckCreationSetup s;
    s.mainClient = &main;
    s.pmVmId = "5";
    s.goods = {{11, QStringLiteral("Вода"), 54.00, 2}, {12, QStringLiteral("Круассан"), 80.55, 1}};
    s.payment_amount = 188.55;
    s.events = sink;
    s.retryPauseMs = 1;
    s.resendPauseMs = 1;
    auto worker = TCheckCreationThread::start(s);
    EXPECT_TRUE(QTest::qWaitFor([&] { return worker->finished(); }, 30000));
    return worker;
  };
  auto checks = [&] {
    return bo.sim->db().select("select count(*) from tbFiscalCheck").rows[0][0].toInt();
  };

  // Without a cut: one try, one check, with its fiscal data.
  auto before = bo.rowCounts();
  auto clean = sale();
  ASSERT_GT(clean->checkInfo().id, 0);
  ASSERT_EQ(clean->reportsSent(), 1);
  const auto oneSale = difference(bo.rowCounts(), before);
  ASSERT_EQ(oneSale.at("tbFiscalCheck"), 1);

  for (int code : {53, 1068}) {
    int cuts = 0, shortCuts = bo.sim->server().shortCutCount();
    for (int at = 0;; at = nextOffset(at)) {
      SCOPED_TRACE(
          QStringLiteral("request %1, cut after %2 bytes").arg(code).arg(at).toStdString());
      before = bo.rowCounts();
      const int checksBefore = checks();
      bo.armCode(code, at);
      auto w = sale();
      bo.disarm();
      const TCheckInfo info = w->checkInfo();
      EXPECT_GT(info.id, 0) << w->check_creation_error().toStdString();
      EXPECT_GT(info.fdNumber, 0u);
      EXPECT_EQ(checks(), checksBefore + 1);
      EXPECT_EQ(difference(bo.rowCounts(), before), oneSale)
          << describe(difference(bo.rowCounts(), before)).toStdString();
      // A cut costs one more try, and no event: the check was made.
      EXPECT_LE(w->reportsSent(), 2);
      EXPECT_TRUE(sink->all().empty());
      if (::testing::Test::HasFailure()) return;
      const bool cutShort = bo.sim->server().shortCutCount() > shortCuts;
      shortCuts = bo.sim->server().shortCutCount();
      if (!cutShort) {  // the whole reply went out
        std::printf("request %d: reply of at most %d bytes\n", code, at);
        break;
      }
      ++cuts;
      EXPECT_FALSE(w->check_creation_error().isEmpty());
    }
    std::printf("request %d: %d cuts\n", code, cuts);
  }
}

}  // namespace
