// The demo kiosk left alone on its home screen (offscreen) against
// the stand-in back office, against a bare Qt window of the same size left
// open the same way. Each is a whole process; once its window is shown the
// benchmark waits a moment for start-up work to settle, then reads the
// process's CPU time (/proc/<pid>/stat) over the idle period and its resident
// memory (/proc/<pid>/status) at the end.
//
// The idle period is VEKTA_BENCH_IDLE_SECONDS (default 60).
//
// The baseline is this program itself, started with --bare-window FILE: it
// shows one QWidget, writes a line to FILE when shown and stays open.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "testbed/SimHandlers.h"

namespace {

const char* const kShownLine = "shown";
constexpr int kSettleMs = 3000;

class BareWindow : public QWidget {
 public:
  explicit BareWindow(QString marker) : marker_(std::move(marker)) { resize(1920, 1080); }

 protected:
  void showEvent(QShowEvent* e) override {
    QWidget::showEvent(e);
    QFile f(marker_);
    if (f.open(QIODevice::WriteOnly | QIODevice::Append)) f.write(kShownLine);
  }

 private:
  QString marker_;
};

int runBareWindow(int argc, char** argv, const char* marker) {
  QApplication app(argc, argv);
  BareWindow w(QString::fromLocal8Bit(marker));
  w.show();
  return QApplication::exec();
}

int idleSeconds() {
  const char* s = std::getenv("VEKTA_BENCH_IDLE_SECONDS");
  const int n = s ? std::atoi(s) : 0;
  return n > 0 ? n : 60;
}

// utime + stime of the process, in clock ticks; -1 when unreadable.
long long cpuTicks(qint64 pid) {
  QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!f.open(QIODevice::ReadOnly)) return -1;
  const QByteArray line = f.readAll();
  // The command name may hold spaces: fields count from the last ')'.
  const QList<QByteArray> rest = line.mid(line.lastIndexOf(')') + 2).split(' ');
  if (rest.size() < 13) return -1;
  return rest[11].toLongLong() + rest[12].toLongLong();  // fields 14 and 15
}

// VmRSS of the process in kB; -1 when unreadable.
long long rssKb(qint64 pid) {
  QFile f(QStringLiteral("/proc/%1/status").arg(pid));
  if (!f.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : f.readAll().split('\n'))
    if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLongLong();
  return -1;
}

bool waitForLine(const QString& file, const QByteArray& needle, QProcess& p) {
  QDeadlineTimer deadline(60000);
  while (!deadline.hasExpired() && p.state() != QProcess::NotRunning) {
    QFile f(file);
    if (f.open(QIODevice::ReadOnly) && f.readAll().contains(needle)) return true;
    QThread::msleep(5);
  }
  return false;
}

// Waits until shown, lets it settle, then measures the idle period and ends
// the process. Reports the CPU as a share of one core and the RSS in MB.
void measureIdle(benchmark::State& state, QProcess& p, const QString& file,
                 const QByteArray& needle) {
  if (!waitForLine(file, needle, p)) {
    state.SkipWithError("the window was not shown");
  } else {
    QThread::msleep(kSettleMs);
    const qint64 pid = p.processId();
    const int seconds = idleSeconds();
    const long long before = cpuTicks(pid);
    QThread::sleep(seconds);
    const long long after = cpuTicks(pid);
    const long long rss = rssKb(pid);
    if (before < 0 || after < 0 || rss < 0) {
      state.SkipWithError("the process ended while idle");
    } else {
      const double cpuSeconds = double(after - before) / double(sysconf(_SC_CLK_TCK));
      state.SetIterationTime(seconds);
      state.counters["cpu_pct"] = 100.0 * cpuSeconds / seconds;
      state.counters["rss_MB"] = double(rss) / 1024.0;
    }
  }
  if (p.state() != QProcess::NotRunning) {
    ::kill(pid_t(p.processId()), SIGTERM);
    if (!p.waitForFinished(30000)) p.kill();
    p.waitForFinished(5000);
  }
}

QProcessEnvironment offscreenEnvironment() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  return env;
}

void BM_BareQtWindowIdle(benchmark::State& state) {
  QTemporaryDir dir;
  const QString marker = dir.filePath(QStringLiteral("shown"));
  for (auto _ : state) {
    QProcess p;
    p.setProcessEnvironment(offscreenEnvironment());
    p.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--bare-window"), marker});
    measureIdle(state, p, marker, QByteArray(kShownLine));
  }
}

void BM_KioskIdleOnHomeScreen(benchmark::State& state) {
  QTemporaryDir data, runtime, ports, office;
  sim::BackofficeSim backoffice(office.filePath(QStringLiteral("backoffice.db")), true);
  backoffice.start();
  TSettingsStorage ss;
  writeText(ss, SettingsKeys::host, QStringLiteral("127.0.0.1"));
  writeInt(ss, SettingsKeys::port, backoffice.port());
  writeText(ss, SettingsKeys::login, QStringLiteral("demo"));
  writePassword(ss, SettingsKeys::password, QStringLiteral("demo"));
  ss.SaveToIniFile(data.filePath(QStringLiteral("vekta.ini")));

  QProcessEnvironment env = offscreenEnvironment();
  env.insert(QStringLiteral("VEKTA_DATA_DIR"), data.path());
  env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
  env.insert(QStringLiteral("VEKTA_PORTS_DIR"), ports.path());
  env.insert(QStringLiteral("VEKTA_OSK_COMMAND"), QStringLiteral("true"));
  for (auto _ : state) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.setStandardOutputFile(QProcess::nullDevice());  // offscreen notices
    p.setStandardErrorFile(QProcess::nullDevice());
    const QString log = data.filePath(QStringLiteral("vekta.log"));
    QFile::remove(log);
    p.start(QStringLiteral(VEKTA_BIN_DIR "/vekta"), {});
    measureIdle(state, p, log, QStringLiteral("Открыта главная страница").toUtf8());
  }
  backoffice.stop();
}

BENCHMARK(BM_BareQtWindowIdle)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_KioskIdleOnHomeScreen)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--bare-window") == 0)
    return runBareWindow(argc, argv, argv[2]);
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
