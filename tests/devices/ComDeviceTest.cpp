#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "devices/ComDevice.h"
#include "platform/Clock.h"
#include "testbed/VendotekSim.h"

namespace {

QString messageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.message();
  }
  return QStringLiteral("<no exception>");
}

const QString kTimeout = QStringLiteral("Timeout during operation.");

// A driver-side TComDevice on COM5 of a private ports folder, the line's
// other end in the test's hand.
class ComDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
    line = std::make_unique<SimPort>(dir.path(), 5);
    dev.connect(QStringLiteral("COM5"), 9600, 8, 0, 0, false, false);
  }
  void TearDown() override { qunsetenv("VEKTA_PORTS_DIR"); }
  // Bytes written arrive on the driver's side before the next read.
  void feed(const QByteArray& b) {
    ASSERT_TRUE(line->write(b));
    ASSERT_TRUE(dev.waitForInput(1000));
  }

  QTemporaryDir dir;
  std::unique_ptr<SimPort> line;
  TComDevice dev;
};

}  // namespace

TEST_F(ComDeviceTest, BytesReadBeyondTheRequestAreHandedOutFirstNextTime) {
  feed("\x01\x02\x03\x04\x05");
  EXPECT_EQ(dev.recvBuffer(500, 3), QByteArray("\x01\x02\x03"));
  // Served from what was pushed back: even a zero time-out finds it.
  EXPECT_EQ(dev.recvByte(0), 0x04);
  EXPECT_EQ(dev.recvPacket(30), QByteArray("\x05"));

  feed(QByteArray("\x02\x23\x41\x42\x03\x44", 6));
  EXPECT_EQ(dev.recvTerminated(500, QByteArray(1, '\x03')), QByteArray("\x02\x23\x41\x42"));
  EXPECT_EQ(dev.recvByte(0), 0x44);
}

TEST_F(ComDeviceTest, ReceivesCollectAcrossSeparateChunks) {
  std::thread writer([this] {
    line->write("ab\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    line->write("\ncd");
  });
  EXPECT_EQ(dev.recvTerminated(2000, "\r\n"), QByteArray("ab"));
  EXPECT_EQ(dev.recvBuffer(2000, 2), QByteArray("cd"));
  writer.join();
}

TEST_F(ComDeviceTest, TimeOutRules) {
  // A silent line: the packet read ends quietly, the others raise.
  EXPECT_EQ(dev.recvPacket(30), QByteArray());
  EXPECT_EQ(messageOf([&] { dev.recvByte(30); }), kTimeout);
  EXPECT_EQ(messageOf([&] { dev.recvTerminated(30, "\x03"); }), kTimeout);

  // Bytes read before the time-out are dropped, not pushed back.
  feed("\x10\x11");
  EXPECT_EQ(messageOf([&] { dev.recvBuffer(30, 3); }), kTimeout);
  EXPECT_EQ(dev.recvPacket(30), QByteArray());

  // A zero time-out still reads once.
  feed("\x7E");
  EXPECT_EQ(dev.recvByte(0), 0x7E);

  // Cancellation beats waiting, and stays until cleared by the owner.
  dev.terminated = true;
  EXPECT_EQ(messageOf([&] { dev.recvByte(5000); }), QStringLiteral("Operation was terminated."));
  EXPECT_EQ(dev.recvPacket(5000), QByteArray());
}

TEST_F(ComDeviceTest, LongTimeOutsFollowTheReplaceableClock) {
  plat::ManualClock clock;
  plat::setClock(&clock);
  QString message;
  std::atomic<bool> ended{false};
  std::thread reader([&] {
    message = messageOf([&] { dev.recvByte(180000); });
    ended = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  clock.advance(180000);  // equal still waits
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(ended);
  clock.advance(1);
  reader.join();
  plat::setClock(nullptr);
  EXPECT_EQ(message, kTimeout);
}

TEST(ComDeviceTimeout, CheckTable) {
  struct Case {
    uint32_t current, initial;
    int timeout;
    bool raises;
  } cases[] = {
      {1000, 1000, 0, false},
      {1001, 1000, 0, true},
      {1500, 1000, 500, false},
      {1501, 1000, 500, true},
      {5, 0xFFFFFFF0u, 21, false},
      {5, 0xFFFFFFF0u, 20, true},  // across the wrap
      {0xFFFFFFFFu, 0xFFFFFFF0u, 15, false},
  };
  TComDevice dev;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.current << " " << c.initial << " " << c.timeout);
    const QString m = messageOf([&] { dev.checkTimeout(c.current, c.initial, c.timeout); });
    EXPECT_EQ(m, c.raises ? kTimeout : QStringLiteral("<no exception>"));
  }
}

TEST_F(ComDeviceTest, PurgeDropsPushedBackAndPendingBytes) {
  feed("\x01\x02\x03\x04");
  EXPECT_EQ(dev.recvByte(500), 0x01);
  feed("\x05");
  dev.purge();
  EXPECT_EQ(dev.recvPacket(30), QByteArray());
}

TEST_F(ComDeviceTest, PurgeWaitsOutAPauseInsideAnAnswer) {
  // The device stops for a few milliseconds in the middle of an answer: the
  // tail must go with the head, or it would open the next exchange.
  std::thread device([this] {
    line->write("head");
    std::this_thread::sleep_for(std::chrono::milliseconds(8));
    line->write("tail");
  });
  ASSERT_TRUE(dev.waitForInput(1000));
  dev.purge();
  device.join();
  EXPECT_EQ(dev.recvPacket(30), QByteArray());
}

TEST_F(ComDeviceTest, TimeOutAndCancellationAreTheirOwnTypes) {
  // Callers tell them from a port failure by type; the texts stay.
  auto typeOf = [](const std::function<void()>& f) -> std::string {
    try {
      f();
    } catch (const ETimeout& e) {
      return "ETimeout: " + e.message().toStdString();
    } catch (const ETerminated& e) {
      return "ETerminated: " + e.message().toStdString();
    } catch (const Exception& e) {
      return "Exception: " + e.message().toStdString();
    }
    return "none";
  };
  EXPECT_EQ(typeOf([&] { dev.recvByte(20); }), "ETimeout: Timeout during operation.");
  EXPECT_EQ(typeOf([&] { dev.recvTerminated(20, "\x03"); }), "ETimeout: Timeout during operation.");
  EXPECT_EQ(typeOf([&] { dev.checkTimeout(2, 0, 1); }), "ETimeout: Timeout during operation.");
  dev.terminated = true;
  EXPECT_EQ(typeOf([&] { dev.recvBuffer(5000, 2); }), "ETerminated: Operation was terminated.");
  dev.terminated = false;
  line.reset();
  EXPECT_EQ(typeOf([&] { dev.recvByte(500); }),
            "Exception: Can not read data from COM port (error + 5).");
}

TEST_F(ComDeviceTest, SendsRawBytes) {
  dev.sendBuffer(QByteArray("\x1F\x00\x0A\x0D", 4));
  dev.sendBuffer(QByteArray());
  EXPECT_EQ(line->read(500), QByteArray("\x1F\x00\x0A\x0D", 4));
}

TEST_F(ComDeviceTest, PortFailuresCarryTheirMessages) {
  TComDevice other;
  EXPECT_EQ(messageOf([&] { other.connect("COM5", 9600, 8, 0, 0, false, false); }),
            QStringLiteral("COM port not found."));  // held by dev
  EXPECT_EQ(messageOf([&] { other.connect("COM6", 9600, 8, 0, 0, false, false); }),
            QStringLiteral("COM port not found."));
  EXPECT_EQ(messageOf([&] { other.sendBuffer("x"); }),
            QStringLiteral("Can not send data to COM port (error + 9)."));

  line.reset();  // the device goes away under an open port
  EXPECT_EQ(messageOf([&] { dev.recvByte(500); }),
            QStringLiteral("Can not read data from COM port (error + 5)."));
  dev.closeSocket();
  EXPECT_FALSE(dev.isOpen());
}

TEST_F(ComDeviceTest, PortListComesFromThePortsFolder) {
  SimPort second(dir.path(), 12);
  QStringList list{QStringLiteral("stale")};
  TComDevice::getComPortList(list);
  EXPECT_EQ(list, (QStringList{"COM5", "COM12"}));

  QTemporaryDir empty;
  qputenv("VEKTA_PORTS_DIR", empty.path().toLocal8Bit());
  TComDevice::getComPortList(list);
  EXPECT_TRUE(list.isEmpty());
}
