#pragma once
// TPinPad: the binding to the bank's terminal library. Every operation loads
// the library from the bridge's own folder, calls one function, copies the
// answer (the receipt included) into this object and unloads the library
// again, so no library state survives between two operations and nothing
// here ever points into an unloaded library.
//
// Texts kept here are UTF-8; the library's windows-1251 is converted when the
// answer is copied.

#include <cstdint>
#include <exception>
#include <string>

#include "bridge/PilotRecords.h"

// Base of every failure the bridge reports; it prints the class name in front
// of the message, so each class names itself.
class TBridgeException : public std::exception {
 public:
  explicit TBridgeException(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  virtual const char* className() const noexcept = 0;

 private:
  std::string message_;
};

// The library or one of its functions cannot be found.
class TPinpadException : public TBridgeException {
 public:
  using TBridgeException::TBridgeException;
  const char* className() const noexcept override { return "TPinpadException"; }
};

class TPinPad {
 public:
  // The library is looked for in the folder of the running program.
  TPinPad();
  // The library at the given path (for tests and tools).
  explicit TPinPad(std::string libraryPath);
  // Runs Destroy when it has not run yet; a failure there is swallowed, so
  // call Destroy yourself when its failure matters.
  ~TPinPad();
  TPinPad(const TPinPad&) = delete;
  TPinPad& operator=(const TPinPad&) = delete;

  // ClearAnswers, then Done. Runs once; later calls do nothing.
  void Destroy();

  // Authorisations: Summ in roubles (sent as Summ x 100 rounded kopecks),
  // Operation PILOT_OP_PURCHASE or PILOT_OP_RETURN. Return the result code.
  int32_t CardAuth(double Summ, int Operation);
  int32_t CardAuth2(double Summ, int Operation);
  int32_t CardAuth3(double Summ, int Operation);
  int32_t CardAuth4(double Summ, int Operation);
  int32_t CardAuth5(double Summ, int Operation);
  int32_t CardAuth6(double Summ, int Operation);
  int32_t CardAuth7(double Summ, int Operation);
  int32_t CardAuth8(double Summ, int Operation);
  int32_t CardAuth9(double Summ, int Operation);
  int32_t CardAuth10(double Summ, int Operation);
  int32_t CardAuth11(double Summ, int Operation);

  int32_t CloseDay();                 // totals reconciliation
  int32_t SberShift(int IsDetailed);  // shift statistics, 0 short, 1 detailed
  int32_t ServiceMenu();
  // Act on the last authorisation (its amount and authorisation code).
  int32_t CommitTrx();
  int32_t SuspendTrx();
  int32_t RollBackTrx();
  int32_t AbortTransaction();
  bool TestPinpad();            // true when the pad answered 0
  std::string GetTerminalID();  // empty when the library reported an error
  std::string TerminalID() { return GetTerminalID(); }
  std::string ReadTrack2();  // empty on any failure inside the call
  std::string ReadTrack3();  // also sets CardID from the card number text
  int32_t SetGUIHandles(uintptr_t textHandle, uintptr_t editHandle);
  int32_t Initialize(uintptr_t ATextHandle, uintptr_t AEditHandle);
  bool TryPurchase(double Amount);
  bool TryReturn(double Amount);
  void Done();
  void ClearAnswers();

  // The operator explanation of a result code; empty for a code without one.
  static std::string GetMessageText(int32_t ErrorCode);

  const std::string& Cheque() const { return FCheque; }
  const std::string& AuthCode() const { return FAuthCode; }
  const std::string& CardID() const { return FCardID; }
  const std::string& RRN() const { return FRRN; }
  const std::string& StoredTerminalID() const { return FTerminalID; }
  int32_t LastError() const { return FLastError; }
  // The library's own message when it gave one, else the table's explanation.
  std::string LastErrorMessage() const;

  // Answers of the last operations. The receipt pointer is always null here:
  // the receipt itself is in Cheque().
  const TAuthAnswer& AuthAnswer() const { return FAuthAnswer; }
  const TAuthAnswer2& AuthAnswer2() const { return FAuthAnswer2; }
  const TAuthAnswer3& AuthAnswer3() const { return FAuthAnswer3; }
  const TAuthAnswer4& AuthAnswer4() const { return FAuthAnswer4; }
  const TAuthAnswer5& AuthAnswer5() const { return FAuthAnswer5; }
  const TAuthAnswer6& AuthAnswer6() const { return FAuthAnswer6; }
  const TAuthAnswer7& AuthAnswer7() const { return FAuthAnswer7; }
  const TAuthAnswer8& AuthAnswer8() const { return FAuthAnswer8; }
  const TAuthAnswer9& AuthAnswer9() const { return FAuthAnswer9; }
  const TAuthAnswer10& AuthAnswer10() const { return FAuthAnswer10; }
  const TAuthAnswer11& AuthAnswer11() const { return FAuthAnswer11; }

 private:
  template <typename Fn, typename Rec>
  int32_t authorize(const char* function, Rec& record, double Summ, int Operation);
  int32_t answerCall(const char* function, int32_t tType, bool emptyCheck, bool takeMessage);
  int32_t trx(const char* function);
  void takeCommonAnswer();

  std::string libraryPath_;
  bool destroyed_ = false;

  std::string FTerminalID;
  uintptr_t FGUITextHandle = 0;
  uintptr_t FGUIEditHandle = 0;
  TAuthAnswer FAuthAnswer{};
  TAuthAnswer2 FAuthAnswer2{};
  TAuthAnswer3 FAuthAnswer3{};
  TAuthAnswer4 FAuthAnswer4{};
  TAuthAnswer5 FAuthAnswer5{};
  TAuthAnswer6 FAuthAnswer6{};
  TAuthAnswer7 FAuthAnswer7{};
  TAuthAnswer8 FAuthAnswer8{};
  TAuthAnswer9 FAuthAnswer9{};
  TAuthAnswer10 FAuthAnswer10{};
  TAuthAnswer11 FAuthAnswer11{};
  std::string FCheque;
  std::string FAuthCode;
  std::string FCardID;
  std::string FRRN;
  int32_t FLastError = 0;
  std::string FLastErrorMessage;
};

// A fixed-width text field up to its first zero byte, converted to UTF-8.
std::string PilotFieldText(const char* field, size_t width);
