/* The bank library's call interface: answer records and function shapes.
 *
 * Shared by the bridge (C++) and the stand-in library (C), so it must stay
 * valid in both languages. The records are packed and little-endian; text
 * fields are fixed arrays of single-byte windows-1251 characters, zero-
 * terminated only when shorter than the array. This is the 64-bit layout:
 * the receipt pointer `Check` takes 8 bytes, so every field after it sits
 * 4 bytes further than in the 32-bit original. The offsets are asserted
 * below because a silent shift would make the bridge read the wrong bytes. */
#ifndef VEKTA_BRIDGE_PILOT_RECORDS_H
#define VEKTA_BRIDGE_PILOT_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define PILOT_STATIC_ASSERT(cond, text) static_assert(cond, text)
extern "C" {
#else
#define PILOT_STATIC_ASSERT(cond, text) _Static_assert(cond, text)
#endif

/* The library's file name, looked for in the bridge's own folder. */
#define PILOT_LIBRARY_NAME "libpilot_nt.so"

/* Operations in TAuthAnswer.TType. */
#define PILOT_OP_PURCHASE 1
#define PILOT_OP_RETURN 3
#define PILOT_OP_CLOSE_DAY 7

/* Buffers the library fills with zero-terminated text. */
#define PILOT_TEXT_BUFFER_SIZE 255

#pragma pack(push, 1)

/* Common part of every answer; also carries the request. */
typedef struct TAuthAnswer {
  int32_t TType;   /* 1 purchase, 3 return, 7 totals; 0/1 short/detailed statistics */
  uint32_t Amount; /* kopecks */
  char Rcode[3];   /* bank response code */
  char AMessage[16];
  int32_t CType; /* card type; 0 sent */
  char* Check;   /* zero-terminated receipt, owned by the library until it is unloaded */
} TAuthAnswer;

typedef struct TAuthAnswer2 {
  TAuthAnswer AuthAnswer;
  char AuthCode[7];
} TAuthAnswer2;

typedef struct TAuthAnswer3 {
  TAuthAnswer AuthAnswer;
  char AuthCode[7];
  char CardID[25];
} TAuthAnswer3;

typedef struct TAuthAnswer4 {
  TAuthAnswer AuthAnswer;
  char AuthCode[7];
  char CardID[25];
  int32_t ErrorCode;
  char TransDate[20];
  int32_t TransNumber;
} TAuthAnswer4;

typedef struct TAuthAnswer5 {
  TAuthAnswer AuthAnswer;
  char RRN[13];
  char AuthCode[7];
} TAuthAnswer5;

typedef struct TAuthAnswer6 {
  TAuthAnswer AuthAnswer;
  char AuthCode[7];
  char CardID[25];
  int32_t ErrorCode;
  char TransDate[20];
  int32_t TransNumber;
  char RRN[13];
} TAuthAnswer6;

typedef struct TAuthAnswer7 {
  TAuthAnswer AuthAnswer;
  char AuthCode[7];
  char CardID[25];
  int32_t SberOwnCard;
} TAuthAnswer7;

typedef struct TAuthAnswer8 {
  TAuthAnswer AuthAnswer;
  char AuthCode[7];
  char CardID[25];
  int32_t ErrorCode;
  char TransDate[20];
  int32_t TransNumber;
  char RRN[13];
  char EncryptedData[65];
} TAuthAnswer8;

typedef struct TAuthAnswer9 {
  TAuthAnswer AuthAnswer;
  char AuthCode[7];
  char CardID[25];
  int32_t SberOwnCard;
  char Hash[41];
} TAuthAnswer9;

typedef struct TAuthAnswer10 {
  TAuthAnswer AuthAnswer;
  char AuthCode[7];
  char CardID[25];
  int32_t ErrorCode;
  char TransDate[20];
  int32_t TransNumber;
  int32_t SberOwnCard;
  char Hash[41];
} TAuthAnswer10;

typedef struct TAuthAnswer11 {
  TAuthAnswer AuthAnswer;
  char AuthCode[7];
  char CardID[25];
  int32_t ErrorCode;
  char TransDate[20];
  int32_t TransNumber;
  int32_t SberOwnCard;
  char Hash[41];
  char Track3[108];
} TAuthAnswer11;

#pragma pack(pop)

PILOT_STATIC_ASSERT(sizeof(char*) == 8, "the record layout is the 64-bit one");

PILOT_STATIC_ASSERT(offsetof(TAuthAnswer, TType) == 0, "TAuthAnswer.TType");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer, Amount) == 4, "TAuthAnswer.Amount");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer, Rcode) == 8, "TAuthAnswer.Rcode");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer, AMessage) == 11, "TAuthAnswer.AMessage");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer, CType) == 27, "TAuthAnswer.CType");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer, Check) == 31, "TAuthAnswer.Check");
PILOT_STATIC_ASSERT(sizeof(TAuthAnswer) == 39, "TAuthAnswer size");

PILOT_STATIC_ASSERT(offsetof(TAuthAnswer2, AuthCode) == 39, "TAuthAnswer2.AuthCode");
PILOT_STATIC_ASSERT(sizeof(TAuthAnswer2) == 46, "TAuthAnswer2 size");

PILOT_STATIC_ASSERT(offsetof(TAuthAnswer3, AuthCode) == 39, "TAuthAnswer3.AuthCode");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer3, CardID) == 46, "TAuthAnswer3.CardID");
PILOT_STATIC_ASSERT(sizeof(TAuthAnswer3) == 71, "TAuthAnswer3 size");

PILOT_STATIC_ASSERT(offsetof(TAuthAnswer4, AuthCode) == 39, "TAuthAnswer4.AuthCode");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer4, CardID) == 46, "TAuthAnswer4.CardID");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer4, ErrorCode) == 71, "TAuthAnswer4.ErrorCode");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer4, TransDate) == 75, "TAuthAnswer4.TransDate");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer4, TransNumber) == 95, "TAuthAnswer4.TransNumber");
PILOT_STATIC_ASSERT(sizeof(TAuthAnswer4) == 99, "TAuthAnswer4 size");

PILOT_STATIC_ASSERT(offsetof(TAuthAnswer5, RRN) == 39, "TAuthAnswer5.RRN");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer5, AuthCode) == 52, "TAuthAnswer5.AuthCode");
PILOT_STATIC_ASSERT(sizeof(TAuthAnswer5) == 59, "TAuthAnswer5 size");

PILOT_STATIC_ASSERT(offsetof(TAuthAnswer6, AuthCode) == 39, "TAuthAnswer6.AuthCode");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer6, CardID) == 46, "TAuthAnswer6.CardID");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer6, ErrorCode) == 71, "TAuthAnswer6.ErrorCode");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer6, TransDate) == 75, "TAuthAnswer6.TransDate");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer6, TransNumber) == 95, "TAuthAnswer6.TransNumber");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer6, RRN) == 99, "TAuthAnswer6.RRN");
PILOT_STATIC_ASSERT(sizeof(TAuthAnswer6) == 112, "TAuthAnswer6 size");

PILOT_STATIC_ASSERT(offsetof(TAuthAnswer7, AuthCode) == 39, "TAuthAnswer7.AuthCode");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer7, CardID) == 46, "TAuthAnswer7.CardID");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer7, SberOwnCard) == 71, "TAuthAnswer7.SberOwnCard");
PILOT_STATIC_ASSERT(sizeof(TAuthAnswer7) == 75, "TAuthAnswer7 size");

PILOT_STATIC_ASSERT(offsetof(TAuthAnswer8, AuthCode) == 39, "TAuthAnswer8.AuthCode");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer8, CardID) == 46, "TAuthAnswer8.CardID");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer8, ErrorCode) == 71, "TAuthAnswer8.ErrorCode");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer8, TransDate) == 75, "TAuthAnswer8.TransDate");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer8, TransNumber) == 95, "TAuthAnswer8.TransNumber");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer8, RRN) == 99, "TAuthAnswer8.RRN");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer8, EncryptedData) == 112, "TAuthAnswer8.EncryptedData");
PILOT_STATIC_ASSERT(sizeof(TAuthAnswer8) == 177, "TAuthAnswer8 size");

PILOT_STATIC_ASSERT(offsetof(TAuthAnswer9, AuthCode) == 39, "TAuthAnswer9.AuthCode");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer9, CardID) == 46, "TAuthAnswer9.CardID");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer9, SberOwnCard) == 71, "TAuthAnswer9.SberOwnCard");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer9, Hash) == 75, "TAuthAnswer9.Hash");
PILOT_STATIC_ASSERT(sizeof(TAuthAnswer9) == 116, "TAuthAnswer9 size");

PILOT_STATIC_ASSERT(offsetof(TAuthAnswer10, AuthCode) == 39, "TAuthAnswer10.AuthCode");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer10, CardID) == 46, "TAuthAnswer10.CardID");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer10, ErrorCode) == 71, "TAuthAnswer10.ErrorCode");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer10, TransDate) == 75, "TAuthAnswer10.TransDate");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer10, TransNumber) == 95, "TAuthAnswer10.TransNumber");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer10, SberOwnCard) == 99, "TAuthAnswer10.SberOwnCard");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer10, Hash) == 103, "TAuthAnswer10.Hash");
PILOT_STATIC_ASSERT(sizeof(TAuthAnswer10) == 144, "TAuthAnswer10 size");

PILOT_STATIC_ASSERT(offsetof(TAuthAnswer11, AuthCode) == 39, "TAuthAnswer11.AuthCode");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer11, CardID) == 46, "TAuthAnswer11.CardID");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer11, ErrorCode) == 71, "TAuthAnswer11.ErrorCode");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer11, TransDate) == 75, "TAuthAnswer11.TransDate");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer11, TransNumber) == 95, "TAuthAnswer11.TransNumber");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer11, SberOwnCard) == 99, "TAuthAnswer11.SberOwnCard");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer11, Hash) == 103, "TAuthAnswer11.Hash");
PILOT_STATIC_ASSERT(offsetof(TAuthAnswer11, Track3) == 144, "TAuthAnswer11.Track3");
PILOT_STATIC_ASSERT(sizeof(TAuthAnswer11) == 252, "TAuthAnswer11 size");

/* Function shapes. Every function returns the library's result code, 0 for
 * success. The track-2 argument of the authorisations is always null. */
typedef int32_t (*PilotCardAuthorizeFn)(const char* track2, TAuthAnswer* answer);
typedef int32_t (*PilotCardAuthorize2Fn)(const char* track2, TAuthAnswer2* answer);
typedef int32_t (*PilotCardAuthorize3Fn)(const char* track2, TAuthAnswer3* answer);
typedef int32_t (*PilotCardAuthorize4Fn)(const char* track2, TAuthAnswer4* answer);
typedef int32_t (*PilotCardAuthorize5Fn)(const char* track2, TAuthAnswer5* answer);
typedef int32_t (*PilotCardAuthorize6Fn)(const char* track2, TAuthAnswer6* answer);
typedef int32_t (*PilotCardAuthorize7Fn)(const char* track2, TAuthAnswer7* answer);
typedef int32_t (*PilotCardAuthorize8Fn)(const char* track2, TAuthAnswer8* answer);
typedef int32_t (*PilotCardAuthorize9Fn)(const char* track2, TAuthAnswer9* answer);
typedef int32_t (*PilotCardAuthorize10Fn)(const char* track2, TAuthAnswer10* answer);
typedef int32_t (*PilotCardAuthorize11Fn)(const char* track2, TAuthAnswer11* answer);
/* _close_day, _get_statistics, _ServiceMenu */
typedef int32_t (*PilotAnswerFn)(TAuthAnswer* answer);
/* _CommitTrx, _SuspendTrx, _RollbackTrx: amount in kopecks, authorisation code or null */
typedef int32_t (*PilotTrxFn)(uint32_t amount, const char* authCode);
/* _AbortTransaction, _TestPinpad, _Done */
typedef int32_t (*PilotVoidFn)(void);
/* _GetTerminalID, _ReadTrack2: a PILOT_TEXT_BUFFER_SIZE buffer */
typedef int32_t (*PilotTextFn)(char* buffer);
/* _ReadCardTrack3: 4-byte card number text, a 255-byte buffer, 255-byte track 3 text */
typedef int32_t (*PilotReadTrack3Fn)(char* last4, char* buffer, char* track3);
/* _SetGUIHandles: window handles of the text and edit windows */
typedef int32_t (*PilotSetGUIHandlesFn)(uintptr_t textHandle, uintptr_t editHandle);

#ifdef __cplusplus
}
#endif

#endif
