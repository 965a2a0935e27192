#include "backoffice/KernelAPI.h"

#include <QDateTime>
#include <cmath>

#include "backoffice/JClient.h"
#include "backoffice/JTable.h"
#include "platform/TextCodec.h"

namespace {

int64_t kopecks(double roubles) {
  return int64_t(std::nearbyint(roubles * 100.0));
}

class Call {
 public:
  Call(TJClient* c, uint16_t code) : c_(c) {
    if (!c_) throw Exception(QStringLiteral("No client (TKernelAPI)."));
    c_->clearBatch();
    r_ = &c_->addRequest(code);
  }
  Call& operator<<(const WireValue& v) {
    r_->addParam(v);
    return *this;
  }
  TRequest& request() { return *r_; }
  // Runs the batch; the reply's first request, for reading results.
  TRequest& run(int timeout) {
    reply_ = c_->runBatch(timeout);
    return reply_->request(0);
  }

 private:
  TJClient* c_;
  TRequest* r_ = nullptr;
  TRequestBatchPtr reply_;
};

void addPositions(Call& call, const TProductPositionArray& positions) {
  call << WireValue(int(positions.size()));
  for (const auto& p : positions)
    call << WireValue(p.product) << WireValue(p.quantity) << WireValue(p.price);
}

// The fifteen loyalty values, in order.
void readLoyalty(TRequest& r, TLoyalityCardInfo& info) {
  info.user.user_id = r.nextResultParam().toInt64();
  info.user.operation_id = r.nextResultParam().toInt64();
  info.user.first_name = r.nextResultParam().toString();
  info.user.last_name = r.nextResultParam().toString();
  info.user.phone = r.nextResultParam().toString();
  info.user.barcode = r.nextResultParam().toString();
  info.user.template_ = r.nextResultParam().toString();
  info.cashback.existed_summ = r.nextResultParam().toDouble();
  info.cashback.allowed_summ = r.nextResultParam().toDouble();
  info.cashback.percent = r.nextResultParam().toDouble();
  info.cashback.will_add = r.nextResultParam().toDouble();
  info.cashback.loyalty_level = r.nextResultParam().toString();
  info.discount.summ = r.nextResultParam().toDouble();
  info.discount.percent = r.nextResultParam().toDouble();
  info.discount.loyalty_level = r.nextResultParam().toString();
}

void addCardUser(Call& call, const TLoyalityCardInfo& info) {
  call << WireValue::int64(info.user.user_id) << WireValue::int64(info.user.operation_id)
       << WireValue(info.user.first_name) << WireValue(info.user.last_name)
       << WireValue(info.user.phone) << WireValue(info.user.barcode)
       << WireValue(info.user.template_);
}

}  // namespace

QByteArray ToOemString(const QString& text) {
  return plat::toOem(text);
}

// ---- machine commands ----

QString TKernelAPI::trm_vm_state(int vm_id, TJTable* tbVM, int timeout) {
  Call call(JClient, 1002);
  call << WireValue(vm_id);
  if (tbVM) {
    TRequest& r = JClient->addRequest(1);
    r.addTable(tbVM);
    r.addParam(WireValue(tbVM->sqlText()));
    r.addParam(WireValue(tbVM->paramCount()));
    for (int i = 0; i < tbVM->paramCount(); ++i) {
      r.addParam(WireValue(TJTransport::fieldTypeToJavaType(tbVM->getParam(i).dataType)));
      r.addParam(tbVM->getParam(i).value);
    }
  }
  return call.run(timeout).resultParam(0).toString();
}

void TKernelAPI::trm_vm_restart(int vm_id, int timeout) {
  (Call(JClient, 1003) << WireValue(vm_id)).run(timeout);
}

void TKernelAPI::trm_vm_run_motor(int vm_id, int motor, int timeout) {
  (Call(JClient, 1005) << WireValue(vm_id) << WireValue(motor)).run(timeout);
}

QString TKernelAPI::trm_vm_exec_program(int vm_id, const QString& prgName, bool suspendedExecution,
                                        int timeout) {
  Call call(JClient, 1006);
  call << WireValue(vm_id) << WireValue(prgName) << WireValue(suspendedExecution ? 1 : 0);
  return call.run(timeout).resultParam(0).toStringNullEmpty();
}

void TKernelAPI::trm_vm_reboot(int vm_id, int timeout) {
  (Call(JClient, 1009) << WireValue(vm_id)).run(timeout);
}

void TKernelAPI::trm_vm_pow_disable(int vm_id, int timeout) {
  (Call(JClient, 1010) << WireValue(vm_id)).run(timeout);
}

void TKernelAPI::trm_vm_pow_enable(int vm_id, int timeout) {
  (Call(JClient, 1011) << WireValue(vm_id)).run(timeout);
}

void TKernelAPI::bc_err_reset(int vm_id, int timeout) {
  (Call(JClient, 1028) << WireValue(vm_id)).run(timeout);
}

void TKernelAPI::point_audit(int point_id, int timeout) {
  (Call(JClient, 1030) << WireValue(point_id)).run(timeout);
}

void TKernelAPI::vms_audit(const std::vector<int>& vm_ids, int timeout) {
  Call call(JClient, 1031);
  for (int id : vm_ids) call << WireValue(id);
  call.run(timeout);
}

void TKernelAPI::bc_credit(int vm_id, double amount, int timeout) {
  Call call(JClient, 1032);
  call << WireValue(vm_id) << WireValue(amount) << WireValue::currency(0)
       << WireValue(QStringLiteral("tst") +
                    QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss")));
  call.run(timeout);
}

void TKernelAPI::bc_motor(int vm_id, const QString& motor, int timeout) {
  (Call(JClient, 1033) << WireValue(vm_id) << WireValue(motor)).run(timeout);
}

void TKernelAPI::pm_credit_reset(int vm_id, int timeout) {
  (Call(JClient, 1072) << WireValue(vm_id)).run(timeout);
}

void TKernelAPI::pm_cash_disbursement(int vm_id, double amount, int timeout) {
  (Call(JClient, 1073) << WireValue(vm_id) << WireValue(amount)).run(timeout);
}

// ---- sales, documents, state ----

TCheckInfo TKernelAPI::sendSaleReportToCashRegister(bool isOnline, double dt, uint32_t sale_no,
                                                    const QString& pmVmId, int64_t firmID,
                                                    double cash_amount, double cashless_amount,
                                                    const std::vector<TSaleReportPosition>& goods,
                                                    int timeout) {
  Call call(JClient, 1068);
  call << WireValue::byte(isOnline ? 1 : 0) << WireValue(dt) << WireValue::int64(sale_no)
       << WireValue::ansi(pmVmId) << WireValue::int64(firmID)
       << WireValue::int64(kopecks(cash_amount)) << WireValue::int64(kopecks(cashless_amount))
       << WireValue(int(goods.size()));
  for (const auto& g : goods) {
    // The id's four bytes, least significant first, then the OEM name.
    QByteArray head(4, Qt::Uninitialized);
    const auto id = uint32_t(g.nomenclature_id);
    for (int i = 0; i < 4; ++i) head[i] = char((id >> (8 * i)) & 0xFF);
    call << WireValue::ansiBytes(head + ToOemString(g.nomenclature_name))
         << WireValue::int64(kopecks(g.price)) << WireValue(g.quantity);
  }
  TRequest& r = call.run(timeout);
  TCheckInfo c;
  c.id = r.nextResultParam().toInt();
  c.fdNumber = uint32_t(r.nextResultParam().toInt64());
  c.fp = uint32_t(r.nextResultParam().toInt64());
  c.dt = r.nextResultParam().toDateTime();
  c.shiftNo = uint16_t(r.nextResultParam().toInt());
  c.checkNumberInShift = uint16_t(r.nextResultParam().toInt());
  c.fnSerialNumber = r.nextResultParam().toStringNullEmpty();
  return c;
}

TSavedOperatorFormInfo TKernelAPI::saveOperatorForm(double docDt, int userID, int vm_id,
                                                    const WireValue& point_id,
                                                    const WireValue& trip_id,
                                                    const QString& appVersion, const QString& xml,
                                                    int timeout) {
  Call call(JClient, 1078);
  call << WireValue(docDt) << WireValue(userID) << WireValue(vm_id) << point_id << trip_id
       << WireValue(appVersion) << WireValue(xml);
  TRequest& r = call.run(timeout);
  TSavedOperatorFormInfo info;
  info.docOperatorForm_id = uint32_t(r.nextResultParam().toInt64());
  info.docPmTuning_id = uint32_t(r.nextResultParam().toInt64());
  info.pmTuningErr = r.nextResultParam().toStringNullEmpty();
  return info;
}

void TKernelAPI::vekta_vm_state(int vm_id, const QString& eva_err_codes, int timeout) {
  (Call(JClient, 1081) << WireValue(vm_id) << WireValue(eva_err_codes)).run(timeout);
}

int TKernelAPI::sendDocument(const QString& tableName, const QString& xml, int timeout) {
  Call call(JClient, 1086);
  call << WireValue(tableName) << WireValue(xml);
  return call.run(timeout).nextResultParam().toInt();
}

// ---- payments ----

void TKernelAPI::sbpGenerateQrCode(int vm_id, double amount, QString& qrCode, int64_t& sessionID,
                                   int timeout) {
  Call call(JClient, 1088);
  call << WireValue(vm_id) << WireValue(amount);
  TRequest& r = call.run(timeout);
  qrCode = r.nextResultParam().toString();
  sessionID = r.nextResultParam().toInt64();
}

int TKernelAPI::sbpGetSessionStatus(int64_t sessionID, int timeout) {
  Call call(JClient, 1089);
  call << WireValue::int64(sessionID);
  return call.run(timeout).nextResultParam().toInt();
}

void TKernelAPI::yandexBadgePayment(int vm_id, const TProductPositionArray& positions,
                                    int timeout) {
  Call call(JClient, 1097);
  call << WireValue(vm_id);
  addPositions(call, positions);
  call.run(timeout);
}

TIdentityCardPayment TKernelAPI::identityCardPayment(int vm_id, const QString& card_no,
                                                     double amount, int timeout) {
  Call call(JClient, 1100);
  call << WireValue(vm_id) << WireValue(card_no) << WireValue(amount);
  TRequest& r = call.run(timeout);
  TIdentityCardPayment p;
  p.initial_balance = r.nextResultParam().toDouble();
  p.payment_done = r.nextResultParam().toBool();
  p.final_balance = r.nextResultParam().toDouble();
  return p;
}

// ---- loyalty ----
// The record reaches the caller only when all fifteen values were read.

TLoyalityCardInfo TKernelAPI::getLoyalityCardInfo(int vm_id, const QString& user_barcode,
                                                  int timeout) {
  Call call(JClient, 1101);
  call << WireValue(vm_id) << WireValue(user_barcode);
  TRequest& r = call.run(timeout);
  TLoyalityCardInfo info;
  info.isActive = true;
  readLoyalty(r, info);
  return info;
}

TLoyalityCardInfo TKernelAPI::loyalityCardOperation(int vm_id, const QString& user_barcode,
                                                    double amount,
                                                    const TProductPositionArray& positions,
                                                    int timeout) {
  Call call(JClient, 1102);
  call << WireValue(vm_id) << WireValue(user_barcode) << WireValue(amount);
  addPositions(call, positions);
  TRequest& r = call.run(timeout);
  TLoyalityCardInfo info;
  info.isActive = true;
  readLoyalty(r, info);
  return info;
}

void TKernelAPI::loyalityCardSubmitOperation(int vm_id, const TLoyalityCardInfo& info,
                                             int timeout) {
  Call call(JClient, 1103);
  call << WireValue(vm_id);
  addCardUser(call, info);
  call.run(timeout);
}

void TKernelAPI::loyalityCardBonusWriteOff(int vm_id, const TLoyalityCardInfo& info,
                                           double bonus_write_off_amount, int timeout) {
  Call call(JClient, 1104);
  call << WireValue(vm_id);
  addCardUser(call, info);
  call << WireValue(bonus_write_off_amount);
  call.run(timeout);
}
