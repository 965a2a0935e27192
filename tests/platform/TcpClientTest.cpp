#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "platform/TcpClient.h"
#include "platform/TcpServer.h"
#include "tests/support/FastClock.h"
#include "tests/support/StallingResolver.h"

namespace {

struct Pair {
  plat::TcpServer server;
  plat::TcpClient client;
  std::unique_ptr<plat::TcpClient> peer;
  Pair() {
    server.listen();
    client.connect(QStringLiteral("127.0.0.1"), server.port(), 2000);
    peer = server.accept(2000);
  }
};

TEST(TcpClient, ReadsBufferedBytesWithoutWaitingAndTimesOutWhenEmpty) {
  Pair p;
  ASSERT_TRUE(p.peer);
  EXPECT_FALSE(p.client.hasData(10));
  EXPECT_EQ(p.client.read(4, 50), QByteArray());

  p.peer->write(QByteArray("abcdef"));
  ASSERT_TRUE(p.client.hasData(1000));
  EXPECT_EQ(p.client.read(2, 1000), QByteArray("ab"));
  EXPECT_EQ(p.client.pending(), 4);
  // The rest comes from the buffer: a zero wait must still deliver it.
  EXPECT_EQ(p.client.read(10, 0), QByteArray("cdef"));

  p.client.writeByte(0x66);
  EXPECT_EQ(p.peer->read(1, 1000), QByteArray("\x66"));
}

TEST(TcpClient, DiscardInputEmptiesBufferAndSocket) {
  Pair p;
  p.peer->write(QByteArray("xyz"));
  ASSERT_TRUE(p.client.hasData(1000));
  p.client.discardInput();
  EXPECT_EQ(p.client.pending(), 0);
  EXPECT_FALSE(p.client.hasData(10));
}

TEST(TcpClient, PeerCloseRaisesOnReadAndEndsConnection) {
  Pair p;
  p.peer->write(QByteArray("z"));
  p.peer->close();
  EXPECT_EQ(p.client.read(5, 1000), QByteArray("z"));
  EXPECT_THROW(p.client.read(5, 1000), plat::ETcpError);
  EXPECT_FALSE(p.client.isConnected());
}

TEST(TcpClient, ConnectFailures) {
  plat::TcpClient c;
  plat::TcpServer s;
  s.listen();
  int port = s.port();
  s.close();  // nothing listens there now
  EXPECT_THROW(c.connect(QStringLiteral("127.0.0.1"), port, 2000), plat::ETcpError);
  EXPECT_FALSE(c.isConnected());
  EXPECT_THROW(c.write(QByteArray("a")), plat::ETcpError);
  EXPECT_THROW(c.read(1, 0), plat::ETcpError);
}

TEST(TcpClient, LargeWriteArrivesWhole) {
  Pair p;
  QByteArray big(3 * 1024 * 1024, 'q');
  std::thread writer([&] { p.client.write(big); });
  QByteArray got;
  while (got.size() < big.size()) {
    QByteArray part = p.peer->read(1 << 20, 2000);
    if (part.isEmpty()) break;
    got += part;
  }
  writer.join();
  EXPECT_EQ(got, big);
}

// More than a loopback connection's buffers hold on both ends together, so
// a peer that does not read makes the writer wait.
const QByteArray& moreThanBuffersHold() {
  static const QByteArray big(64 * 1024 * 1024, 'w');
  return big;
}

TEST(TcpClient, WriteToAPeerThatStopsReadingFailsAtItsDeadline) {
  testkit::FastClock fast(200);  // the default 30 s pass in 150 ms
  testkit::ClockScope scope(&fast);
  Pair p;
  EXPECT_THROW(p.client.write(moreThanBuffersHold()), plat::ETcpTimeout);

  // Once the peer reads again, writes go through.
  std::thread reader([&] {
    try {
      while (p.peer->read(1 << 20, 500).size() > 0) {
      }
    } catch (const plat::ETcpError&) {
    }
  });
  // Ten minutes on the fast clock, 3 s of real time: enough for the reader
  // to get going even in a slow run (under ThreadSanitizer, say).
  EXPECT_NO_THROW(p.client.write(QByteArray(256 * 1024, 'y'), 10 * 60 * 1000));
  p.client.close();
  reader.join();
}

// Each wait would last a minute; the interrupt from another thread ends it.
TEST(TcpClient, InterruptEndsEveryKindOfWaitAtOnce) {
  struct Case {
    const char* name;
    std::function<void(Pair&)> wait;
  };
  const Case cases[] = {
      {"read", [](Pair& p) { p.client.read(16, 60000); }},
      {"write", [](Pair& p) { p.client.write(moreThanBuffersHold(), 60000); }},
  };
  for (const Case& c : cases) {
    Pair p;
    std::thread stopper([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      p.client.interrupt();
    });
    EXPECT_THROW(c.wait(p), plat::ETcpInterrupted) << c.name;
    stopper.join();
    EXPECT_TRUE(p.client.isConnected()) << c.name;
  }

  Pair p;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    p.client.interrupt();
  });
  EXPECT_FALSE(p.client.hasData(60000));
  stopper.join();
}

// A descriptor of someone else's (the kiosk's shutdown pipe) ends every wait
// while it is readable, and is left for its owner to read; after that, waits
// run their time again.
TEST(TcpClient, AReadableStopDescriptorEndsEveryWaitUntilItsOwnerReadsIt) {
  auto resolver = std::make_shared<testkit::StallingResolver>();
  testkit::ResolverScope scope(resolver);
  struct Case {
    const char* name;
    std::function<void(Pair&)> wait;
  };
  const Case cases[] = {
      {"read", [](Pair& p) { p.client.read(16, 60000); }},
      {"write", [](Pair& p) { p.client.write(moreThanBuffersHold(), 60000); }},
      {"name lookup",
       [](Pair& p) { p.client.connect(QStringLiteral("backoffice.kiosk.test"), 4000, 60000); }},
  };
  int stop[2];
  ASSERT_EQ(::pipe2(stop, O_CLOEXEC), 0);
  auto stopSoon = [&] {
    return std::thread([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      EXPECT_EQ(::write(stop[1], "x", 1), 1);
    });
  };
  auto ownerReads = [&] {
    char c = 0;
    return ::read(stop[0], &c, 1) == 1 && c == 'x';
  };
  for (const Case& c : cases) {
    Pair p;
    p.client.setStopFd(stop[0]);
    std::thread stopper = stopSoon();
    EXPECT_THROW(c.wait(p), plat::ETcpInterrupted) << c.name;
    stopper.join();
    EXPECT_TRUE(ownerReads()) << c.name;
  }

  Pair p;
  p.client.setStopFd(stop[0]);
  std::thread stopper = stopSoon();
  EXPECT_FALSE(p.client.hasData(60000));
  stopper.join();
  EXPECT_TRUE(ownerReads());
  // Read by its owner, it stops nothing any more.
  EXPECT_EQ(p.client.read(1, 10), QByteArray());
  p.peer->write(QByteArray("y"));
  EXPECT_EQ(p.client.read(1, 2000), QByteArray("y"));
  resolver->release();
  ::close(stop[0]);
  ::close(stop[1]);
}

TEST(TcpClient, InterruptHoldsUntilResetAndSparesWhatNeedsNoWait) {
  Pair p;
  p.peer->write(QByteArray("ab"));
  ASSERT_TRUE(p.client.hasData(1000));
  p.client.interrupt();
  // Buffered bytes and a write with room need no wait.
  EXPECT_EQ(p.client.read(1, 60000), QByteArray("a"));
  EXPECT_NO_THROW(p.client.writeByte(0x66));
  EXPECT_EQ(p.client.read(5, 60000), QByteArray("b"));
  // A wait that starts after the interrupt ends at once too.
  EXPECT_THROW(p.client.read(1, 60000), plat::ETcpInterrupted);
  EXPECT_THROW(p.client.connect(QStringLiteral("127.0.0.1"), p.server.port(), 60000),
               plat::ETcpInterrupted);

  p.client.resetInterrupt();
  EXPECT_FALSE(p.client.interrupted());
  p.client.connect(QStringLiteral("127.0.0.1"), p.server.port(), 2000);
  auto peer = p.server.accept(2000);
  ASSERT_TRUE(peer);
  EXPECT_EQ(p.client.read(1, 10), QByteArray());  // waits its time, no throw
  peer->write(QByteArray("c"));
  EXPECT_EQ(p.client.read(1, 2000), QByteArray("c"));
}

TEST(TcpClient, APeerThatClosedIsNoLongerConnectedOnceItsBytesAreRead) {
  Pair p;
  EXPECT_TRUE(p.client.isConnected());
  p.peer->write(QByteArray("last"));
  p.peer->close();
  // Once the close has arrived, a connection with unread bytes stays up.
  pollfd closeSeen{p.client.fd(), POLLRDHUP, 0};
  ASSERT_EQ(::poll(&closeSeen, 1, 5000), 1);
  EXPECT_TRUE(p.client.isConnected());
  EXPECT_EQ(p.client.read(4, 1000), QByteArray("last"));
  EXPECT_FALSE(p.client.isConnected());
}

}  // namespace
