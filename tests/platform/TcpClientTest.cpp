#include <gtest/gtest.h>

#include <thread>

#include "platform/TcpClient.h"
#include "platform/TcpServer.h"

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

}  // namespace
