// vekta_sber: runs one bank-terminal operation per run and prints its outcome
// as lines the kiosk parses. The exit code is always 0: the caller judges the
// run by the printed lines alone.

#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "bridge/AnsiText.h"
#include "bridge/Pilot_nt.h"

namespace {

class EConvertError : public TBridgeException {
 public:
  using TBridgeException::TBridgeException;
  const char* className() const noexcept override { return "EConvertError"; }
};

// The kiosk reads our output through a pipe in windows-1251; a person at a
// terminal reads UTF-8.
class Output {
 public:
  explicit Output(bool console) : console_(console) {}

  void text(const std::string& utf8) {
    std::string bytes = console_ ? utf8 : bridge::utf8ToAnsi(utf8);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  }
  void line(const std::string& utf8) {
    text(utf8);
    std::fwrite("\r\n", 1, 2, stdout);
  }
  // One "key=value" line. A line break inside a value would let the library
  // forge a line the kiosk reads as another key.
  void value(const std::string& key, std::string v) {
    for (char& c : v) {
      if (c == '\r' || c == '\n') c = ' ';
    }
    line(key + "=" + v);
  }
  void flush() { std::fflush(stdout); }

 private:
  bool console_;
};

void printCommon(Output& out, TPinPad& pad, int32_t code) {
  out.line("ok");
  out.value("last_error", std::to_string(code));
  out.value("last_error_msg", pad.LastErrorMessage());
}

void printCheque(Output& out, const TPinPad& pad) {
  out.line("check=");
  out.line(pad.Cheque());
}

// Whole kopecks, strictly decimal. Zero and negative amounts are refused
// here, before anything reaches the terminal.
int32_t parseKopecks(const char* arg) {
  std::string text = arg ? arg : "";
  int32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
    throw EConvertError("'" + text + "' is not a valid integer value");
  }
  if (value <= 0) throw EConvertError("'" + text + "' is not a valid amount");
  return value;
}

void DoReviseTotals(TPinPad& pad, Output& out) {
  int32_t code = pad.CloseDay();
  printCommon(out, pad, code);
  printCheque(out, pad);
}

void DoPay(TPinPad& pad, Output& out, const char* amountArg) {
  int32_t kopecks = parseKopecks(amountArg);
  int32_t code = pad.CardAuth11(kopecks / 100.0, PILOT_OP_PURCHASE);
  printCommon(out, pad, code);
  const TAuthAnswer& a = pad.AuthAnswer();
  const TAuthAnswer11& x = pad.AuthAnswer11();
  out.value("amount_kop", std::to_string(static_cast<uint32_t>(a.Amount)));
  out.value("rcode", PilotFieldText(a.Rcode, sizeof a.Rcode));
  out.value("ctype", std::to_string(static_cast<int32_t>(a.CType)));
  out.value("auth_code", PilotFieldText(x.AuthCode, sizeof x.AuthCode));
  out.value("card_id", PilotFieldText(x.CardID, sizeof x.CardID));
  out.value("error_code", std::to_string(static_cast<int32_t>(x.ErrorCode)));
  out.value("trans_date", PilotFieldText(x.TransDate, sizeof x.TransDate));
  out.value("trans_number", std::to_string(static_cast<int32_t>(x.TransNumber)));
  out.value("sber_own_card", std::to_string(static_cast<int32_t>(x.SberOwnCard)));
  out.value("hash", PilotFieldText(x.Hash, sizeof x.Hash));
  out.value("track3", PilotFieldText(x.Track3, sizeof x.Track3));
  printCheque(out, pad);
}

void DoCancelLastPayment(TPinPad& pad, Output& out) {
  int32_t code = pad.RollBackTrx();
  printCommon(out, pad, code);
}

void DoAbortTransaction(TPinPad& pad, Output& out) {
  int32_t code = pad.AbortTransaction();
  printCommon(out, pad, code);
}

void DoTestPinPad(TPinPad& pad, Output& out) {
  bool ok = pad.TestPinpad();
  printCommon(out, pad, pad.LastError());
  out.line(ok ? "result=true" : "result=false");
}

void DoGetTerminalID(TPinPad& pad, Output& out) {
  std::string id = pad.TerminalID();
  printCommon(out, pad, pad.LastError());
  out.value("terminal_id", id);
}

// Case-sensitive, first match wins; an unknown word runs nothing.
void dispatch(TPinPad& pad, Output& out, int argc, char** argv) {
  const std::string command = argv[1];
  if (command == "revise_totals") {
    DoReviseTotals(pad, out);
  } else if (command == "pay") {
    DoPay(pad, out, argc > 2 ? argv[2] : nullptr);
  } else if (command == "cancel_last_payment") {
    DoCancelLastPayment(pad, out);
  } else if (command == "abort_transaction") {
    DoAbortTransaction(pad, out);
  } else if (command == "test_pin_pad") {
    DoTestPinPad(pad, out);
  } else if (command == "get_terminal_id") {
    DoGetTerminalID(pad, out);
  }
}

struct Failure {
  std::string className;
  std::string message;
};

// Keeps the first failure: when the operation failed, a later failure of the
// library's final call says less about what went wrong.
template <typename F>
void guarded(std::optional<Failure>& failure, F&& f) {
  try {
    f();
  } catch (const TBridgeException& e) {
    if (!failure) failure = Failure{e.className(), e.message()};
  } catch (const std::exception& e) {
    if (!failure) failure = Failure{"Exception", e.what()};
  } catch (...) {
    if (!failure) failure = Failure{"Exception", "Unknown error"};
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 0;  // nothing to do, and the library stays unloaded
  Output out(isatty(STDOUT_FILENO) == 1);
  std::optional<Failure> failure;
  std::unique_ptr<TPinPad> pad;
  guarded(failure, [&] {
    pad = std::make_unique<TPinPad>();
    dispatch(*pad, out, argc, argv);
  });
  out.flush();
  // The library's final call runs once per run, whatever the command did.
  if (pad) guarded(failure, [&] { pad->Destroy(); });
  if (failure) {
    out.line("err");
    out.line(failure->className + ": " + failure->message);
  }
  out.flush();
  return 0;
}
