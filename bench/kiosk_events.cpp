// Draining the event queue into the stand-in back office on loopback, against
// the same number of bare insertRec round trips of the same rows. The ratio
// is what the queue adds per event: its files, lsln and the passes. The
// drain's counters say where its time goes (milliseconds per run, summed
// over the worker's steps; the server's work is inside upload_ms).

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "backoffice/JClient.h"
#include "kiosk/LogThread.h"
#include "testbed/ProtocolServer.h"
#include "testbed/SimDatabase.h"
#include "testbed/SimHandlers.h"

namespace {

constexpr int kEvents = 10'000;
const char* const kFields =
    "id,vm_id,terminal_id,event_dt,event_id,event_no,event_descr,creditSource_id,amount,cell,"
    "nomenclature_id,cardProject_id,card_no,loyaltySystem_id,loayalty_card_no,discount";

struct Sim {
  QTemporaryDir dir;
  sim::SimDatabase db{dir.filePath("bo.sqlite")};
  sim::SimHandlers handlers{db, dir.path()};
  ProtocolServer server;
  TJClient main;

  Sim() {
    db.exec("insert into tbUser(login, password, name) values ('kiosk', 'pw', 'Kiosk')");
    handlers.install(server);
    server.start();
    main.setHost("127.0.0.1");
    main.setPort(server.port());
    main.setLogin("kiosk");
    main.setPassword("pw");
    main.setServerType("DR");
    main.setApplicationID("vekta");
  }
};

TLogRecord saleRecord(quint32 no) {
  TLogRecord r;
  r.no = no;
  r.dt = QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9));
  r.event_id = evUnitSold;
  r.descr = QStringLiteral("Продажа");
  r.creditSource_id = int(csCard);
  r.amount = 45.5;
  r.cell = 12;
  r.nomenclature_id = 3001;
  return r;
}

void BM_BareInsertRec(benchmark::State& state) {
  Sim sim;
  TJClient client;
  client.Assign(sim.main);
  int terminal = 0;
  for (auto _ : state) {
    ++terminal;  // a fresh terminal each run, so no row is a duplicate
    for (quint32 no = 1; no <= quint32(kEvents); ++no) {
      const TLogRecord r = saleRecord(no);
      const TVariantArray values{WireValue(5),
                                 WireValue(terminal),
                                 WireValue::dateTime(r.dt),
                                 WireValue(r.event_id),
                                 WireValue::longWord(r.no),
                                 WireValue(r.descr),
                                 WireValue(r.creditSource_id.toInt()),
                                 WireValue(r.amount.toDouble()),
                                 WireValue(r.cell.toInt()),
                                 WireValue(r.nomenclature_id.toInt()),
                                 WireValue::null(),
                                 WireValue::null(),
                                 WireValue::null(),
                                 WireValue::null(),
                                 WireValue::null()};
      client.insertRec(QStringLiteral("tbTerminalLog"), QLatin1String(kFields), WireValue(values),
                       30);
    }
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
}

void BM_DrainEventQueue(benchmark::State& state) {
  Sim sim;
  int terminal = 100;
  qint64 handOverUs = 0, uploadUs = 0, lastSentUs = 0, removeUs = 0, loadUs = 0, listUs = 0;
  qint64 passes = 0, batches = 0, rowByRow = 0, listings = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ++terminal;
    QTemporaryDir data;
    // The queue as a restart finds it: every event waiting in its file.
    for (quint32 no = 1; no <= quint32(kEvents); ++no) {
      QFile f(data.filePath("Log/") + TLogRecord::fileNameOf(no));
      if (no == 1) QDir().mkpath(data.filePath("Log"));
      if (!f.open(QIODevice::WriteOnly)) state.SkipWithError("cannot write the queue");
      f.write(saleRecord(no).toFileBytes());
    }
    TLogThreadContext ctx;
    ctx.dataFolder = data.path();
    ctx.synchronize = [&](TJClient& client, TLogPass& pass) {
      client.Assign(sim.main);
      pass.vm_id = 5;
      pass.terminal_id = terminal;
    };
    std::atomic<bool> failed{false};
    ctx.log = [&](const QString&) { failed = true; };
    auto log = std::make_unique<TLogThread>(ctx);
    const TLogDrainStats restored = log->drainStats();  // the start's listing and first load
    const QString lsln = data.filePath("lsln");
    const QByteArray last = QByteArray::number(kEvents);
    state.ResumeTiming();

    log->start();
    for (;;) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      QFile f(lsln);
      if (f.open(QIODevice::ReadOnly) && f.readAll() == last) break;
      if (failed) {
        state.SkipWithError("the queue logged a failure");
        break;
      }
    }

    state.PauseTiming();
    log->stop();
    const TLogDrainStats s = log->drainStats();
    log.reset();
    state.ResumeTiming();
    handOverUs += s.handOverUs - restored.handOverUs;
    uploadUs += s.uploadUs - restored.uploadUs;
    lastSentUs += s.lastSentUs - restored.lastSentUs;
    removeUs += s.removeUs - restored.removeUs;
    loadUs += s.loadUs - restored.loadUs;
    listUs += s.listUs - restored.listUs;
    passes += s.passes - restored.passes;
    batches += s.batches - restored.batches;
    rowByRow += s.rowByRow - restored.rowByRow;
    listings += s.listings - restored.listings;
  }
  const double runs = double(state.iterations());
  auto ms = [&](qint64 us) { return benchmark::Counter(double(us) / 1000.0 / runs); };
  auto perRun = [&](qint64 n) { return benchmark::Counter(double(n) / runs); };
  state.counters["handover_ms"] = ms(handOverUs);
  state.counters["upload_ms"] = ms(uploadUs);
  state.counters["lsln_ms"] = ms(lastSentUs);
  state.counters["remove_ms"] = ms(removeUs);
  state.counters["load_ms"] = ms(loadUs);
  state.counters["list_ms"] = ms(listUs);
  state.counters["passes"] = perRun(passes);
  state.counters["batches"] = perRun(batches);
  state.counters["row_by_row"] = perRun(rowByRow);
  state.counters["listings"] = perRun(listings);
  state.SetItemsProcessed(state.iterations() * kEvents);
}

BENCHMARK(BM_BareInsertRec)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_DrainEventQueue)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // The queue's worker hands over to the main thread each pass.
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
