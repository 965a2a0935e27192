#include "bridge/Pilot_nt.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "bridge/AnsiText.h"
#include "bridge/SberErrors.h"

namespace {

// A receipt is a few hundred bytes; the bound only keeps a missing terminator
// from running through the library's memory.
constexpr size_t kMaxReceipt = 1 << 20;

std::string ownFolder() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<size_t>(n));
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string notFound(const std::string& function) {
  return "Функция " + function + " не найдена в " PILOT_LIBRARY_NAME;
}

// Loaded for one call and unloaded when the call's scope ends, also when the
// call raised.
class Library {
 public:
  explicit Library(const std::string& path)
      : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
  ~Library() {
    if (handle_) dlclose(handle_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool loaded() const { return handle_ != nullptr; }

  // Raises the "cannot load" error; the authorisations skip this test and
  // report a missing library as a missing function instead.
  void requireLoaded() const {
    if (!handle_) throw TPinpadException("Не могу загрузить " PILOT_LIBRARY_NAME);
  }

  // Null when the library is not loaded or lacks the function.
  template <typename Fn>
  Fn find(const char* name) const {
    // A null handle would make dlsym search the whole process.
    if (!handle_) return nullptr;
    return reinterpret_cast<Fn>(dlsym(handle_, name));
  }

  template <typename Fn>
  Fn require(const char* name, const char* reportedName = nullptr) const {
    Fn fn = find<Fn>(name);
    if (!fn) throw TPinpadException(notFound(reportedName ? reportedName : name));
    return fn;
  }

 private:
  void* handle_;
};

uint32_t toKopecks(double roubles) {
  double k = std::nearbyint(roubles * 100.0);
  if (!(k >= 0.0 && k <= 4294967295.0)) {
    throw TPinpadException("Неверная сумма операции");
  }
  return static_cast<uint32_t>(k);
}

std::string bufferText(const char* buffer, size_t size) {
  return PilotFieldText(buffer, size);
}

template <typename Rec>
concept HasCardID = requires(Rec r) {
  r.CardID;
};
template <typename Rec>
concept HasAuthCode = requires(Rec r) {
  r.AuthCode;
};

}  // namespace

std::string PilotFieldText(const char* field, size_t width) {
  return bridge::ansiToUtf8(std::string_view(field, strnlen(field, width)));
}

TPinPad::TPinPad() : libraryPath_(ownFolder() + PILOT_LIBRARY_NAME) {}

TPinPad::TPinPad(std::string libraryPath) : libraryPath_(std::move(libraryPath)) {}

TPinPad::~TPinPad() {
  try {
    Destroy();
  } catch (...) {
  }
}

void TPinPad::Destroy() {
  if (destroyed_) return;
  destroyed_ = true;
  ClearAnswers();
  Done();
}

void TPinPad::ClearAnswers() {
  FAuthAnswer = {};
  FAuthAnswer2 = {};
  FAuthAnswer3 = {};
  FAuthAnswer4 = {};
  FAuthAnswer5 = {};
  FAuthAnswer6 = {};
  FAuthAnswer7 = {};
  FAuthAnswer8 = {};
  FAuthAnswer9 = {};
  FAuthAnswer10 = {};
  FAuthAnswer11 = {};
  FLastError = 0;
  FLastErrorMessage.clear();
  FAuthCode.clear();
  FRRN.clear();
  FCardID.clear();
  FCheque.clear();
}

std::string TPinPad::GetMessageText(int32_t ErrorCode) {
  return PilotErrorText(ErrorCode);
}

std::string TPinPad::LastErrorMessage() const {
  return FLastErrorMessage.empty() ? GetMessageText(FLastError) : FLastErrorMessage;
}

// Copies what the library left in the common answer while it is still
// loaded: the receipt lives in the library's memory and is gone once the
// library is unloaded, so the pointer is dropped right after the copy.
void TPinPad::takeCommonAnswer() {
  const char* check = FAuthAnswer.Check;
  FCheque = check ? bridge::ansiToUtf8(std::string_view(check, strnlen(check, kMaxReceipt)))
                  : std::string();
  FAuthAnswer.Check = nullptr;
}

template <typename Fn, typename Rec>
int32_t TPinPad::authorize(const char* function, Rec& record, double Summ, int Operation) {
  ClearAnswers();
  FAuthAnswer.TType = Operation;
  FAuthAnswer.Amount = toKopecks(Summ);
  FAuthAnswer.CType = 0;
  Library lib(libraryPath_);
  auto fn = lib.require<Fn>(function);
  if constexpr (std::is_same_v<Rec, TAuthAnswer>) {
    FLastError = fn(nullptr, &FAuthAnswer);
  } else {
    record.AuthAnswer = FAuthAnswer;
    FLastError = fn(nullptr, &record);
    FAuthAnswer = record.AuthAnswer;
    record.AuthAnswer.Check = nullptr;
    if constexpr (HasAuthCode<Rec>)
      FAuthCode = PilotFieldText(record.AuthCode, sizeof record.AuthCode);
    if constexpr (HasCardID<Rec>) FCardID = PilotFieldText(record.CardID, sizeof record.CardID);
  }
  takeCommonAnswer();
  FLastErrorMessage = PilotFieldText(FAuthAnswer.AMessage, sizeof FAuthAnswer.AMessage);
  return FLastError;
}

int32_t TPinPad::CardAuth(double Summ, int Operation) {
  return authorize<PilotCardAuthorizeFn>("_card_authorize", FAuthAnswer, Summ, Operation);
}
int32_t TPinPad::CardAuth2(double Summ, int Operation) {
  return authorize<PilotCardAuthorize2Fn>("_card_authorize2", FAuthAnswer2, Summ, Operation);
}
int32_t TPinPad::CardAuth3(double Summ, int Operation) {
  return authorize<PilotCardAuthorize3Fn>("_card_authorize3", FAuthAnswer3, Summ, Operation);
}
int32_t TPinPad::CardAuth4(double Summ, int Operation) {
  return authorize<PilotCardAuthorize4Fn>("_card_authorize4", FAuthAnswer4, Summ, Operation);
}
int32_t TPinPad::CardAuth5(double Summ, int Operation) {
  return authorize<PilotCardAuthorize5Fn>("_card_authorize5", FAuthAnswer5, Summ, Operation);
}
int32_t TPinPad::CardAuth6(double Summ, int Operation) {
  return authorize<PilotCardAuthorize6Fn>("_card_authorize6", FAuthAnswer6, Summ, Operation);
}
int32_t TPinPad::CardAuth7(double Summ, int Operation) {
  return authorize<PilotCardAuthorize7Fn>("_card_authorize7", FAuthAnswer7, Summ, Operation);
}
int32_t TPinPad::CardAuth8(double Summ, int Operation) {
  return authorize<PilotCardAuthorize8Fn>("_card_authorize8", FAuthAnswer8, Summ, Operation);
}
int32_t TPinPad::CardAuth9(double Summ, int Operation) {
  return authorize<PilotCardAuthorize9Fn>("_card_authorize9", FAuthAnswer9, Summ, Operation);
}
int32_t TPinPad::CardAuth10(double Summ, int Operation) {
  return authorize<PilotCardAuthorize10Fn>("_card_authorize10", FAuthAnswer10, Summ, Operation);
}
int32_t TPinPad::CardAuth11(double Summ, int Operation) {
  return authorize<PilotCardAuthorize11Fn>("_card_authorize11", FAuthAnswer11, Summ, Operation);
}

int32_t TPinPad::answerCall(const char* function, int32_t tType, bool emptyCheck,
                            bool takeMessage) {
  ClearAnswers();
  FAuthAnswer.TType = tType;
  char empty[1] = {0};
  if (emptyCheck) FAuthAnswer.Check = empty;
  Library lib(libraryPath_);
  lib.requireLoaded();
  auto fn = lib.require<PilotAnswerFn>(function);
  FLastError = fn(&FAuthAnswer);
  if (takeMessage) {
    FLastErrorMessage = PilotFieldText(FAuthAnswer.AMessage, sizeof FAuthAnswer.AMessage);
  }
  takeCommonAnswer();
  return FLastError;
}

int32_t TPinPad::CloseDay() {
  return answerCall("_close_day", PILOT_OP_CLOSE_DAY, true, true);
}

int32_t TPinPad::SberShift(int IsDetailed) {
  return answerCall("_get_statistics", IsDetailed == 1 ? 1 : 0, false, true);
}

int32_t TPinPad::ServiceMenu() {
  return answerCall("_ServiceMenu", 0, false, false);
}

int32_t TPinPad::trx(const char* function) {
  Library lib(libraryPath_);
  lib.requireLoaded();
  auto fn = lib.require<PilotTrxFn>(function);
  std::string code = bridge::utf8ToAnsi(FAuthCode);
  FLastError = fn(FAuthAnswer.Amount, code.empty() ? nullptr : code.c_str());
  FLastErrorMessage = GetMessageText(FLastError);
  return FLastError;
}

int32_t TPinPad::CommitTrx() {
  return trx("_CommitTrx");
}
int32_t TPinPad::SuspendTrx() {
  return trx("_SuspendTrx");
}
int32_t TPinPad::RollBackTrx() {
  return trx("_RollbackTrx");
}

int32_t TPinPad::AbortTransaction() {
  Library lib(libraryPath_);
  lib.requireLoaded();
  FLastError = lib.require<PilotVoidFn>("_AbortTransaction")();
  return FLastError;
}

// A library without the pad test is reported like any other missing
// function: discovery then treats the port as failed, with a reason.
bool TPinPad::TestPinpad() {
  Library lib(libraryPath_);
  lib.requireLoaded();
  FLastError = lib.require<PilotVoidFn>("_TestPinpad")();
  return FLastError == 0;
}

std::string TPinPad::GetTerminalID() {
  Library lib(libraryPath_);
  lib.requireLoaded();
  auto fn = lib.require<PilotTextFn>("_GetTerminalID", "GetTerminalID");
  char buffer[PILOT_TEXT_BUFFER_SIZE] = {};
  FLastError = fn(buffer);
  FLastErrorMessage = GetMessageText(FLastError);
  return FLastError == 0 ? bufferText(buffer, sizeof buffer) : std::string();
}

// The track reader is optional for the library: without it there is no track.
std::string TPinPad::ReadTrack2() {
  Library lib(libraryPath_);
  lib.requireLoaded();
  auto fn = lib.find<PilotTextFn>("_ReadTrack2");
  if (!fn) return {};
  char buffer[PILOT_TEXT_BUFFER_SIZE] = {};
  FLastError = fn(buffer);
  return bufferText(buffer, sizeof buffer);
}

std::string TPinPad::ReadTrack3() {
  Library lib(libraryPath_);
  lib.requireLoaded();
  auto fn = lib.require<PilotReadTrack3Fn>("_ReadCardTrack3");
  char last4[4] = {};
  char buffer[PILOT_TEXT_BUFFER_SIZE] = {};
  char track3[PILOT_TEXT_BUFFER_SIZE] = {};
  FLastError = fn(last4, buffer, track3);
  FCardID = bufferText(last4, sizeof last4);
  return bufferText(track3, sizeof track3);
}

int32_t TPinPad::SetGUIHandles(uintptr_t textHandle, uintptr_t editHandle) {
  Library lib(libraryPath_);
  lib.requireLoaded();
  return lib.require<PilotSetGUIHandlesFn>("_SetGUIHandles")(textHandle, editHandle);
}

int32_t TPinPad::Initialize(uintptr_t ATextHandle, uintptr_t AEditHandle) {
  FGUITextHandle = ATextHandle;
  FGUIEditHandle = AEditHandle;
  FTerminalID.clear();
  ClearAnswers();
  if (TestPinpad()) {
    try {
      FTerminalID = GetTerminalID();
      if (FGUITextHandle != 0 && FGUIEditHandle != 0) {
        FLastError = SetGUIHandles(FGUITextHandle, FGUIEditHandle);
      }
    } catch (const std::exception&) {
      // The pad answered; a library without the optional calls still serves.
    }
  }
  return FLastError;
}

bool TPinPad::TryPurchase(double Amount) {
  if (CardAuth7(Amount, PILOT_OP_PURCHASE) != 0) return false;
  return SuspendTrx() == 0;
}

bool TPinPad::TryReturn(double Amount) {
  if (CardAuth7(Amount, PILOT_OP_RETURN) != 0) return false;
  return SuspendTrx() == 0;
}

// A library without _Done keeps nothing to finish.
void TPinPad::Done() {
  Library lib(libraryPath_);
  lib.requireLoaded();
  if (auto fn = lib.find<PilotVoidFn>("_Done")) fn();
}
