#pragma once

// The kiosk hooks for tests of the kiosk core, which do not link the sale
// screens: every screen is recorded and answered as a customer who leaves,
// and a program start is recorded instead of made. Installed for its
// lifetime.

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "kiosk/KioskHooks.h"

namespace testkit {

class StubKioskHooks : public IKioskHooks {
 public:
  struct Start {
    QString program;
    QStringList arguments;
  };

  StubKioskHooks() { installKioskHooks(this); }
  ~StubKioskHooks() override { installKioskHooks(nullptr); }
  StubKioskHooks(const StubKioskHooks&) = delete;
  StubKioskHooks& operator=(const StubKioskHooks&) = delete;

  int openCart(bool show_drink_form) override {
    carts.push_back(show_drink_form);
    return 2;
  }
  void openReviseTotals() override { ++reconciliations; }
  std::optional<TProduct> openBarcodeKeypad() override {
    ++keypads;
    return std::nullopt;
  }
  bool startProgram(const QString& program, const QStringList& arguments) override {
    starts.push_back({program, arguments});
    return startSucceeds;
  }

  std::vector<bool> carts;  // show_drink_form of each cart opened
  int reconciliations = 0;
  int keypads = 0;
  std::vector<Start> starts;
  bool startSucceeds = true;
};

}  // namespace testkit
