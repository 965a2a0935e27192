#pragma once
// The kiosk's typed façade over the back-office client: one method per
// business operation (requests 1002-1104). Each method sends one batch on
// the client it was given and turns the reply into plain values. A refusal
// raises the server's text unchanged; nothing is retried.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

#include "backoffice/WireValue.h"

class TJClient;
class TJTable;

struct TProductPosition {
  QString product;
  int quantity = 0;
  double price = 0;  // roubles
};
using TProductPositionArray = std::vector<TProductPosition>;

struct TSaleReportPosition {
  int nomenclature_id = 0;
  QString nomenclature_name;
  double price = 0;  // roubles
  int quantity = 0;
};

struct TCheckInfo {
  int id = 0;
  uint16_t checkNumberInShift = 0;
  uint32_t fdNumber = 0;
  uint32_t fp = 0;
  double dt = 0;  // day count
  uint16_t shiftNo = 0;
  QString fnSerialNumber;
};

struct TIdentityCardPayment {
  double initial_balance = 0;
  bool payment_done = false;
  double final_balance = 0;
};

struct TSavedOperatorFormInfo {
  uint32_t docOperatorForm_id = 0;
  uint32_t docPmTuning_id = 0;
  QString pmTuningErr;
};

struct TLoyalityUserInfo {
  int64_t user_id = 0;
  int64_t operation_id = 0;
  QString first_name;
  QString last_name;
  QString phone;
  QString barcode;
  QString template_;  // "template" on the wire
};

struct TLoyalityCashbackInfo {
  double existed_summ = 0;
  double allowed_summ = 0;
  double percent = 0;
  double will_add = 0;
  QString loyalty_level;
};

struct TLoyalityDiscountInfo {
  double summ = 0;
  double percent = 0;
  QString loyalty_level;
};

struct TLoyalityCardInfo {
  bool isActive = false;
  TLoyalityUserInfo user;
  TLoyalityCashbackInfo cashback;
  TLoyalityDiscountInfo discount;
};

// The name bytes of a sale report's goods: the text in the OEM code page,
// one byte per character.
QByteArray ToOemString(const QString& text);

class TKernelAPI {
 public:
  explicit TKernelAPI(TJClient* client = nullptr) : JClient(client) {}

  TJClient* JClient;  // not owned

  // ---- machine commands ----
  QString trm_vm_state(int vm_id, TJTable* tbVM, int timeout);
  void trm_vm_restart(int vm_id, int timeout);
  void trm_vm_run_motor(int vm_id, int motor, int timeout);
  QString trm_vm_exec_program(int vm_id, const QString& prgName, bool suspendedExecution,
                              int timeout);
  void trm_vm_reboot(int vm_id, int timeout);
  void trm_vm_pow_disable(int vm_id, int timeout);
  void trm_vm_pow_enable(int vm_id, int timeout);
  void bc_err_reset(int vm_id, int timeout);
  void point_audit(int point_id, int timeout);
  void vms_audit(const std::vector<int>& vm_ids, int timeout);
  void bc_credit(int vm_id, double amount, int timeout);
  void bc_motor(int vm_id, const QString& motor, int timeout);
  void pm_credit_reset(int vm_id, int timeout);
  void pm_cash_disbursement(int vm_id, double amount, int timeout);

  // ---- sales, documents, state ----
  TCheckInfo sendSaleReportToCashRegister(bool isOnline, double dt, uint32_t sale_no,
                                          const QString& pmVmId, int64_t firmID, double cash_amount,
                                          double cashless_amount,
                                          const std::vector<TSaleReportPosition>& goods,
                                          int timeout);
  TSavedOperatorFormInfo saveOperatorForm(double docDt, int userID, int vm_id,
                                          const WireValue& point_id, const WireValue& trip_id,
                                          const QString& appVersion, const QString& xml,
                                          int timeout);
  void vekta_vm_state(int vm_id, const QString& eva_err_codes, int timeout);
  int sendDocument(const QString& tableName, const QString& xml, int timeout);

  // ---- payments ----
  void sbpGenerateQrCode(int vm_id, double amount, QString& qrCode, int64_t& sessionID,
                         int timeout);
  int sbpGetSessionStatus(int64_t sessionID, int timeout);
  void yandexBadgePayment(int vm_id, const TProductPositionArray& positions, int timeout);
  TIdentityCardPayment identityCardPayment(int vm_id, const QString& card_no, double amount,
                                           int timeout);

  // ---- loyalty ----
  TLoyalityCardInfo getLoyalityCardInfo(int vm_id, const QString& user_barcode, int timeout);
  TLoyalityCardInfo loyalityCardOperation(int vm_id, const QString& user_barcode, double amount,
                                          const TProductPositionArray& positions, int timeout);
  void loyalityCardSubmitOperation(int vm_id, const TLoyalityCardInfo& info, int timeout);
  void loyalityCardBonusWriteOff(int vm_id, const TLoyalityCardInfo& info,
                                 double bonus_write_off_amount, int timeout);
};
