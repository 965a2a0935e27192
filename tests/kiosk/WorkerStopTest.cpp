// Every back-office worker of the kiosk, stopped while it waits on a server
// that accepts the connection and never answers, or on a name server that
// never answers the lookup of the server's host name: the stop must break
// the wait off at once. The clock stands still, so without that the wait
// would never end; a worker that is not back within the limit is released by
// moving the clock on (and the name server by answering), and the case fails.

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <future>
#include <memory>

#include "backoffice/JClient.h"
#include "kiosk/Audit.h"
#include "kiosk/BackgroundThreads.h"
#include "kiosk/ClientInterrupt.h"
#include "kiosk/LogThread.h"
#include "kiosk/PushThread.h"
#include "kiosk/SoftwareUpdate.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "support/SilentServer.h"
#include "support/StallingResolver.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

// A host name that only the stalling name server is asked about.
const QString kHostName = QStringLiteral("backoffice.kiosk.test");

void settings(TJClient& client, const QString& host, int port) {
  client.setHost(host);
  client.setPort(port);
  client.setLogin(QStringLiteral("kiosk"));
  client.setPassword(QStringLiteral("pw"));
  client.setServerType(QStringLiteral("DR"));
  client.setShowProgress(false);
}

// Creates and starts a worker that talks to the server on host:port; the
// worker is stopped and joined when the returned object goes.
using StartWorker =
    std::function<std::shared_ptr<void>(const QString& host, int port, const QString& dataFolder)>;

TEST(WorkerStop, AStopBreaksOffTheWaitForASilentServer) {
  const struct {
    const char* name;
    StartWorker start;
  } cases[] = {
      {"event log",
       [](const QString& host, int port, const QString& data) {
         TLogThreadContext ctx;
         ctx.dataFolder = data;
         ctx.synchronize = [host, port](TJClient& client, TLogPass& pass) {
           settings(client, host, port);
           pass.vm_id = 5;
           pass.terminal_id = 9;
         };
         auto w = std::make_shared<TLogThread>(ctx);
         w->add(evProgramStarted, QString());
         w->start();
         return std::shared_ptr<void>(w);
       }},
      {"audit upload",
       [](const QString& host, int port, const QString& data) {
         saveAuditFile(data, QDateTime(QDate(2025, 3, 10), QTime(8, 0)), arTimetable,
                       buildAuditLines("1", "M", 10, {}, {}));
         TUploadingContext ctx;
         ctx.dataFolder = data;
         ctx.synchronize = [host, port](TJClient& client, TUploadPass& pass) {
           settings(client, host, port);
           pass.vm_id = qint64(5);
           pass.terminal_id = qint64(9);
         };
         auto w = std::make_shared<TUploadingThread>(ctx);
         w->start();
         return std::shared_ptr<void>(w);
       }},
      {"wallpaper download",
       [](const QString& host, int port, const QString& data) {
         TWallpaperThreadContext ctx;
         ctx.dataFolder = data;
         ctx.synchronize = [host, port](TJClient& client, QStringList& files) {
           settings(client, host, port);
           files = QStringList{QStringLiteral("a.jpg")};
         };
         auto w = std::make_shared<TWallpaperThread>(ctx);
         w->start();
         return std::shared_ptr<void>(w);
       }},
      {"push channel",
       [](const QString& host, int port, const QString&) {
         TPushContext ctx;
         ctx.synchronize = [host, port](TJClient& client, qint64& vm_id) {
           settings(client, host, port);
           vm_id = 5;
         };
         auto w = std::make_shared<TTrevaloThread>(ctx);
         w->start();
         return std::shared_ptr<void>(w);
       }},
      {"software update",
       [](const QString& host, int port, const QString& data) {
         TSoftwareUpdateContext ctx;
         ctx.programPath = QDir(data).filePath(QStringLiteral("vekta"));
         plat::writeFileAtomic(ctx.programPath, "old program");
         ctx.synchronize = [host, port](TJClient& client) { settings(client, host, port); };
         ctx.report = [](const QString&) {};
         auto w = std::make_shared<TSoftwareUpdateThread>(ctx);
         w->start();
         return std::shared_ptr<void>(w);
       }},
  };
  for (const auto& c : cases) {
    for (const bool byName : {false, true}) {
      SCOPED_TRACE(c.name);
      SCOPED_TRACE(byName ? "silent name server" : "silent back office");
      plat::ManualClock clock;
      plat::setClock(&clock);
      auto resolver = std::make_shared<testkit::StallingResolver>();
      testkit::ResolverScope resolverScope(resolver);
      QTemporaryDir data;
      testkit::SilentServer server;
      std::shared_ptr<void> worker =
          c.start(byName ? kHostName : QStringLiteral("127.0.0.1"), server.port(), data.path());
      // The worker hands over to this thread before it connects.
      ASSERT_TRUE(testkit::waitUntil(
          [&] { return byName ? resolver->started() >= 1 : server.accepted() >= 1; }, 20s));
      auto stopped = std::async(std::launch::async, [&worker] { worker.reset(); });
      const bool inTime = stopped.wait_for(20s) == std::future_status::ready;
      EXPECT_TRUE(inTime) << "the stop waited for the server";
      resolver->release();
      while (stopped.wait_for(10ms) != std::future_status::ready) clock.advance(60'000);
      plat::setClock(nullptr);
    }
  }
}

// The close's mark of the terminal as disconnected, with the back office
// given by name: its name lookup is one more wait of the call, and the
// call's deadline breaks it off like the others.
TEST(WorkerStop, TheTerminalMarkEndsAtItsDeadlineWhileTheNameServerIsSilent) {
  plat::ManualClock clock;
  plat::setClock(&clock);
  auto resolver = std::make_shared<testkit::StallingResolver>();
  testkit::ResolverScope resolverScope(resolver);
  TJClient client;
  settings(client, kHostName, 4000);
  auto marked = std::async(std::launch::async, [&] {
    TClientDeadline deadline(client, 3'000);
    client.updateRec(QStringLiteral("tbTerminal"), QStringLiteral("id,isConnected"),
                     WireValue(TVariantArray{WireValue(9), WireValue(0)}), 3);
  });
  ASSERT_TRUE(testkit::waitUntil([&] { return resolver->started() >= 1; }, 20s));
  clock.advance(3'001);
  EXPECT_EQ(marked.wait_for(20s), std::future_status::ready) << "the mark outlived its deadline";
  resolver->release();
  while (marked.wait_for(10ms) != std::future_status::ready) clock.advance(60'000);
  EXPECT_ANY_THROW(marked.get());
  plat::setClock(nullptr);
}

}  // namespace
