#pragma once
// Requests and batches: what a caller fills before a batch runs and reads
// after it. The transport writes them in the order given and matches reply
// entries to requests by position.

#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "backoffice/WireValue.h"

namespace plat {
class MemTable;
}
class TJTransport;

// The most requests per batch and parameters per request the u16 counts allow.
constexpr int kMaxBatchItems = 65535;

class TRequest {
 public:
  explicit TRequest(TJTransport* transport = nullptr, uint16_t code = 0)
      : transport(transport), requestCode(code) {}

  // Raises "Number of params in the requests exceeds maximal value (65535)."
  void addParam(const WireValue& v);
  void addResult(const WireValue& v) { results.push_back(v); }
  // The next table of this request's reply fills tb (not owned).
  void addTable(plat::MemTable* tb) { tables.push_back(tb); }

  int inputParamCount() const { return int(params.size()); }
  const WireValue& inputParam(int index) const;
  int resultParamCount() const { return int(results.size()); }
  const WireValue& resultParam(int index) const;
  // The result at the cursor, then the cursor moves on; out of range it
  // raises with the cursor in the text and the cursor stays.
  const WireValue& nextResultParam();

  TJTransport* transport;
  uint16_t requestCode;
  TVariantArray params;
  std::vector<plat::MemTable*> tables;
  TVariantArray results;
  int resultParamIndex = 0;
};

class TRequestBatch {
 public:
  uint16_t errorCode = 0;
  QString errorMessage;
  uint16_t errorRequestNo = 0;
  std::vector<std::unique_ptr<TRequest>> requests;

  int count() const { return int(requests.size()); }
  TRequest& request(int i) { return *requests.at(size_t(i)); }
  const TRequest& request(int i) const { return *requests.at(size_t(i)); }
};
using TRequestBatchPtr = std::unique_ptr<TRequestBatch>;
