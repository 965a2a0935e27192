// SIGTERM while the main thread waits in a back-office call: the kiosk's
// configuration cycle runs on the main thread, which sees the signal only
// between two calls, so the signal must end the call's wait itself. Here the
// back office is given by name and the name server never answers.

#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <thread>

#include "backoffice/JClient.h"
#include "kiosk/Main.h"
#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "platform/SingleInstance.h"
#include "support/StallingResolver.h"
#include "support/WaitUntil.h"
#include "tests/support/KioskHooksStub.h"

namespace {

using namespace std::chrono_literals;

TEST(ShutdownSignal, EndsTheMainThreadsWaitForASilentNameServer) {
  QTemporaryDir data, runtime;
  qputenv("VEKTA_DATA_DIR", data.path().toUtf8());
  qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
  testkit::StubKioskHooks hooks;
  {
    TSettingsStorage ss;
    writeText(ss, SettingsKeys::host, QStringLiteral("backoffice.kiosk.test"));
    writeInt(ss, SettingsKeys::port, 4000);
    writeText(ss, SettingsKeys::login, QStringLiteral("demo"));
    ASSERT_EQ(ss.SaveToIniFile(data.filePath(QStringLiteral("vekta.ini"))).error.toStdString(), "");
  }
  auto resolver = std::make_shared<testkit::StallingResolver>();
  testkit::ResolverScope scope(resolver);

  TfmMain form;
  ASSERT_FALSE(form.terminateRequested());
  form.installShutdownSignals();
  form.show();
  // Only the signal can end the cycle's connect, not its own time-out.
  form.JClient->setConnectTimeoutMs(600'000);

  // Watches from beside the main thread, which the configuration cycle holds:
  // once the cycle waits for the name, SIGTERM, then the one-copy lock. A
  // close that is not done within the limit is released by the name server
  // answering, and the case fails.
  std::atomic<bool> done{false}, waitedForTheNameServer{false};
  std::thread watcher([&] {
    const auto limit = std::chrono::steady_clock::now() + 20s;
    while (resolver->started() == 0 && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(5ms);
    ::kill(::getpid(), SIGTERM);
    plat::SingleInstanceLock successor(QLatin1String(TfmMain::kInstanceName));
    while (!successor.tryLock() && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(5ms);
    if (!successor.isLocked()) {
      waitedForTheNameServer = true;
      resolver->release();
    }
    done = true;
  });
  EXPECT_TRUE(testkit::waitUntil([&] { return done.load(); }, 60s));
  watcher.join();
  EXPECT_GE(resolver->started(), 1) << "the cycle never looked the name up";
  EXPECT_FALSE(waitedForTheNameServer) << "the close waited for the name server";
  resolver->release();
  qunsetenv("VEKTA_DATA_DIR");
  qunsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
