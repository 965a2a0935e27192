#include "platform/MainThread.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <thread>

TEST(RunOnMain, RunsOnTheMainThreadAndWaits) {
  bool ranOnMain = false;
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    plat::runOnMain([&] { ranOnMain = plat::isMainThread(); });
    finished = true;
  });
  QElapsedTimer t;
  t.start();
  while (!finished && t.elapsed() < 5000) QCoreApplication::processEvents();
  worker.join();
  EXPECT_TRUE(ranOnMain);
}

TEST(RunOnMain, RefusesOnceStopIsRequestedSoTheMainThreadCanJoin) {
  std::atomic<bool> stop{false};
  bool ran = false;
  bool result = true;
  std::thread worker([&] { result = plat::runOnMain([&] { ran = true; }, &stop); });
  stop = true;
  worker.join();  // the main thread never pumps events here
  QCoreApplication::processEvents();
  EXPECT_FALSE(result);
  EXPECT_FALSE(ran);
}
