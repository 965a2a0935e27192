// The TCP client's name lookup against a name server that never answers:
// the lookup must cost a connect no more than its deadline, end at once on
// an interrupt, and never be waited for once the caller gave up.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "platform/Clock.h"
#include "platform/NameLookup.h"
#include "platform/TcpClient.h"
#include "platform/TcpServer.h"
#include "tests/support/FastClock.h"
#include "tests/support/StallingResolver.h"

namespace {

using namespace std::chrono_literals;

const QString kName = QStringLiteral("backoffice.kiosk.test");

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit = 20s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// The clock stands still, so only the deadline the test reaches, or the
// interrupt, can end the connect; a lookup that holds it fails the case
// (the stall is lifted at the end, so a failing case does not hang).
TEST(NameLookup, AStalledLookupEndsAtTheCallsDeadlineAndAtOnceOnInterrupt) {
  const struct {
    const char* name;
    int64_t before;  // ms of the clock that pass first, the connect still waiting
    bool interrupt;  // then: an interrupt, or the last 2 ms to the deadline
  } cases[] = {
      {"deadline", 9'999, false},
      {"interrupt", 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    plat::ManualClock clock;
    testkit::ClockScope clockScope(&clock);
    auto resolver = std::make_shared<testkit::StallingResolver>();
    testkit::ResolverScope resolverScope(resolver);
    plat::TcpClient client;
    auto connect = std::async(std::launch::async, [&] { client.connect(kName, 4000, 10'000); });
    ASSERT_TRUE(waitFor([&] { return resolver->started() == 1; }));
    clock.advance(c.before);
    EXPECT_EQ(connect.wait_for(150ms), std::future_status::timeout) << "gave up early";
    if (c.interrupt)
      client.interrupt();
    else
      clock.advance(2);
    EXPECT_EQ(connect.wait_for(20s), std::future_status::ready)
        << "the connect waited for the name server";
    EXPECT_EQ(resolver->ended(), 0) << "the lookup itself ended first";
    resolver->release();
    if (c.interrupt)
      EXPECT_THROW(connect.get(), plat::ETcpInterrupted);
    else
      EXPECT_THROW(connect.get(), plat::ETcpTimeout);
  }
}

// A numeric address is only converted: the resolver is never asked, so a
// silent name server cannot touch a connect to an address.
TEST(NameLookup, NumericAddressesAreNeverLookedUp) {
  auto resolver = std::make_shared<testkit::StallingResolver>();
  testkit::ResolverScope scope(resolver);
  plat::TcpServer server;
  server.listen();
  for (const QString& host : {QStringLiteral("127.0.0.1"), QString()}) {
    plat::TcpClient client;
    client.connect(host, server.port(), 2000);
    EXPECT_TRUE(client.isConnected()) << host.toStdString();
  }
  EXPECT_EQ(resolver->started(), 0);
  resolver->release();
}

// Callers that gave up leave one lookup behind, which they shared; it ends on
// its own once the name server answers, and frees its resolver then. The
// name, found now, connects.
TEST(NameLookup, ALookupLeftBehindIsSharedEndsAloneAndTheNameConnectsLater) {
  testkit::FastClock fast(100);  // a 1-s deadline passes in 10 ms
  testkit::ClockScope clockScope(&fast);
  auto gone = std::make_shared<std::atomic<bool>>(false);
  auto resolver = std::make_shared<testkit::StallingResolver>(gone);
  plat::TcpServer server;
  server.listen();
  {
    testkit::ResolverScope resolverScope(resolver);
    auto attempt = [&] {
      return std::async(std::launch::async, [&] {
        plat::TcpClient client;
        EXPECT_THROW(client.connect(kName, server.port(), 1000), plat::ETcpTimeout);
      });
    };
    // Two at once, and one more after they gave up.
    auto first = attempt(), second = attempt();
    bool inTime = first.wait_for(20s) == std::future_status::ready &&
                  second.wait_for(20s) == std::future_status::ready;
    auto third = attempt();
    inTime = third.wait_for(20s) == std::future_status::ready && inTime;
    EXPECT_TRUE(inTime) << "a caller waited for the name server";
    EXPECT_TRUE(waitFor([&] { return resolver->started() >= 1; }));
    EXPECT_EQ(resolver->started(), 1) << "each caller started a lookup of its own";
    EXPECT_EQ(resolver->ended(), 0);

    resolver->release();
    ASSERT_TRUE(waitFor([&] { return resolver->ended() == 1; }));
    plat::TcpClient client;
    client.connect(kName, server.port(), 60'000);
    EXPECT_TRUE(client.isConnected());
    EXPECT_EQ(resolver->started(), 2) << "a lookup that had ended was joined";
  }
  resolver.reset();
  EXPECT_TRUE(waitFor([&] { return gone->load(); })) << "a lookup kept its resolver";
}

// The system's resolver, with nothing installed: a name from the hosts file.
TEST(NameLookup, TheSystemsResolverFindsLocalhost) {
  plat::TcpServer server;
  server.listen();
  plat::TcpClient client;
  client.connect(QStringLiteral("localhost"), server.port(), 10'000);
  EXPECT_TRUE(client.isConnected());
  auto peer = server.accept(2000);
  ASSERT_TRUE(peer);
  client.writeByte(7);
  EXPECT_EQ(peer->read(1, 2000), QByteArray("\x07"));
}

}  // namespace
