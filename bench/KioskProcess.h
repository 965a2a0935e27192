#pragma once
// A Qt program as a child process of a benchmark: the kiosk program (or the
// benchmark itself as a bare Qt window, the baseline), offscreen, with data,
// runtime and ports folders of its own and a settings file that names a back
// office on loopback; and what a benchmark reads of such a process from
// /proc while it runs.

#include <unistd.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <csignal>
#include <cstring>
#include <functional>
#include <utility>

#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "platform/Exception.h"

namespace benchkit {

// The kiosk's log line for its home screen shown.
inline const QString kHomeScreenLine = QStringLiteral("Открыта главная страница");

inline QProcessEnvironment offscreenEnvironment() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  return env;
}

// VEKTA_KIOSK names another kiosk program to measure (an older build, for a
// before/after figure); otherwise the one built beside the benchmark.
inline QString kioskProgram() {
  const QString custom = qEnvironmentVariable("VEKTA_KIOSK");
#ifdef VEKTA_BIN_DIR
  return custom.isEmpty() ? QStringLiteral(VEKTA_BIN_DIR "/vekta") : custom;
#else
  return custom;
#endif
}

// A kiosk's own folders and the settings file that makes it log in to the
// demo back office on host:port (127.0.0.1 unless named).
class KioskFolders {
 public:
  explicit KioskFolders(int port, QString host = QStringLiteral("127.0.0.1"))
      : host_(std::move(host)) {
    writeSettings(port);
  }

  void writeSettings(int port) const {
    TSettingsStorage ss;
    writeText(ss, SettingsKeys::host, host_);
    writeInt(ss, SettingsKeys::port, port);
    writeText(ss, SettingsKeys::login, QStringLiteral("demo"));
    writePassword(ss, SettingsKeys::password, QStringLiteral("demo"));
    if (const auto saved = ss.SaveToIniFile(data.filePath(QStringLiteral("vekta.ini"))); !saved)
      throw EFileError(saved.error);
  }

  QProcessEnvironment environment() const {
    QProcessEnvironment env = offscreenEnvironment();
    env.insert(QStringLiteral("VEKTA_DATA_DIR"), data.path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    env.insert(QStringLiteral("VEKTA_PORTS_DIR"), ports.path());
    env.insert(QStringLiteral("VEKTA_OSK_COMMAND"), QStringLiteral("true"));
    return env;
  }

  QString logFile() const { return data.filePath(QStringLiteral("vekta.log")); }

  // A process set up to run as this kiosk, its console output dropped (the
  // offscreen platform's notices).
  void prepare(QProcess& p) const {
    p.setProcessEnvironment(environment());
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
  }

  QTemporaryDir data, runtime, ports;

 private:
  QString host_;
};

// How often the file holds the needle; 0 when it cannot be read.
inline int countInFile(const QString& file, const QByteArray& needle) {
  QFile f(file);
  return f.open(QIODevice::ReadOnly) ? int(f.readAll().count(needle)) : 0;
}

// Waits until the file holds the needle more than `before` times, while the
// process runs. False when the process ended or the time ran out.
inline bool waitForLine(const QString& file, const QByteArray& needle, const QProcess& p,
                        int before = 0, int timeoutMs = 60000) {
  QDeadlineTimer deadline(timeoutMs);
  while (!deadline.hasExpired() && p.state() != QProcess::NotRunning) {
    if (countInFile(file, needle) > before) return true;
    QThread::msleep(5);
  }
  return false;
}

// SIGTERM, as a shutdown ends the kiosk; SIGKILL when it has not ended
// within 30 s.
inline void endProcess(QProcess& p) {
  if (p.state() == QProcess::NotRunning) return;
  ::kill(pid_t(p.processId()), SIGTERM);
  if (!p.waitForFinished(30000)) p.kill();
  p.waitForFinished(5000);
}

// utime + stime of the process, in clock ticks; -1 when unreadable.
inline long long cpuTicks(qint64 pid) {
  QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!f.open(QIODevice::ReadOnly)) return -1;
  const QByteArray line = f.readAll();
  // The command name may hold spaces: fields count from the last ')'.
  const QList<QByteArray> rest = line.mid(line.lastIndexOf(')') + 2).split(' ');
  if (rest.size() < 13) return -1;
  return rest[11].toLongLong() + rest[12].toLongLong();  // fields 14 and 15
}

inline double cpuSecondsOf(long long ticks) {
  return double(ticks) / double(sysconf(_SC_CLK_TCK));
}

// VmRSS of the process in kB; -1 when unreadable. 0 reads this process.
inline long long rssKb(qint64 pid = 0) {
  QFile f(pid ? QStringLiteral("/proc/%1/status").arg(pid) : QStringLiteral("/proc/self/status"));
  if (!f.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : f.readAll().split('\n'))
    if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLongLong();
  return -1;
}

// --- the baseline: the benchmark program itself as a bare Qt window ----------

// benchmark --bare-window FILE: shows one QWidget of the given size, appends
// kShownLine to FILE when shown, then quits at once or stays open.
inline const char* const kBareWindowArg = "--bare-window";
inline const char* const kShownLine = "shown";

inline bool isBareWindowCall(int argc, char** argv) {
  return argc == 3 && std::strcmp(argv[1], kBareWindowArg) == 0;
}

inline int runBareWindow(int argc, char** argv, QSize size, bool quitWhenShown) {
  class BareWindow : public QWidget {
   public:
    BareWindow(QString marker, bool quit) : marker_(std::move(marker)), quit_(quit) {}

   protected:
    void showEvent(QShowEvent* e) override {
      QWidget::showEvent(e);
      QFile f(marker_);
      if (f.open(QIODevice::WriteOnly | QIODevice::Append)) f.write(kShownLine);
      f.close();
      if (quit_) QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    }

   private:
    QString marker_;
    bool quit_;
  };
  QApplication app(argc, argv);
  BareWindow w(QString::fromLocal8Bit(argv[2]), quitWhenShown);
  w.resize(size);
  w.show();
  return QApplication::exec();
}

// Starts the bare window in a process of its own.
inline void startBareWindow(QProcess& p, const QString& marker) {
  p.setProcessEnvironment(offscreenEnvironment());
  p.start(QCoreApplication::applicationFilePath(), {QLatin1String(kBareWindowArg), marker});
}

}  // namespace benchkit
