#pragma once
// A stand-in Vendotek card terminal on a pseudo-terminal, with its COM<n>
// link in a ports folder. It answers the kiosk's "IDL", approves or declines
// its "VRP", echoes "FIN", and can stay silent, spoil or split its frames,
// answer late, and ask the kiosk for a bank link ("CON", "DAT", "DSC").
//
// It builds and parses its frames with its own code, written from the
// protocol's tables (the message record and the tag numbers are the only
// things it shares with the driver), and lists every frame from the kiosk
// that breaks the frame rules in violations().
//
// It runs on its own thread; tests drive it in-process, the demo runs it as
// vendotek-sim.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "devices/Vendotek.h"

// A pseudo-terminal whose terminal side is reachable as dir/COM<n>. The
// simulator keeps the terminal side open itself, so that its own side never
// sees a hang-up while no driver has the port open.
class SimPort {
 public:
  SimPort(const QString& portsDir, int com);
  ~SimPort();
  SimPort(const SimPort&) = delete;
  SimPort& operator=(const SimPort&) = delete;

  int fd() const { return master_; }
  QString ttyPath() const { return tty_; }
  QString linkPath() const { return link_; }
  // Writes every byte (waits at most 2 s for a full queue to drain).
  bool write(const QByteArray& bytes);
  // What arrives within waitMs (nothing when the time passes).
  QByteArray read(int waitMs);

 private:
  int master_ = -1;
  int slave_ = -1;
  QString tty_;
  QString link_;
};

class VendotekSim {
 public:
  enum class VrpAnswer {
    Approve,             // echo the operation and the amount
    DeclineOtherAmount,  // the operation with amount 0
    Silent,              // no answer at all
  };

  VendotekSim(const QString& portsDir, int com);
  ~VendotekSim();
  VendotekSim(const VendotekSim&) = delete;
  VendotekSim& operator=(const VendotekSim&) = delete;

  QString linkPath() const { return port_.linkPath(); }
  QString ttyPath() const { return port_.ttyPath(); }

  // Behaviour; each may change while the simulator runs.
  void setVrpAnswer(VrpAnswer a);
  void setVrpDelayMs(int ms);
  void setEchoFin(bool on);
  // Ignores the kiosk altogether (still records what it sends).
  void setSilent(bool on);
  // Extra entries appended to every "IDL" answer (OperationNumber,
  // KeepaliveIntervalS, OperationTimeoutS ...).
  void setIdleExtraTags(const QList<TVendotekTag>& tags);
  // The next frame the simulator sends gets a wrong CRC / goes out in two
  // writes gapMs apart.
  void corruptNextFrame();
  // The next "IDL" answer goes out in one write together with msg, so that
  // the driver reads both at once.
  void followNextIdleWith(const TVendotekMessage& msg);
  void splitNextFrame(int gapMs);

  // Sends a message or raw bytes now.
  void send(const TVendotekMessage& msg);
  void sendRaw(const QByteArray& bytes);

  // Bank link requests: "CON" to host:port (IPv4 dotted text) with the given
  // selector; "DAT" carrying data as a simple or a confirmable block with the
  // given byte counter; "DSC".
  void requestBankConnect(const QString& host, int port, uint8_t selector = 0);
  void requestBankConnectRaw(const QByteArray& destination);
  void sendBankData(const QByteArray& data, bool confirmable, int64_t counter);
  void requestBankDisconnect();

  // Every message the kiosk sent, in order.
  QList<TVendotekMessage> received() const;
  int count(const QByteArray& name) const;
  // Waits until at least n messages named name have come; returns the n-th
  // (1-based) or an empty message after timeoutMs.
  TVendotekMessage waitFor(const QByteArray& name, int n, int timeoutMs) const;
  void clearReceived();
  // Frames from the kiosk that broke the frame rules (marker, length, CRC,
  // TLV entries), in order; empty when it kept them.
  QStringList violations() const;

  // When the last approving "VRP" left the simulator (steady clock).
  std::chrono::steady_clock::time_point lastApprovalSent() const;

 private:
  struct Pending {
    std::chrono::steady_clock::time_point due;
    QByteArray bytes;
    bool approval = false;
    bool raw = false;  // sent as they are, never spoiled or split
  };

  void run(std::stop_token st);
  void handle(const TVendotekMessage& msg);
  void queue(const TVendotekMessage& msg, int delayMs = 0, bool approval = false);
  void write(const Pending& p);
  // Takes the next whole frame from the front of in; false when more bytes
  // are needed. Frames that break the rules are dropped and listed.
  bool takeFrame(QByteArray& in, TVendotekMessage* msg);
  void badFrame(const QString& what);

  SimPort port_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  VrpAnswer vrpAnswer_ = VrpAnswer::Approve;
  int vrpDelayMs_ = 0;
  bool echoFin_ = true;
  bool silent_ = false;
  QList<TVendotekTag> idleExtra_;
  QByteArray idleFollower_;
  bool corruptNext_ = false;
  int splitGapMs_ = -1;
  QList<Pending> pending_;
  // A vector, not an implicitly shared list: callers get their own copy, so
  // this thread's appends never touch memory another thread reads.
  std::vector<TVendotekMessage> received_;
  std::chrono::steady_clock::time_point lastApproval_{};
  QStringList violations_;
  std::jthread thread_;
};
