#pragma once
// TSberDevice: the kiosk's side of the bank bridge. Every operation runs the
// bridge program once, reads the lines it printed and turns every failure
// into an exception whose message can be shown as it stands. It also writes
// the bank library's settings file and the abort marker beside the bridge.
//
// No lock: one thread at a time drives it (discovery, then the payment or
// reconciliation worker). Each operation blocks its thread until the bridge
// has ended.

#include <QString>
#include <QStringList>
#include <atomic>

#include "platform/ConsoleRunner.h"

class TSberDevice {
 public:
  // sberFolder holds the bridge, the bank library and its settings; empty
  // means the "sber" folder beside the running program. runner defaults to
  // RunConsoleCommand; tests put a fake in its place.
  explicit TSberDevice(const QString& sberFolder = QString(),
                       plat::ConsoleCommandRunner runner = {});

  // Purchase of amount roubles, sent as kopecks rounded half to even.
  // Raises unless the library returned 0 and the bank's code is "0" or "00".
  // Setting terminate ends the bridge and raises "Операция прервана.".
  void pay(double amount, const std::atomic<bool>& terminate);
  // Totals reconciliation.
  void revise_totals();
  // Cancels the last payment.
  void rollBackTrx();
  // True when the pad answered; raises when the bridge run failed. Stopped
  // through `terminated`.
  bool testPinPad();
  // Writes the empty abort marker beside the bridge (replacing one there).
  void abort_operation();
  // Writes the bank library's pinpad.ini for the pad on port comPort.
  void createIniFile(int comPort);

  // Checks the lines of the last run (L); raises on failure.
  void checkResult();
  // The rest of the first line of L that begins with key + "="; empty when none.
  QString getValue(const QString& key) const;
  // The operator explanation of a bank result code; empty for a code without one.
  static QString getErrorText(int code);

  QString exe_file;              // the bridge program
  QString abort_operation_file;  // the abort marker
  QStringList L;                 // output lines of the last run
  std::atomic<bool> terminated{false};

 private:
  void run(const QStringList& arguments, const std::atomic<bool>& stop);

  QString sberFolder_;
  plat::ConsoleCommandRunner runner_;
};
