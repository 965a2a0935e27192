#pragma once
// Services every form uses through the main form: the press feedback of touch
// buttons, the text of an amount, the footer with the machine's number and the
// support phone, and the common size of OK/Cancel pairs. Main thread only.

#include <QString>

class IEventSink;
class QObject;
class QWidget;

class TFormServices {
 public:
  virtual ~TFormServices() = default;

  // Flashes a rectangle button gold for 150 ms (its shadow off meanwhile) and
  // queues event 42 with the form's caption, " -> " and the button's hint or
  // label text. No user input is processed during the flash, so a second tap
  // cannot run the button's action inside the first. Raises "sender is not
  // TREctangle" for anything but a TRectangle.
  void buttonPressed(QObject* sender);

  // An amount in roubles: a whole number as "45", anything else with exactly
  // two decimals in the Russian format ("12345,67"), never with digit groups
  // or an exponent.
  static QString formatAmount(double x);

  // Fills a footer panel from the settings "serialNumber" and "support_phone"
  // (labels "lbSerialNumber" and "lbSupportPhone" of the panel's form) and lays
  // it out; hides it (height 0) without a serial number.
  void updateSerialNumberPanel(QWidget* panel);

  // Sizes an OK/Cancel pair and places it at the bottom right of the screen.
  // The font and height are measured on the first call and kept for the run;
  // the width follows the Cancel text at that font, so its margins stay a
  // third of the text whatever font the buttons had before. Push buttons and
  // touch buttons alike (a touch button's label carries its text).
  void setFontSizeAndPositionForOkCancelButtons(QWidget* ok, QWidget* cancel);
  // The same in a panel narrower than the screen: the pair ends at right.
  void setFontSizeAndPositionForOkCancelButtons(QWidget* ok, QWidget* cancel, double right);

  // The event queue; null until the event log exists.
  IEventSink* logThread = nullptr;
  // The way in to logThread that the close shuts before it lets the one-copy
  // lock go (the main form's event gate); null: logThread itself.
  IEventSink* eventGateSink = nullptr;
  double fButtonsFontSize = 0;  // 0: not measured yet
  double fButonsHeight = 0;

  // Queues an event when there is an event queue (any screen's, on the
  // main thread).
  void queueEvent(int event_id, const QString& descr);

 protected:
  // Trimmed text of a "global" setting; the main form reads its settings store.
  virtual QString globalText(const QString& name) const;
};
