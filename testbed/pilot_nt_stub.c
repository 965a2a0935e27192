/* Stand-in for the bank's terminal library, for tests and the demo.
 *
 * The bridge loads and unloads the library around every call, so nothing can
 * be kept in memory: the stand-in keeps its state in files in its own folder.
 *
 *   calls.log        one line per call, "<function> key=value ...", appended
 *   waiting          exists while an operation waits out its delay
 *   abort_operation  the kiosk's abort marker; when it appears during the
 *                    wait the operation ends with 2000 (a stale marker is
 *                    removed when the next operation starts)
 *   reconciled       written by a successful _close_day (see "overdue")
 *
 * The outcome comes from the file "scenario" beside the library, lines of
 * key=value with \r, \n and \\ escapes, and from environment variables
 * PILOT_STUB_<KEY>, which win. A key may be limited to one function by
 * prefixing the function's name without its underscore: "TestPinpad.result=99"
 * or PILOT_STUB_TESTPINPAD_RESULT=99.
 *
 *   result       result code returned (0)
 *   delay_ms     wait before answering, watching for the abort marker (0)
 *   overdue      when 1, authorisations return 4134 until a _close_day
 *   amount       amount put in the answer (the request's amount)
 *   rcode        bank response code ("00" when result is 0, else empty)
 *   message      AMessage text, windows-1251 ("ОДОБРЕНО" when result is 0)
 *   receipt      receipt text, windows-1251 (a short receipt)
 *   auth_code, card_id, trans_date, rrn, hash, track3, terminal_id  texts
 *   error_code, trans_number, sber_own_card, ctype                  numbers
 *
 * Text longer than its field fills the field without a terminator, as the
 * real library may. Built with PILOT_STUB_PARTIAL it lacks _card_authorize11
 * and _GetTerminalID, to show how a missing function is reported. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "bridge/PilotRecords.h"

#define SCENARIO_MAX 65536

static char g_dir[PATH_MAX];
static char g_scenario[SCENARIO_MAX];
static char g_value[SCENARIO_MAX];
/* The receipt the answer points to; valid until the library is unloaded. */
static char g_receipt[8192];

static void stub_anchor(void) {}

static void path_of(char* out, size_t size, const char* name) {
  snprintf(out, size, "%s%s", g_dir, name);
}

static void load_scenario(void) {
  Dl_info info;
  g_dir[0] = 0;
  if (dladdr((void*)&stub_anchor, &info) && info.dli_fname) {
    const char* slash = strrchr(info.dli_fname, '/');
    if (slash && (size_t)(slash - info.dli_fname + 1) < sizeof g_dir) {
      memcpy(g_dir, info.dli_fname, (size_t)(slash - info.dli_fname + 1));
      g_dir[slash - info.dli_fname + 1] = 0;
    }
  }
  g_scenario[0] = 0;
  char path[PATH_MAX + 32];
  path_of(path, sizeof path, "scenario");
  FILE* f = fopen(path, "rb");
  if (f) {
    size_t n = fread(g_scenario, 1, sizeof g_scenario - 1, f);
    g_scenario[n] = 0;
    fclose(f);
  }
}

static int file_exists(const char* name) {
  char path[PATH_MAX + 32];
  path_of(path, sizeof path, name);
  return access(path, F_OK) == 0;
}

static void write_file(const char* name, const char* text) {
  char path[PATH_MAX + 32];
  path_of(path, sizeof path, name);
  FILE* f = fopen(path, "wb");
  if (f) {
    fputs(text, f);
    fclose(f);
  }
}

static void remove_file(const char* name) {
  char path[PATH_MAX + 32];
  path_of(path, sizeof path, name);
  unlink(path);
}

static void log_call(const char* line) {
  char path[PATH_MAX + 32];
  path_of(path, sizeof path, "calls.log");
  FILE* f = fopen(path, "ab");
  if (f) {
    fprintf(f, "%s\n", line);
    fclose(f);
  }
}

static void unescape(const char* src, size_t len, char* out, size_t size) {
  size_t o = 0;
  for (size_t i = 0; i < len && o + 1 < size; ++i) {
    char c = src[i];
    if (c == '\\' && i + 1 < len) {
      char e = src[++i];
      c = e == 'r' ? '\r' : e == 'n' ? '\n' : e;
    }
    out[o++] = c;
  }
  out[o] = 0;
}

/* The scenario file's value of the exact key, or NULL. */
static const char* file_value(const char* key) {
  size_t klen = strlen(key);
  const char* p = g_scenario;
  while (*p) {
    const char* end = strchr(p, '\n');
    size_t len = end ? (size_t)(end - p) : strlen(p);
    size_t vlen = len;
    if (vlen > 0 && p[vlen - 1] == '\r') --vlen;
    if (vlen > klen && strncmp(p, key, klen) == 0 && p[klen] == '=') {
      unescape(p + klen + 1, vlen - klen - 1, g_value, sizeof g_value);
      return g_value;
    }
    p += len;
    if (*p) ++p;
  }
  return NULL;
}

static const char* env_value(const char* key) {
  char name[256] = "PILOT_STUB_";
  size_t o = strlen(name);
  for (const char* k = key; *k && o + 1 < sizeof name; ++k) {
    char c = *k;
    if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    if (c == '.') c = '_';
    name[o++] = c;
  }
  name[o] = 0;
  const char* v = getenv(name);
  if (!v) return NULL;
  unescape(v, strlen(v), g_value, sizeof g_value);
  return g_value;
}

/* Function-specific key first, environment before file. */
static const char* value(const char* op, const char* key) {
  char scoped[256];
  snprintf(scoped, sizeof scoped, "%s.%s", op, key);
  const char* v = env_value(scoped);
  if (!v) v = env_value(key);
  if (!v) v = file_value(scoped);
  if (!v) v = file_value(key);
  return v;
}

static long number(const char* op, const char* key, long fallback) {
  const char* v = value(op, key);
  if (!v || !*v) return fallback;
  char* end = NULL;
  errno = 0;
  long n = strtol(v, &end, 10);
  return errno == 0 && end && *end == 0 ? n : fallback;
}

/* Copies the text into a fixed field: zero-padded when shorter, cut without
 * a terminator when longer. */
static void set_field(char* field, size_t width, const char* text) {
  size_t len = strlen(text);
  if (len > width) len = width;
  memset(field, 0, width);
  memcpy(field, text, len);
}

static void set_text(const char* op, const char* key, char* field, size_t width,
                     const char* fallback) {
  const char* v = value(op, key);
  set_field(field, width, v ? v : fallback);
}

static void sleep_ms(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

/* Waits the scenario's delay. Returns 1 when the abort marker appeared. */
static int wait_or_abort(const char* op) {
  long delay = number(op, "delay_ms", 0);
  remove_file("abort_operation");
  if (delay <= 0) return 0;
  write_file("waiting", "");
  int aborted = 0;
  for (long waited = 0; waited < delay; waited += 10) {
    if (file_exists("abort_operation")) {
      aborted = 1;
      break;
    }
    sleep_ms(10);
  }
  if (!aborted && file_exists("abort_operation")) aborted = 1;
  if (aborted) remove_file("abort_operation");
  remove_file("waiting");
  return aborted;
}

static int32_t outcome(const char* op, int payment) {
  if (wait_or_abort(op)) return 2000;
  if (payment && number(op, "overdue", 0) == 1 && !file_exists("reconciled")) return 4134;
  return (int32_t)number(op, "result", 0);
}

static void default_receipt(const char* op, const TAuthAnswer* a, int32_t result) {
  if (result != 0) {
    snprintf(g_receipt, sizeof g_receipt, "\xCE\xD2\xCA\xC0\xC7\r\n" /* ОТКАЗ */);
  } else if (a->TType == PILOT_OP_CLOSE_DAY && strcmp(op, "close_day") == 0) {
    snprintf(g_receipt, sizeof g_receipt,
             "\xD1\xC2\xC5\xD0\xCA\xC0 \xC8\xD2\xCE\xC3\xCE\xC2\r\n" /* СВЕРКА ИТОГОВ */
             "\xC8\xD2\xCE\xC3\xC8 \xD1\xCE\xC2\xCF\xC0\xCB\xC8" /* ИТОГИ СОВПАЛИ */);
  } else {
    unsigned amount = a->Amount;
    snprintf(g_receipt, sizeof g_receipt,
             "\xD1\xC1\xC5\xD0\xC1\xC0\xCD\xCA\r\n"            /* СБЕРБАНК */
             "\xCE\xCF\xCB\xC0\xD2\xC0\r\n"                    /* ОПЛАТА */
             "\xD1\xD3\xCC\xCC\xC0: %u.%02u \xD0\xD3\xC1.\r\n" /* СУММА: ... РУБ. */
             "\xCE\xC4\xCE\xC1\xD0\xC5\xCD\xCE" /* ОДОБРЕНО */,
             amount / 100, amount % 100);
  }
}

/* Fills the common answer from the scenario; the request's amount is echoed
 * unless the scenario names another. */
static void answer_common(const char* op, TAuthAnswer* a, int32_t result) {
  a->Amount = (uint32_t)number(op, "amount", (long)a->Amount);
  set_text(op, "rcode", a->Rcode, sizeof a->Rcode, result == 0 ? "00" : "");
  set_text(op, "message", a->AMessage, sizeof a->AMessage,
           result == 0 ? "\xCE\xC4\xCE\xC1\xD0\xC5\xCD\xCE" /* ОДОБРЕНО */ : "");
  a->CType = (int32_t)number(op, "ctype", 1);
  const char* receipt = value(op, "receipt");
  if (receipt) {
    snprintf(g_receipt, sizeof g_receipt, "%s", receipt);
  } else {
    default_receipt(op, a, result);
  }
  a->Check = g_receipt;
}

static void log_request(const char* function, const TAuthAnswer* a) {
  char line[256];
  snprintf(line, sizeof line, "%s type=%d amount=%u ctype=%d", function, (int)a->TType,
           (unsigned)a->Amount, (int)a->CType);
  log_call(line);
}

static void current_date(char* out, size_t size) {
  time_t now = time(NULL);
  struct tm tm;
  localtime_r(&now, &tm);
  strftime(out, size, "%d.%m.%Y %H:%M:%S", &tm);
}

/* One authorisation: "op" names it for the scenario, "function" for the log. */
static int32_t authorize(const char* op, const char* function, TAuthAnswer* a) {
  load_scenario();
  log_request(function, a);
  int32_t result = outcome(op, 1);
  answer_common(op, a, result);
  return result;
}

#define AUTH_CODE(r) \
  set_text(op, "auth_code", (r)->AuthCode, sizeof(r)->AuthCode, result == 0 ? "123456" : "")
#define CARD_ID(r) set_text(op, "card_id", (r)->CardID, sizeof(r)->CardID, "************1234")
#define RRN(r) set_text(op, "rrn", (r)->RRN, sizeof(r)->RRN, "000000000001")
#define HASH(r) \
  set_text(op, "hash", (r)->Hash, sizeof(r)->Hash, "0123456789ABCDEF0123456789ABCDEF01234567")
#define SBER_OWN_CARD(r) (r)->SberOwnCard = (int32_t)number(op, "sber_own_card", 1)
#define TRANS(r)                                                             \
  do {                                                                       \
    char date_[32];                                                          \
    current_date(date_, sizeof date_);                                       \
    (r)->ErrorCode = (int32_t)number(op, "error_code", result);              \
    set_text(op, "trans_date", (r)->TransDate, sizeof(r)->TransDate, date_); \
    (r)->TransNumber = (int32_t)number(op, "trans_number", 1);               \
  } while (0)

int32_t _card_authorize(const char* track2, TAuthAnswer* answer) {
  (void)track2;
  return authorize("card_authorize", "_card_authorize", answer);
}

int32_t _card_authorize2(const char* track2, TAuthAnswer2* r) {
  (void)track2;
  const char* op = "card_authorize2";
  int32_t result = authorize(op, "_card_authorize2", &r->AuthAnswer);
  AUTH_CODE(r);
  return result;
}

int32_t _card_authorize3(const char* track2, TAuthAnswer3* r) {
  (void)track2;
  const char* op = "card_authorize3";
  int32_t result = authorize(op, "_card_authorize3", &r->AuthAnswer);
  AUTH_CODE(r);
  CARD_ID(r);
  return result;
}

int32_t _card_authorize4(const char* track2, TAuthAnswer4* r) {
  (void)track2;
  const char* op = "card_authorize4";
  int32_t result = authorize(op, "_card_authorize4", &r->AuthAnswer);
  AUTH_CODE(r);
  CARD_ID(r);
  TRANS(r);
  return result;
}

int32_t _card_authorize5(const char* track2, TAuthAnswer5* r) {
  (void)track2;
  const char* op = "card_authorize5";
  int32_t result = authorize(op, "_card_authorize5", &r->AuthAnswer);
  RRN(r);
  AUTH_CODE(r);
  return result;
}

int32_t _card_authorize6(const char* track2, TAuthAnswer6* r) {
  (void)track2;
  const char* op = "card_authorize6";
  int32_t result = authorize(op, "_card_authorize6", &r->AuthAnswer);
  AUTH_CODE(r);
  CARD_ID(r);
  TRANS(r);
  RRN(r);
  return result;
}

int32_t _card_authorize7(const char* track2, TAuthAnswer7* r) {
  (void)track2;
  const char* op = "card_authorize7";
  int32_t result = authorize(op, "_card_authorize7", &r->AuthAnswer);
  AUTH_CODE(r);
  CARD_ID(r);
  SBER_OWN_CARD(r);
  return result;
}

int32_t _card_authorize8(const char* track2, TAuthAnswer8* r) {
  (void)track2;
  const char* op = "card_authorize8";
  int32_t result = authorize(op, "_card_authorize8", &r->AuthAnswer);
  AUTH_CODE(r);
  CARD_ID(r);
  TRANS(r);
  RRN(r);
  set_text(op, "encrypted_data", r->EncryptedData, sizeof r->EncryptedData, "");
  return result;
}

int32_t _card_authorize9(const char* track2, TAuthAnswer9* r) {
  (void)track2;
  const char* op = "card_authorize9";
  int32_t result = authorize(op, "_card_authorize9", &r->AuthAnswer);
  AUTH_CODE(r);
  CARD_ID(r);
  SBER_OWN_CARD(r);
  HASH(r);
  return result;
}

int32_t _card_authorize10(const char* track2, TAuthAnswer10* r) {
  (void)track2;
  const char* op = "card_authorize10";
  int32_t result = authorize(op, "_card_authorize10", &r->AuthAnswer);
  AUTH_CODE(r);
  CARD_ID(r);
  TRANS(r);
  SBER_OWN_CARD(r);
  HASH(r);
  return result;
}

#ifndef PILOT_STUB_PARTIAL
int32_t _card_authorize11(const char* track2, TAuthAnswer11* r) {
  (void)track2;
  const char* op = "card_authorize11";
  int32_t result = authorize(op, "_card_authorize11", &r->AuthAnswer);
  AUTH_CODE(r);
  CARD_ID(r);
  TRANS(r);
  SBER_OWN_CARD(r);
  HASH(r);
  set_text(op, "track3", r->Track3, sizeof r->Track3, "");
  return result;
}
#endif

static int32_t answer_call(const char* op, const char* function, TAuthAnswer* a) {
  load_scenario();
  log_request(function, a);
  int32_t result = outcome(op, 0);
  answer_common(op, a, result);
  return result;
}

int32_t _close_day(TAuthAnswer* a) {
  int32_t result = answer_call("close_day", "_close_day", a);
  if (result == 0) write_file("reconciled", "");
  return result;
}

int32_t _get_statistics(TAuthAnswer* a) {
  return answer_call("get_statistics", "_get_statistics", a);
}

int32_t _ServiceMenu(TAuthAnswer* a) {
  return answer_call("ServiceMenu", "_ServiceMenu", a);
}

static int32_t trx(const char* op, const char* function, uint32_t amount, const char* authCode) {
  load_scenario();
  char line[256];
  snprintf(line, sizeof line, "%s amount=%u auth_code=%.16s", function, (unsigned)amount,
           authCode ? authCode : "");
  log_call(line);
  return outcome(op, 0);
}

int32_t _CommitTrx(uint32_t amount, const char* authCode) {
  return trx("CommitTrx", "_CommitTrx", amount, authCode);
}

int32_t _SuspendTrx(uint32_t amount, const char* authCode) {
  return trx("SuspendTrx", "_SuspendTrx", amount, authCode);
}

int32_t _RollbackTrx(uint32_t amount, const char* authCode) {
  return trx("RollbackTrx", "_RollbackTrx", amount, authCode);
}

static int32_t plain_call(const char* op, const char* function) {
  load_scenario();
  log_call(function);
  return outcome(op, 0);
}

int32_t _AbortTransaction(void) {
  return plain_call("AbortTransaction", "_AbortTransaction");
}

int32_t _TestPinpad(void) {
  return plain_call("TestPinpad", "_TestPinpad");
}

#ifndef PILOT_STUB_PARTIAL
int32_t _GetTerminalID(char* buffer) {
  int32_t result = plain_call("GetTerminalID", "_GetTerminalID");
  const char* id = value("GetTerminalID", "terminal_id");
  snprintf(buffer, PILOT_TEXT_BUFFER_SIZE, "%s", id ? id : "00012345");
  return result;
}
#endif

int32_t _ReadTrack2(char* buffer) {
  int32_t result = plain_call("ReadTrack2", "_ReadTrack2");
  const char* track = value("ReadTrack2", "track2");
  snprintf(buffer, PILOT_TEXT_BUFFER_SIZE, "%s", track ? track : "");
  return result;
}

int32_t _ReadCardTrack3(char* last4, char* buffer, char* track3) {
  int32_t result = plain_call("ReadCardTrack3", "_ReadCardTrack3");
  set_field(last4, 4, "1234");
  buffer[0] = 0;
  const char* track = value("ReadCardTrack3", "track3");
  snprintf(track3, PILOT_TEXT_BUFFER_SIZE, "%s", track ? track : "");
  return result;
}

int32_t _SetGUIHandles(uintptr_t textHandle, uintptr_t editHandle) {
  (void)textHandle;
  (void)editHandle;
  return plain_call("SetGUIHandles", "_SetGUIHandles");
}

int32_t _Done(void) {
  load_scenario();
  log_call("_Done");
  return 0;
}
