#pragma once
// A private copy of the bridge folder (the bridge and the stand-in bank
// library) per test: the stand-in keeps its state in files beside itself, so
// tests sharing one folder would read each other's calls.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include "platform/TextCodec.h"
#include "tests/support/ChildProcess.h"

class StubSberFolder {
 public:
  // library: the stand-in library to copy; empty for the built one beside the bridge.
  explicit StubSberFolder(const QString& library = QString()) {
    // The build's own folder when the test runner did not pass the binaries' folder.
    const QString binDir = qEnvironmentVariable("VEKTA_TEST_BIN_DIR");
    const QString bin = (binDir.isEmpty() ? QStringLiteral(VEKTA_SBER_TEST_DIR)
                                          : binDir + QStringLiteral("/sber")) +
                        u'/';
    ok_ = dir_.isValid() && QFile::copy(bin + QStringLiteral("vekta_sber"), bridge()) &&
          QFile::copy(library.isEmpty() ? bin + QStringLiteral("libpilot_nt.so") : library,
                      path(QStringLiteral("libpilot_nt.so")));
  }

  bool ok() const { return ok_; }
  QString path() const { return dir_.path(); }
  QString path(const QString& name) const { return dir_.filePath(name); }
  QString bridge() const { return path(QStringLiteral("vekta_sber")); }

  // The scenario as UTF-8 lines; texts reach the library in windows-1251 as
  // the real one would hand them over.
  void setScenario(const QString& text) const {
    write(QStringLiteral("scenario"), plat::toAnsi(text));
  }
  void removeLibrary() const { QFile::remove(path(QStringLiteral("libpilot_nt.so"))); }
  bool exists(const QString& name) const { return QFile::exists(path(name)); }

  // The library's calls so far, one entry per call; empty when it was never loaded.
  QStringList calls() const {
    QFile f(path(QStringLiteral("calls.log")));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromLatin1(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
  }
  qsizetype count(const QString& function) const {
    qsizetype n = 0;
    for (const QString& c : calls()) n += c.section(u' ', 0, 0) == function;
    return n;
  }

  // Runs the bridge with its output to a pipe, as the kiosk does; the raw bytes.
  QByteArray run(const QStringList& args,
                 const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) const {
    testkit::ChildProcess p;
    if (!p.start(bridge(), args, testkit::ChildProcess::Output::Capture, env)) return {};
    QByteArray out = p.readAll(60000);
    p.waitFinished(10000);
    return out;
  }

 private:
  void write(const QString& name, const QByteArray& bytes) const {
    QFile f(path(name));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(bytes);
  }

  QTemporaryDir dir_;
  bool ok_ = false;
};
