// One selectValue round trip on loopback to the stand-in server (login done,
// connection kept), against a bare TCP echo of a few bytes: once with a
// scripted answer, once with the stand-in back office running the SQL on
// its SQLite database.

#include <benchmark/benchmark.h>

#include <QTemporaryDir>
#include <atomic>
#include <thread>

#include "backoffice/JClient.h"
#include "platform/TcpClient.h"
#include "platform/TcpServer.h"
#include "testbed/ProtocolServer.h"
#include "testbed/SimHandlers.h"

namespace {

void BM_SelectValueRoundTrip(benchmark::State& state) {
  ProtocolServer server;
  server.setRequestHandler([](const ServerRequest&, ServerReply& rep) {
    ServerTable t;
    t.columns = {{QStringLiteral("v"), 4, 0, 0}};
    t.rows = {{WireValue(1002)}};
    rep.tables.push_back(t);
  });
  server.start();
  TJClient client;
  client.setShowProgress(false);
  client.setPort(server.port());
  client.setLogin(QStringLiteral("demo"));
  client.setPassword(QStringLiteral("demo"));
  client.setServerType(QStringLiteral("DR"));
  client.connect(30);
  for (auto _ : state) {
    WireValue v = client.selectValue(QStringLiteral("select 1002"), 30);
    if (v.toInt() != 1002) state.SkipWithError("wrong value");
  }
  client.close();
  server.stop();
}
BENCHMARK(BM_SelectValueRoundTrip)->Unit(benchmark::kMicrosecond);

void BM_SelectValueRoundTripSim(benchmark::State& state) {
  QTemporaryDir dir;
  sim::BackofficeSim office(dir.filePath(QStringLiteral("office.db")));
  office.start();
  TJClient client;
  client.setShowProgress(false);
  client.setPort(office.port());
  client.setLogin(QStringLiteral("demo"));
  client.setPassword(QStringLiteral("demo"));
  client.setServerType(QStringLiteral("DR"));
  client.connect(30);
  const QString sql = QStringLiteral("select first 1 name from tbVmModel where isTrevalo = 1");
  for (auto _ : state) {
    WireValue v = client.selectValue(sql, 30);
    if (v.isNull()) state.SkipWithError("no value");
  }
  client.close();
  office.stop();
}
BENCHMARK(BM_SelectValueRoundTripSim)->Unit(benchmark::kMicrosecond);

// Baseline: 16 bytes to an echo thread and back.
void BM_BareTcpEchoRoundTrip(benchmark::State& state) {
  plat::TcpServer listener;
  listener.listen();
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    auto peer = listener.accept(5000);
    if (!peer) return;
    char buf[64];
    while (!stop.load()) {
      try {
        int n = peer->read(buf, sizeof buf, 50);
        if (n > 0) peer->write(buf, n);
      } catch (...) {
        return;
      }
    }
  });
  plat::TcpClient c;
  c.connect(QStringLiteral("127.0.0.1"), listener.port(), 5000);
  const QByteArray msg(16, 'x');
  char buf[16];
  for (auto _ : state) {
    c.write(msg);
    int got = 0;
    while (got < 16) got += c.read(buf + got, 16 - got, 1000);
  }
  stop = true;
  c.close();
  echo.join();
}
BENCHMARK(BM_BareTcpEchoRoundTrip)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
