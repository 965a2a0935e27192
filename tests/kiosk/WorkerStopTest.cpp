// Every back-office worker of the kiosk, stopped while it waits on a server
// that accepts the connection and never answers: the stop must break the
// socket wait off at once. The clock stands still, so without that the wait
// would never end; a worker that is not back within the limit is released by
// moving the clock on, and the case fails.

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
#include "kiosk/LogThread.h"
#include "kiosk/PushThread.h"
#include "kiosk/SoftwareUpdate.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "support/SilentServer.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

void settings(TJClient& client, int port) {
  client.setHost(QStringLiteral("127.0.0.1"));
  client.setPort(port);
  client.setLogin(QStringLiteral("kiosk"));
  client.setPassword(QStringLiteral("pw"));
  client.setServerType(QStringLiteral("DR"));
  client.setShowProgress(false);
}

// Creates and starts a worker that talks to the server on port; the worker
// is stopped and joined when the returned object goes.
using StartWorker = std::function<std::shared_ptr<void>(int port, const QString& dataFolder)>;

TEST(WorkerStop, AStopBreaksOffTheWaitForASilentServer) {
  const struct {
    const char* name;
    StartWorker start;
  } cases[] = {
      {"event log",
       [](int port, const QString& data) {
         TLogThreadContext ctx;
         ctx.dataFolder = data;
         ctx.synchronize = [port](TJClient& client, TLogPass& pass) {
           settings(client, port);
           pass.vm_id = 5;
           pass.terminal_id = 9;
         };
         auto w = std::make_shared<TLogThread>(ctx);
         w->add(evProgramStarted, QString());
         w->start();
         return std::shared_ptr<void>(w);
       }},
      {"audit upload",
       [](int port, const QString& data) {
         saveAuditFile(data, QDateTime(QDate(2025, 3, 10), QTime(8, 0)), arTimetable,
                       buildAuditLines("1", "M", 10, {}, {}));
         TUploadingContext ctx;
         ctx.dataFolder = data;
         ctx.synchronize = [port](TJClient& client, TUploadPass& pass) {
           settings(client, port);
           pass.vm_id = qint64(5);
           pass.terminal_id = qint64(9);
         };
         auto w = std::make_shared<TUploadingThread>(ctx);
         w->start();
         return std::shared_ptr<void>(w);
       }},
      {"wallpaper download",
       [](int port, const QString& data) {
         TWallpaperThreadContext ctx;
         ctx.dataFolder = data;
         ctx.synchronize = [port](TJClient& client, QStringList& files) {
           settings(client, port);
           files = QStringList{QStringLiteral("a.jpg")};
         };
         auto w = std::make_shared<TWallpaperThread>(ctx);
         w->start();
         return std::shared_ptr<void>(w);
       }},
      {"push channel",
       [](int port, const QString&) {
         TPushContext ctx;
         ctx.synchronize = [port](TJClient& client, qint64& vm_id) {
           settings(client, port);
           vm_id = 5;
         };
         auto w = std::make_shared<TTrevaloThread>(ctx);
         w->start();
         return std::shared_ptr<void>(w);
       }},
      {"software update",
       [](int port, const QString& data) {
         TSoftwareUpdateContext ctx;
         ctx.programPath = QDir(data).filePath(QStringLiteral("vekta"));
         plat::writeFileAtomic(ctx.programPath, "old program");
         ctx.synchronize = [port](TJClient& client) { settings(client, port); };
         auto w = std::make_shared<TSoftwareUpdateThread>(ctx);
         w->start();
         return std::shared_ptr<void>(w);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    plat::ManualClock clock;
    plat::setClock(&clock);
    QTemporaryDir data;
    testkit::SilentServer server;
    std::shared_ptr<void> worker = c.start(server.port(), data.path());
    // The worker hands over to this thread before it connects.
    ASSERT_TRUE(testkit::waitUntil([&] { return server.accepted() >= 1; }, 20s));
    auto stopped = std::async(std::launch::async, [&worker] { worker.reset(); });
    const bool inTime = stopped.wait_for(20s) == std::future_status::ready;
    EXPECT_TRUE(inTime) << "the stop waited for the server";
    while (stopped.wait_for(10ms) != std::future_status::ready) clock.advance(60'000);
    plat::setClock(nullptr);
  }
}

}  // namespace
