#include "kiosk/CloseBudget.h"

#include <QString>
#include <QtGlobal>
#include <cmath>
#include <cstdint>

#include "devices/Vendotek.h"

static_assert(TCloseBudget{}.cardTerminalStopMs >= TVendotek::kDisableHandshakeBoundMs,
              "the close's step for the card terminal is shorter than the driver's own bound");

TCloseBudget closeBudget() {
  TCloseBudget b;
  bool ok = false;
  const double scale = qEnvironmentVariable("VEKTA_CLOSE_GRACE_SCALE").toDouble(&ok);
  if (ok && scale > 0 && scale <= 100)
    b.saleWorkersGraceMs = int64_t(std::llround(double(b.saleWorkersGraceMs) * scale));
  return b;
}
