// Start-up of the kiosk program to its home screen from the cached
// configuration (the back office is gone), against a bare Qt window shown by
// a program started the same way. Both are whole processes, offscreen, timed
// from the start of the process until it reports its window shown; the ratio
// is what the kiosk adds to what any Qt program costs.
//
// The baseline is this program itself, started with --bare-window FILE: it
// shows one QWidget, writes a line to FILE when shown and ends.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "platform/TextCodec.h"
#include "testbed/SimHandlers.h"

namespace {

const char* const kShownLine = "shown";

// --- the baseline program ------------------------------------------------------

class BareWindow : public QWidget {
 public:
  explicit BareWindow(QString marker) : marker_(std::move(marker)) { resize(800, 600); }

 protected:
  void showEvent(QShowEvent* e) override {
    QWidget::showEvent(e);
    QFile f(marker_);
    if (f.open(QIODevice::WriteOnly | QIODevice::Append)) f.write(kShownLine);
    f.close();
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
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

// --- timing one start ----------------------------------------------------------

QProcessEnvironment offscreenEnvironment() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  return env;
}

// Starts the program and returns the seconds until the file holds the
// needle; negative when it never did.
double timeUntilShown(QProcess& p, const QString& program, const QStringList& args,
                      const QString& file, const QByteArray& needle) {
  QFile::remove(file);
  QElapsedTimer timer;
  timer.start();
  p.start(program, args);
  QDeadlineTimer deadline(60000);
  while (!deadline.hasExpired()) {
    QFile f(file);
    if (f.open(QIODevice::ReadOnly) && f.readAll().contains(needle))
      return double(timer.nsecsElapsed()) / 1e9;
    QThread::usleep(500);
  }
  return -1;
}

// --- the kiosk and its cache ---------------------------------------------------

const QString kHomeScreen = QStringLiteral("Открыта главная страница");

// A data folder from which the kiosk starts on its cache: one start against
// the stand-in back office with its demo seed registers the kiosk and writes
// the cache; then the back office goes away.
class CachedKiosk {
 public:
  CachedKiosk() {
    env_ = offscreenEnvironment();
    env_.insert(QStringLiteral("VEKTA_DATA_DIR"), data_.path());
    env_.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime_.path());
    env_.insert(QStringLiteral("VEKTA_PORTS_DIR"), ports_.path());
    env_.insert(QStringLiteral("VEKTA_OSK_COMMAND"), QStringLiteral("true"));

    sim::BackofficeSim office(office_.filePath(QStringLiteral("backoffice.db")), true);
    office.start();
    TSettingsStorage ss;
    writeText(ss, SettingsKeys::host, QStringLiteral("127.0.0.1"));
    writeInt(ss, SettingsKeys::port, office.port());
    writeText(ss, SettingsKeys::login, QStringLiteral("demo"));
    writePassword(ss, SettingsKeys::password, QStringLiteral("demo"));
    ss.SaveToIniFile(data_.filePath(QStringLiteral("vekta.ini")));
    ready_ = start() > 0;
    office.stop();
  }

  bool ready() const { return ready_; }

  // One start to the home screen; the kiosk is closed again afterwards.
  double start() {
    QProcess p;
    p.setProcessEnvironment(env_);
    p.setStandardOutputFile(QProcess::nullDevice());  // offscreen notices
    p.setStandardErrorFile(QProcess::nullDevice());
    const double s =
        timeUntilShown(p, QStringLiteral(VEKTA_BIN_DIR "/vekta"), {},
                       data_.filePath(QStringLiteral("vekta.log")), kHomeScreen.toUtf8());
    if (p.state() != QProcess::NotRunning) {
      ::kill(pid_t(p.processId()), SIGTERM);
      if (!p.waitForFinished(30000)) p.kill();
      p.waitForFinished(5000);
    }
    return s;
  }

 private:
  QTemporaryDir data_, runtime_, ports_, office_;
  QProcessEnvironment env_;
  bool ready_ = false;
};

void BM_BareQtWindowShown(benchmark::State& state) {
  QTemporaryDir dir;
  const QString marker = dir.filePath(QStringLiteral("shown"));
  for (auto _ : state) {
    QProcess p;
    p.setProcessEnvironment(offscreenEnvironment());
    const double s =
        timeUntilShown(p, QCoreApplication::applicationFilePath(),
                       {QStringLiteral("--bare-window"), marker}, marker, QByteArray(kShownLine));
    p.waitForFinished(30000);
    if (s < 0) {
      state.SkipWithError("the window was not shown");
      break;
    }
    state.SetIterationTime(s);
  }
}

void BM_KioskStartupToHomeScreenFromCache(benchmark::State& state) {
  CachedKiosk kiosk;
  if (!kiosk.ready()) {
    state.SkipWithError("the kiosk did not reach its home screen against the back office");
    return;
  }
  for (auto _ : state) {
    const double s = kiosk.start();
    if (s < 0) {
      state.SkipWithError("the kiosk did not reach its home screen from the cache");
      break;
    }
    state.SetIterationTime(s);
  }
}

BENCHMARK(BM_BareQtWindowShown)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_KioskStartupToHomeScreenFromCache)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

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
