#pragma once
// What the kiosk core needs from the program around it: the sale screens,
// which sit above the core and cannot be included from it, and the start of
// another program (the updated kiosk, the operator client).
//
// The program installs one implementation at start (registerSaleScreens), and
// the main form refuses to start without one. A screen that a tap opens can
// then never ship as a tap that does nothing: a program built without its
// sale screens stops at once, naming what is missing.

#include <QString>
#include <QStringList>
#include <optional>

#include "kiosk/Products.h"
#include "platform/Exception.h"

// A dependency of a form or worker that nobody wired: a fault of the program,
// not of the kiosk's state.
VEKTA_EXCEPTION_CLASS(EWiring, Exception)

// Raises EWiring naming what when the callable f is empty.
template <typename F>
void requireWiring(const F& f, const char* what) {
  if (!f) throw EWiring(QStringLiteral("Не подключено: %1.").arg(QLatin1String(what)));
}

class IKioskHooks {
 public:
  virtual ~IKioskHooks() = default;

  // The cart, modally (show_drink_form: the drink menu first). It takes the
  // product the scanner selected; answers its modal result.
  virtual int openCart(bool show_drink_form) = 0;
  // The totals reconciliation of a Sberbank terminal, modally; it records its
  // own outcome and never raises.
  virtual void openReviseTotals() = 0;
  // The barcode keypad: the snack the customer picked, or none.
  virtual std::optional<TProduct> openBarcodeKeypad() = 0;
  // Starts a program detached; true when it started. Tests replace it to see
  // what would be started.
  virtual bool startProgram(const QString& program, const QStringList& arguments);
};

// Installs the hooks (not owned; nullptr removes them). Main thread.
void installKioskHooks(IKioskHooks* hooks);
// The installed hooks; raises EWiring when there are none.
IKioskHooks& kioskHooks();
