#include "backoffice/Request.h"

void TRequest::addParam(const WireValue& v) {
  if (params.size() >= size_t(kMaxBatchItems))
    throw Exception(QStringLiteral("Number of params in the requests exceeds maximal value (%1).")
                        .arg(kMaxBatchItems));
  params.push_back(v);
}

const WireValue& TRequest::inputParam(int index) const {
  if (index < 0 || index >= inputParamCount())
    throw EAbstractError(QStringLiteral("Index is out of bounds (TRequest.inputParam)."));
  return params[size_t(index)];
}

const WireValue& TRequest::resultParam(int index) const {
  if (index < 0 || index >= resultParamCount())
    throw EAbstractError(QStringLiteral("Index is out of bounds (TRequest.resultParam)."));
  return results[size_t(index)];
}

const WireValue& TRequest::nextResultParam() {
  if (resultParamIndex < 0 || resultParamIndex >= resultParamCount())
    throw EAbstractError(QStringLiteral("Index is out of bounds (%1, TRequest.nextResultParam).")
                             .arg(resultParamIndex));
  return results[size_t(resultParamIndex++)];
}
