// The event queue of a kiosk alone, for the kill test of its drain:
//
//   vekta_log_drain_probe <data folder> <port> <tag>
//
// queues three events whose texts carry the tag, then drains the queue into
// the back office on 127.0.0.1:<port> until it is empty, and exits 0. The
// test kills it with SIGKILL at any point on the way.

#include <QCoreApplication>
#include <QDir>
#include <QTimer>
#include <cstdio>
#include <memory>

#include "backoffice/JClient.h"
#include "kiosk/LogThread.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = app.arguments();
  if (args.size() != 4) {
    std::fprintf(stderr, "usage: vekta_log_drain_probe <data folder> <port> <tag>\n");
    return 2;
  }
  const QString dataFolder = args[1];
  const QString tag = args[3];

  TJClient settings;
  settings.setHost(QStringLiteral("127.0.0.1"));
  settings.setPort(args[2].toInt());
  settings.setLogin(QStringLiteral("kiosk"));
  settings.setPassword(QStringLiteral("pw"));
  settings.setServerType(QStringLiteral("DR"));
  settings.setApplicationID(QStringLiteral("vekta"));

  int failures = 0;
  TLogThreadContext ctx;
  ctx.dataFolder = dataFolder;
  ctx.synchronize = [&](TJClient& client, TLogPass& pass) {
    client.Assign(settings);
    pass.vm_id = 5;
    pass.terminal_id = 9;
    pass.evaErrorCodes = QStringLiteral("ZM1");
  };
  ctx.log = [&](const QString& line) {
    ++failures;
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
  };
  auto log = std::make_unique<TLogThread>(ctx);
  for (int i = 1; i <= 3; ++i) log->add(evInformation, tag + QStringLiteral(" %1").arg(i));
  log->start();

  // Done when nothing waits in memory or in the folder.
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (log->queuedCount() == 0 && log->waitingOnDiskCount() == 0 &&
        QDir(dataFolder + QStringLiteral("/Log")).entryList(QDir::Files).isEmpty())
      app.exit(failures == 0 ? 0 : 1);
  });
  poll.start(5);
  const int rc = app.exec();
  log->stop();
  return rc;
}
