// Draining the event queue into the stand-in back office on loopback, against
// the same number of bare insertRec round trips of the same rows. The ratio
// is what the queue adds per event: its files, lsln and the passes. The
// drain's counters say where its time goes (milliseconds per run, summed
// over the worker's steps; the server's work is inside upload_ms).

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
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
// A drain that makes no progress for this long has stopped; the bench says so
// rather than wait forever.
constexpr qint64 kStallMs = 60'000;
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

// The worker's figures over the drain runs, what the start did left out.
TLogDrainStats drainSteps;
int drainRuns = 0;

void add(TLogDrainStats& sum, const TLogDrainStats& end, const TLogDrainStats& start) {
  sum.passes += end.passes - start.passes;
  sum.handOverUs += end.handOverUs - start.handOverUs;
  sum.batches += end.batches - start.batches;
  sum.rowByRow += end.rowByRow - start.rowByRow;
  sum.rows += end.rows - start.rows;
  sum.uploadUs += end.uploadUs - start.uploadUs;
  sum.lastSentUs += end.lastSentUs - start.lastSentUs;
  sum.removeUs += end.removeUs - start.removeUs;
  sum.loadUs += end.loadUs - start.loadUs;
  sum.listings += end.listings - start.listings;
  sum.listUs += end.listUs - start.listUs;
}

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
  drainSteps = {};
  drainRuns = 0;
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
    state.ResumeTiming();

    log->start();
    // The worker may queue events of its own behind ours (the first pass
    // reports the equipment's error codes cleared), so lsln can pass the
    // last of ours between two looks: wait until it is at or past it.
    QElapsedTimer quiet;
    quiet.start();
    QByteArray seen;
    for (;;) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      QFile f(lsln);
      const QByteArray now = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
      if (now.toLongLong() >= kEvents) break;
      if (now != seen) {
        seen = now;
        quiet.restart();
      }
      if (failed) {
        state.SkipWithError("the queue logged a failure");
        break;
      }
      if (quiet.elapsed() > kStallMs) {
        state.SkipWithError("the drain stopped short of the last event");
        break;
      }
    }

    state.PauseTiming();
    log->stop();
    const TLogDrainStats s = log->drainStats();
    log.reset();
    state.ResumeTiming();
    add(drainSteps, s, restored);
    ++drainRuns;
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
}

// Where the drain's time went, one row per step of its worker, from the
// drain just run: milliseconds per 10,000 events. The server's own work is
// inside the upload. (Rows rather than counters: the CSV output wants the
// same counters on every row.)
void BM_DrainStep(benchmark::State& state, qint64 TLogDrainStats::*step) {
  if (drainRuns == 0) {
    state.SkipWithError("needs BM_DrainEventQueue in the same run");
    return;
  }
  for (auto _ : state) state.SetIterationTime(double(drainSteps.*step) / 1e6 / double(drainRuns));
  if (step == &TLogDrainStats::uploadUs) {
    const double runs = double(drainRuns);
    state.SetLabel(QStringLiteral("%1 batches, %2 row by row, %3 passes, %4 listings per run")
                       .arg(double(drainSteps.batches) / runs)
                       .arg(double(drainSteps.rowByRow) / runs)
                       .arg(double(drainSteps.passes) / runs)
                       .arg(double(drainSteps.listings) / runs)
                       .toStdString());
  }
}

BENCHMARK(BM_BareInsertRec)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_DrainEventQueue)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK_CAPTURE(BM_DrainStep, upload, &TLogDrainStats::uploadUs)
    ->Name("BM_DrainStepUpload")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DrainStep, lsln, &TLogDrainStats::lastSentUs)
    ->Name("BM_DrainStepLsln")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DrainStep, remove, &TLogDrainStats::removeUs)
    ->Name("BM_DrainStepRemove")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DrainStep, load, &TLogDrainStats::loadUs)
    ->Name("BM_DrainStepLoad")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DrainStep, list, &TLogDrainStats::listUs)
    ->Name("BM_DrainStepList")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DrainStep, handover, &TLogDrainStats::handOverUs)
    ->Name("BM_DrainStepHandOver")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

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
