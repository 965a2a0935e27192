// The event queue as the workers that may end after the main form's close
// hold it: open, it hands events to the queue of the moment; once shut, it
// never reaches the queue again, and a shut that meets an event on its way
// in waits for it.

#include <gtest/gtest.h>

#include <QStringList>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

#include "kiosk/EventGate.h"

namespace {

using namespace std::chrono_literals;

struct Queue : IEventSink {
  void add(int id, const QString& text) override {
    std::unique_lock lock(m);
    events.emplace_back(id, text);
    inside = true;
    cv.notify_all();
    cv.wait(lock, [&] { return !hold; });
    inside = false;
  }
  std::mutex m;
  std::condition_variable cv;
  bool hold = false, inside = false;
  std::vector<std::pair<int, QString>> events;
};

TEST(EventGate, ShutByTheCloseItNeverReachesTheQueueAgain) {
  Queue queue;
  IEventSink* current = nullptr;
  int asked = 0;
  QStringList log;
  TEventGate gate(
      [&]() -> IEventSink* {
        ++asked;
        return current;
      },
      [&](const QString& line) { log << line; });

  gate.add(32, QString());  // no queue yet: dropped
  current = &queue;
  gate.add(1, QStringLiteral("Открыта"));
  EXPECT_EQ(queue.events, (std::vector<std::pair<int, QString>>{{1, QStringLiteral("Открыта")}}));
  EXPECT_TRUE(log.isEmpty());

  // A shut that meets an event on its way in returns once it is queued.
  queue.hold = true;
  auto adding = std::async(std::launch::async, [&] { gate.add(1, QStringLiteral("В пути")); });
  {
    std::unique_lock lock(queue.m);
    ASSERT_TRUE(queue.cv.wait_for(lock, 20s, [&] { return queue.inside; }));
  }
  auto shutting = std::async(std::launch::async, [&] { gate.close(); });
  EXPECT_EQ(shutting.wait_for(200ms), std::future_status::timeout) << "shut under an event";
  {
    std::lock_guard lock(queue.m);
    queue.hold = false;
  }
  queue.cv.notify_all();
  adding.get();
  shutting.get();
  EXPECT_FALSE(gate.isOpen());

  const int askedBefore = asked;
  gate.add(1, QStringLiteral("После"));
  gate.close();
  EXPECT_EQ(asked, askedBefore) << "the queue was looked at after the shut";
  EXPECT_EQ(queue.events.size(), 2u);
  ASSERT_EQ(log.size(), 1);
  EXPECT_TRUE(log[0].contains(QStringLiteral("После"))) << log[0].toStdString();
}

}  // namespace
