#pragma once
// The Carimali coffee machine on a serial line (19200 bit/s, 8N1): one
// command frame out, one acknowledged answer frame back.
//
// Frame: 57 01 01, the command code, the data, CRC-16/MODBUS of everything
// before it, high byte first. An answer repeats the head and the code, then
// 0x06 (acknowledgement), its data and its own CRC.
//
// The driver holds no lock: every caller takes the kiosk's coffee-machine
// lock around each use, so the supervision thread, the configuration cycle
// and the screens never interleave their exchanges.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>

#include "devices/ComDevice.h"

class TCarimali : public TComDevice {
 public:
  static constexpr int kBitrate = 19200;
  static constexpr int kRecipeCount = 28;
  static constexpr int kRecipeSize = 72;
  // The shortest state blocks whose bytes the getters read.
  static constexpr int kMainStateSize = 66;
  static constexpr int kState2Size = 5;
  // Collecting an answer: rounds of this length.
  static constexpr int kAnswerRounds = 20;
  static constexpr int kRoundMs = 100;

  // Command codes.
  enum : uint8_t {
    cmdInitComm = 1,
    cmdRead = 7,
    cmdService = 8,
    cmdSetDateTime = 10,
    cmdWrite = 11,
  };

  TCarimali();
  ~TCarimali() override;

  // ---- frames (no port needed) ----
  // The command frame of code and data.
  static QByteArray buildFrame(uint8_t code, const QByteArray& data);
  // Looks at what arrived so far for a command. Returns true and the answer
  // data when the answer is complete and its CRC matches; false when more
  // bytes are needed (6 bytes or fewer, or a CRC that does not match yet).
  // Raises "Incorrect answer format." for a wrong head or code and
  // "Acknowledgement not received." without 0x06 after the code.
  static bool parseAnswer(uint8_t code, const QByteArray& answer, QByteArray* data);
  // The data of the clock commands for a local date and time.
  static QByteArray dateData(const QDateTime& t);
  static QByteArray timeData(const QDateTime& t);
  // The drink's name for a catalogue number; empty for an unknown number.
  static QString getCarimaliDrinkByNo(int no);
  // The text of a bunker error code; empty for 0.
  static QString bunkerErrorText(int code);

  // ---- link ----
  void open();
  void close();
  bool isOpen() const { return fIsOpen; }
  int comPort() const { return fComPort; }
  // A different number closes the port first.
  void setComPort(int port);
  // Tries every port of the ports folder with a state read; the first that
  // answers stays set and open.
  bool findComPort();

  // One exchange: the answer data. Raises the framing errors above and
  // "Timeout error." after 20 rounds of 100 ms without a valid answer.
  QByteArray execCommand(uint8_t code, const QByteArray& data);

  // ---- commands ----
  void initComm();
  void readCurrentState();
  void readCurrentState2();
  QByteArray readRecipe(int n);
  void readRecipes();
  void writeRecipe(int n, const QByteArray& recipe);
  // Sets the machine's clock to the local time (or t).
  void setDateTime();
  void setDateTime(const QDateTime& t);
  // Starts drink d. While no_beans is set, a recipe slot 1..28 whose cached
  // recipe has a step with coffee beans is refused with "Нет зёрен кофе".
  void makeDrink(int d);
  void infillBoiler();
  void dischargeBoiler();
  void powerOn();
  void powerOff();
  void testCoffeeGroup();
  void turnOffCoffeeGroup();
  void prepareForWorking();
  void cleaning();

  // ---- recipes ----
  // The cached recipe n (empty when never read); raises for n outside 1..28.
  QByteArray getRecipe(int n) const;
  QString getRecipeDescr(int n) const;
  bool drinkUsesCofeeBeans(int n) const;

  // ---- state getters (each reads the state first while none was read) ----
  bool cur_state_power_on();
  bool cur_state_operation_in_progress();
  bool cur_state_group_initialized();
  bool cur_state_tray_full();
  bool cur_state_tray_error();
  uint8_t cur_state_group_error_code();
  bool cur_state_no_water_error();
  bool cur_state_group_error();
  bool cur_state_boiler_discharge_in_process();
  bool cur_state_boiler_filling_in_process();
  bool cur_state_no_coffee();
  bool cur_state_dring_preparation();
  uint8_t cur_state_dring_preparation_percent();
  uint8_t cur_state_bunker_error_code();
  QString cur_state_bunker_error();
  uint8_t cur_state_boiler_temperature();
  double cur_state_credit_amount();
  bool cur_state2_boiler_must_be_infilled();
  QString cur_state_fatal_error_descr();
  bool cur_state_has_fatal_error();
  QString cur_state_descr();

  QByteArray current_state;
  QDateTime current_state_dt;
  QByteArray current_state2;
  QDateTime current_state2_dt;
  bool no_beans = false;
  bool logTraffic = false;
  QStringList log;
  QDateTime last_communication_dt;  // wall clock, for display
  // The same moments on plat::clock(), for the time-outs; 0: never.
  int64_t last_communication_ms = 0;
  int64_t date_time_setup_ms = 0;
  QDateTime date_time_setup_tm;

 private:
  uint8_t stateByte(int i);
  void service(uint8_t a, uint8_t b);
  static void checkRecipeNo(int n);
  void logFrame(const char* prefix, const QByteArray& frame);

  std::array<QByteArray, kRecipeCount> recipes;
  int fComPort = -1;
  bool fIsOpen = false;
};
