// Resident memory of the kiosk over many sales: the crash test's kiosk with
// its scripted customer (vekta-crashtest kiosk --sales N), who buys water and
// a croissant by card on the Vendotek simulator, sale after sale, against the
// stand-in back office with its demo seed, offscreen at 1920x1080. The
// process reports its VmRSS as the home screen comes back after each sale.
//
// The figure is the RSS after the last sale; its baseline is the RSS after
// the first sale of the same run, so the ratio is what the sales in between
// left behind. VEKTA_BENCH_SALES sets the number of sales (default 200);
// VEKTA_BENCH_RSS_CURVE names a file for the whole curve, one "sale rss_kB"
// line per sale.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>

#include "bench/KioskProcess.h"
#include "testbed/SimHandlers.h"

namespace {

using namespace benchkit;

int salesWanted() {
  const char* s = std::getenv("VEKTA_BENCH_SALES");
  const int n = s ? std::atoi(s) : 0;
  return n > 0 ? n : 200;
}

// Each sale takes a few seconds; a sale that never ends is a failure.
constexpr int kSaleLimitMs = 120000;

void BM_KioskRssOverSales(benchmark::State& state) {
  QTemporaryDir office;
  sim::BackofficeSim backoffice(office.filePath(QStringLiteral("backoffice.db")), true);
  // The thanks screen's shortest stay, as in the crash test.
  backoffice.db().exec(QStringLiteral("update tbVmSettings set vekta_qr_code_delay = 3"));
  backoffice.start();
  const int wanted = salesWanted();
  for (auto _ : state) {
    KioskFolders kiosk(backoffice.port());
    QProcess p;
    p.setProcessEnvironment(kiosk.environment());
    p.setStandardErrorFile(QProcess::nullDevice());  // offscreen notices
    p.start(QStringLiteral(VEKTA_BIN_DIR "/vekta-crashtest"),
            {QStringLiteral("kiosk"), QStringLiteral("--port"), QString::number(backoffice.port()),
             QStringLiteral("--sales"), QString::number(wanted)});
    QList<long long> rss;
    QString curve;
    while (rss.size() < wanted && p.waitForReadyRead(kSaleLimitMs)) {
      while (p.canReadLine()) {
        const QList<QByteArray> words = p.readLine().trimmed().split(' ');
        if (words.size() != 4 || words[0] != "sale") continue;
        rss << words[3].toLongLong();
        curve += QStringLiteral("%1 %2\n").arg(rss.size()).arg(rss.last());
      }
    }
    if (!p.waitForFinished(60000)) endProcess(p);
    const QString curveFile = qEnvironmentVariable("VEKTA_BENCH_RSS_CURVE");
    if (!curveFile.isEmpty()) {
      QFile f(curveFile);
      if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(curve.toUtf8());
    }
    if (rss.size() < wanted) {
      state.SkipWithError("the customer did not finish the sales");
      break;
    }
    state.SetIterationTime(1);
    state.counters["sales"] = double(rss.size());
    state.counters["rss_first_MB"] = double(rss.first()) / 1024.0;
    state.counters["rss_MB"] = double(rss.last()) / 1024.0;
    long long peak = 0;
    for (long long r : rss) peak = std::max(peak, r);
    state.counters["rss_peak_MB"] = double(peak) / 1024.0;
  }
  backoffice.stop();
}

BENCHMARK(BM_KioskRssOverSales)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
