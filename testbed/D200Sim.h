#pragma once
// A stand-in D200 PIN pad on a pseudo-terminal, with its COM<n> link in a
// ports folder. It answers the pad protocol's version, tag-read, card,
// abort and transaction commands, acknowledges every frame, resends a frame
// the kiosk refuses, and can stay silent, spoil a frame, answer with an
// error code or another message number, and ask the kiosk for its bank link
// (open, write, read, close) before it answers.
//
// It runs on its own thread; tests drive it in-process.

#include <QByteArray>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "devices/D200_Sberbank.h"
#include "testbed/VendotekSim.h"

class D200Sim {
 public:
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
  // The next frame it sends has a bad CRC (a resend after NAK is sound).
  void corruptNextFrame();

  // Before its next answer the pad asks for its bank link: open host:port,
  // write `send`, read up to readCount bytes, close. The kiosk's answers are
  // kept in received() and bankReplies().
  void bankLinkBeforeNextAnswer(const QString& host, int port, const QByteArray& send,
                                int readCount);
  // Sends one raw bank-link request (arguments as given) before the next answer.
  void rawBankRequestBeforeNextAnswer(const QByteArray& args);

  // Every message the kiosk sent (requests and bank-link answers), in order.
  std::vector<TMsg> received() const;
  // The kiosk's answers to the pad's bank-link requests, in order.
  std::vector<TMsg> bankReplies() const;
  // Waits until n messages with that code have come; false after timeoutMs.
  bool waitFor(uint8_t code, int n, int timeoutMs) const;
  int count(uint8_t code) const;
  // Control bytes NAK the kiosk sent.
  int naksReceived() const;

 private:
  void run(std::stop_token st);
  void onBytes(const QByteArray& bytes);
  void onMessage(const TMsg& m);
  void answer(const TMsg& request);
  void queueMessage(uint8_t code, uint32_t msg_no, const QByteArray& args);
  void pump();

  SimPort port_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  // Answers.
  QByteArray version_ = "D200 sim 1.0";
  QByteArray terminalNumber_ = "00123456";
  QByteArray merchantNumber_ = "780000000001";
  int16_t abortAnswer_ = 0;
  uint16_t transactionResult_ = 0;
  uint16_t errorCode_ = 0;
  bool silent_ = false;
  bool wrongNumberOnce_ = false;
  bool corruptNext_ = false;
  // Bank-link requests still to send before the held answer.
  std::deque<QByteArray> bankScript_;
  bool haveHeld_ = false;
  TMsg held_;  // the kiosk's request waiting for its answer
  uint32_t ownMsgNo_ = 0;
  // Line state.
  QByteArray in_;
  TMsg assembling_;
  int expectedPiece_ = 0;
  std::deque<QByteArray> outFrames_;
  QByteArray lastSent_;
  bool awaitingAck_ = false;
  int64_t ackDeadline_ = 0;
  std::vector<TMsg> received_;
  std::vector<TMsg> bankReplies_;
  int naks_ = 0;
  std::jthread thread_;
};
