#pragma once
// A stand-in D200 PIN pad on a pseudo-terminal, with its COM<n> link in a
// ports folder. It answers the pad protocol's version, tag-read, card,
// abort and transaction commands, acknowledges every frame, resends a frame
// the kiosk refuses, and can stay silent, spoil frames, withhold its
// acknowledgements, answer with an error code or another message number, and
// ask the kiosk for its bank link (open, write, read, close) before it
// answers.
//
// It builds and parses its frames and messages with its own code, written
// from the protocol's tables, and checks every byte the kiosk sends: the
// control byte after each of its frames (ACK after an even piece, BEL after
// an odd one, EOT after the last), at most two NAKs for one frame and none
// for a sound one, and at most three sends of one frame. Whatever breaks
// these rules is listed in violations().
//
// It runs on its own thread; tests drive it in-process.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "testbed/VendotekSim.h"

class D200Sim {
 public:
  // A message as the simulator took it from the line.
  struct Message {
    uint8_t code = 0;
    uint16_t len = 0;  // the argument length the header gave
    uint32_t msg_no = 0;
    QByteArray args;
  };

  D200Sim(const QString& portsDir, int com);
  ~D200Sim();
  D200Sim(const D200Sim&) = delete;
  D200Sim& operator=(const D200Sim&) = delete;

  QString linkPath() const { return port_.linkPath(); }

  // Answers; each may change while the simulator runs.
  void setVersion(const QByteArray& v);
  void setTerminalNumber(const QByteArray& v);
  void setMerchantNumber(const QByteArray& v);  // sent as it stands, blanks too
  void setAbortAnswer(int16_t word);
  void setTransactionResult(uint16_t result_code);
  // Answers every command with message 0x0E carrying this code (0: off).
  void setErrorCode(uint16_t code);
  // Ignores the kiosk altogether (no acknowledgements either).
  void setSilent(bool on);
  // The next answer carries another message number.
  void answerWithWrongNumberOnce();
  // The next n frames it sends, resends after NAK included, have a bad CRC.
  void corruptNextFrames(int n);
  void corruptNextFrame() { corruptNextFrames(1); }
  // The next n frames the kiosk sends get no acknowledgement and are
  // dropped, as if they had not arrived.
  void withholdAcks(int n);

  // Before its next answer the pad asks for its bank link: open host:port,
  // write `send`, read up to readCount bytes, close. The kiosk's answers are
  // kept in received() and bankReplies().
  void bankLinkBeforeNextAnswer(const QString& host, int port, const QByteArray& send,
                                int readCount);
  // Sends one raw bank-link request (arguments as given) before the next answer.
  void rawBankRequestBeforeNextAnswer(const QByteArray& args);

  // Every message the kiosk sent (requests and bank-link answers), in order.
  std::vector<Message> received() const;
  // The kiosk's answers to the pad's bank-link requests, in order.
  std::vector<Message> bankReplies() const;
  // Waits until n messages with that code have come; false after timeoutMs.
  bool waitFor(uint8_t code, int n, int timeoutMs) const;
  int count(uint8_t code) const;
  // Control bytes NAK the kiosk sent.
  int naksReceived() const;
  // Frames the kiosk sent, repeats included.
  int framesReceived() const;
  // The kiosk's breaches of the line rules, in order; empty when it kept them.
  QStringList violations() const;

 private:
  void run(std::stop_token st);
  void onBytes(const QByteArray& bytes);
  void onControl(uint8_t b);
  void onFrame(const QByteArray& frame);
  void onMessage(const Message& m);
  void answer(const Message& request);
  void queueMessage(uint8_t code, uint32_t msg_no, const QByteArray& args);
  void transmit();
  void pump();
  void violation(const QString& what);

  SimPort port_;
  mutable std::mutex mu_;
  // Answers.
  QByteArray version_ = "D200 sim 1.0";
  QByteArray terminalNumber_ = "00123456";
  QByteArray merchantNumber_ = "780000000001";
  int16_t abortAnswer_ = 0;
  uint16_t transactionResult_ = 0;
  uint16_t errorCode_ = 0;
  bool silent_ = false;
  bool wrongNumberOnce_ = false;
  int corruptFrames_ = 0;
  int withholdAcks_ = 0;
  // Bank-link requests still to send before the held answer.
  std::deque<QByteArray> bankScript_;
  bool haveHeld_ = false;
  Message held_;  // the kiosk's request waiting for its answer
  uint32_t ownMsgNo_ = 0;
  // Receiving from the kiosk.
  QByteArray in_;
  Message assembling_;
  int expectedPiece_ = 0;
  QByteArray lastFrameIn_;  // the last frame the kiosk sent, as it came
  bool lastFrameInAcked_ = false;
  int lastFrameInSends_ = 0;
  int framesIn_ = 0;
  // Sending to the kiosk: the frame in flight waits for its control byte.
  struct Out {
    QByteArray frame;
    int piece = 0;
    bool last = true;
  };
  std::deque<Out> outFrames_;
  bool inFlight_ = false;
  Out flying_;
  bool flyingSpoilt_ = false;
  int flyingNaks_ = 0;
  int64_t ackDeadline_ = 0;
  std::vector<Message> received_;
  std::vector<Message> bankReplies_;
  int naks_ = 0;
  QStringList violations_;
  std::jthread thread_;
};
