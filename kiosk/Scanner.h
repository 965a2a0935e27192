#pragma once
// Input of the keyboard-wedge barcode scanner and card reader: its digits
// arrive as key presses at whatever form is active, and every form hands its
// key releases here. Enter ends a code, which selects a product or, when no
// product has it, may be a loyalty card. A code that selected a product is
// ignored when it comes again within bar_code_delay milliseconds, because
// scanners repeat a code that is held in front of them.

#include <QChar>
#include <QString>
#include <cstdint>
#include <functional>

#include "kiosk/Products.h"

class IEventSink;
struct TVmConfig;

struct TScannerContext {
  const TProductCatalog* products = nullptr;
  // The configuration values the scanner reads (bar_code_delay, vm_id and the
  // loyalty system).
  const TVmConfig* config = nullptr;
  // Where event 201 goes; null or returning null: nowhere yet.
  std::function<IEventSink*()> events;
  // Asks the back office for the card (request 1101, 3 s) and keeps its data;
  // raises the server's or the transport's error. Null: no loyalty lookups.
  std::function<void(qint64 vm_id, const QString& number, int timeout)> getLoyalityCardInfo;
  // Greets an accepted loyalty card. Null until the greeting screen exists:
  // the card is only remembered.
  std::function<void()> showLoyaltyGreeting;
};

class TScannerInput {
 public:
  static constexpr int kEnter = 13;
  static constexpr int kLineFeed = 10;

  explicit TScannerInput(TScannerContext context = {}) : ctx(std::move(context)) {}

  TScannerContext ctx;

  QString input_text;             // digits collected so far
  QString last_bar_code;          // the last code that selected a product
  int64_t last_bar_code_tm = 0;   // when, on plat::clock(); 0: never
  bool product_selected = false;  // the form in front takes selected_product and clears it
  TProduct selected_product;

  // One key release: key is 13 or 10 for the end of a code, keyChar the
  // character the key typed (none for control keys). A code without product
  // that is not a loyalty card raises the not-found message; the main form's
  // handler of unhandled errors shows it.
  void FormKeyUp(int key, QChar keyChar);

  // True when the code was taken for a loyalty card of the configured system
  // (and the card's data were fetched); false without asking anyone otherwise.
  bool checkLoyaltySystemCard(const QString& number);

 private:
  int barCodeDelay() const;
};
