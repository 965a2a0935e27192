#include "platform/MainThread.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <memory>
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

// A worker's plain data reaches the closure it posts: ThreadSanitizer sees the
// hand-over through Qt's queue as one (a report here under scripts/tsan means
// the hand-over lost its happens-before mark).
TEST(PostTo, TheMainThreadSeesWhatTheWorkerWroteBeforeItPosted) {
  struct Batch {
    int count = 0;
    QString text;
  };
  auto batch = std::make_shared<Batch>();
  std::atomic<bool> seen{false};
  int count = 0;
  QString text;
  std::thread worker([&, batch] {
    batch->count = 42;
    batch->text = QStringLiteral("сорок два");
    plat::postToMain([&, batch] {
      count = batch->count;
      text = batch->text;
      seen = true;
    });
  });
  QElapsedTimer t;
  t.start();
  while (!seen && t.elapsed() < 5000) QCoreApplication::processEvents();
  worker.join();
  EXPECT_EQ(count, 42);
  EXPECT_EQ(text, QStringLiteral("сорок два"));
}

TEST(PostTo, AClosureForAnObjectDeletedFirstIsFreedUnrun) {
  auto receiver = std::make_unique<QObject>();
  auto held = std::make_shared<int>(0);
  bool ran = false;
  std::thread worker([&, held] { plat::postTo(receiver.get(), [&ran, held] { ran = true; }); });
  worker.join();
  receiver.reset();
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
  EXPECT_EQ(held.use_count(), 1);  // the closure and what it held are gone
}
