#pragma once
// A stand-in Carimali coffee machine on a pseudo-terminal, with its COM<n>
// link in a ports folder. It keeps a main state block, 28 recipe blocks (the
// second state block is the last of them, as on the machine) and answers the
// kiosk's reads, writes, clock and service commands. A drink runs for a set
// time; the boiler fill likewise. It can stay silent, spoil, split or refuse
// its answers.
//
// It runs on its own thread; tests drive it in-process, the demo runs it as
// carimali-sim.

#include <QByteArray>
#include <QString>
#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "testbed/VendotekSim.h"

class CarimaliSim {
 public:
  static constexpr int kStateSize = 76;
  static constexpr int kRecipeSize = 72;

  struct Command {
    uint8_t code = 0;
    QByteArray data;
  };

  CarimaliSim(const QString& portsDir, int com);
  ~CarimaliSim();
  CarimaliSim(const CarimaliSim&) = delete;
  CarimaliSim& operator=(const CarimaliSim&) = delete;

  QString linkPath() const { return port_.linkPath(); }
  QString ttyPath() const { return port_.ttyPath(); }

  // The machine's condition; each may change while the simulator runs.
  void setStateByte(int index, uint8_t value);
  uint8_t stateByte(int index) const;
  void setPowerOn(bool on);                         // byte 4
  void setGroupInitialized(bool on);                // byte 10
  void setTrayFull(bool on);                        // byte 14
  void setNoWater(bool on);                         // byte 22
  void setNoCoffee(bool on);                        // byte 34
  void setBunkerError(uint8_t code);                // byte 38
  void setBoilerTemperature(uint8_t t);             // byte 40
  void setBoilerMustBeFilled(bool on);              // byte 4 of the second block
  void setRecipe(int n, const QByteArray& recipe);  // n 1..28, 72 bytes
  QByteArray recipe(int n) const;
  // How long a drink and a boiler fill take (default 300 ms each).
  void setDrinkDurationMs(int ms);
  void setFillDurationMs(int ms);
  // After a power-off the machine reports "on" again only after this delay.
  void setPowerOffDelayMs(int ms);

  // Faults.
  void setSilent(bool on);
  void corruptNextAnswer();            // wrong CRC
  void splitNextAnswer(int gapMs);     // first 4 bytes, then the rest gapMs later
  void refuseNextAnswer();             // 0x15 in place of the acknowledgement
  void answerNextWithCode(uint8_t c);  // another command code in the head

  // Every command the kiosk sent, in order.
  std::vector<Command> received() const;
  int count(uint8_t code, const QByteArray& dataPrefix = {}) const;
  void clearReceived();

  // A recipe with the given drink number and steps; ingredient bytes of the
  // steps that use beans are 0, of the others 1.
  static QByteArray makeRecipe(uint8_t drinkNo, int steps, bool step1Beans, bool step2Beans = false,
                               bool step3Beans = false);

 private:
  using Clock = std::chrono::steady_clock;

  void run(std::stop_token st);
  // The answer data for a command; false: the command is not known.
  bool handle(uint8_t code, const QByteArray& data, QByteArray* answer);
  void advance();
  void send(uint8_t code, const QByteArray& answerData);

  SimPort port_;
  mutable std::mutex mu_;
  QByteArray state_;
  std::array<QByteArray, 28> recipes_;
  int drinkMs_ = 300;
  int fillMs_ = 300;
  int powerOffDelayMs_ = 0;
  Clock::time_point drinkEnd_{};
  bool drinking_ = false;
  Clock::time_point fillEnd_{};
  bool filling_ = false;
  Clock::time_point powerOffAt_{};
  bool poweringOff_ = false;
  bool silent_ = false;
  bool corruptNext_ = false;
  int splitGapMs_ = -1;
  bool refuseNext_ = false;
  int wrongCode_ = -1;
  std::vector<Command> received_;
  std::jthread thread_;
};
