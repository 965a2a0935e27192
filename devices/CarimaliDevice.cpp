#include "devices/CarimaliDevice.h"

#include "devices/CRC16.h"
#include "platform/Clock.h"

namespace {

const char kHead[] = {0x57, 0x01, 0x01};
constexpr uint8_t kAck = 0x06;

const char* const kDrinkNames[] = {
    "Двойной эспрессо",
    "Американо",
    "Американо с мол.",
    "Какао",
    "Двойной шоколад",
    "Капучино",
    "Флэт уайт",
    "Мокачино",
    "Латте",
    "Молоко",
    "Шоколад",
    "Молочный шоколад",
    "Горячее молоко",
    "Гор. мол. с пеной",
    "Кофе FB",
    "Длинный кофе FB",
    "Малая доза воды",
    "Средняя доза воды",
    "On request (start/stop)",
    "Масала с молоком",
    "Ячменный кофе",
    "Длинный ячм. кофе",
    "Ячм. кофе макьято",
    "Капучино/ячм. кофе",
    "Амаретто",
    "Длинный женьшень",
    "Американский кофе",
    "Лимонный чай",
    "Холодный кофе",
    "Горячая вода",
    "Кофе с молоком",
    "Хол. кофе/молоко",
    "Женьшень макьято",
    "Женьшен. капучино",
    "Кофе без кофеина",
    "Дл. кофе без коф.",
    "Кофе декаф. мак.",
    "Капуч./кофе декаф.",
    "Decaf. Cappuccino Choc",
    "Кофе Чок",
    "Barley Choc Cappuccino",
    "Кофе Мока",
    "Масала чай",
    "Кофе 1",
    "Кофе 2",
    "Кофе 3",
    "Кофе 4",
    "Кофе 5",
    "Кофе 6",
    "Чёрный кофе",
    "Кофе/молоко/сахар",
    "Кофе с сахаром",
    "Эспрессо/молоко",
    "Espresso Milk Sugar",
    "Эспрессо",
    "Капчино/сахар",
    "Чай",
};
constexpr int kDrinkNameCount = int(sizeof kDrinkNames / sizeof kDrinkNames[0]);
static_assert(kDrinkNameCount == 57);

QByteArray bytes(std::initializer_list<uint8_t> list) {
  QByteArray out;
  for (uint8_t b : list) out.append(char(b));
  return out;
}

QByteArray be32(uint32_t v) {
  return bytes({uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}

// A step of a recipe uses coffee beans when both of its ingredient bytes are 0.
bool stepUsesBeans(const QByteArray& r, int a, int b) {
  return r.size() > b && r.at(a) == 0 && r.at(b) == 0;
}

QString yesNo(bool v) {
  return v ? QStringLiteral("True") : QStringLiteral("False");
}

}  // namespace

TCarimali::TCarimali() = default;

TCarimali::~TCarimali() {
  close();
}

// ---- frames -------------------------------------------------------------------

QByteArray TCarimali::buildFrame(uint8_t code, const QByteArray& data) {
  QByteArray f(kHead, 3);
  f.append(char(code));
  f.append(data);
  const uint16_t crc = crc16Modbus(f);
  f.append(char(crc >> 8));
  f.append(char(crc & 0xFF));
  return f;
}

bool TCarimali::parseAnswer(uint8_t code, const QByteArray& answer, QByteArray* data) {
  if (answer.size() <= 6) return false;
  if (!answer.startsWith(QByteArray(kHead, 3)) || uint8_t(answer.at(3)) != code)
    throw Exception(QStringLiteral("Incorrect answer format."));
  if (uint8_t(answer.at(4)) != kAck)
    throw Exception(QStringLiteral("Acknowledgement not received."));
  if (!checkCrc16Modbus(answer)) return false;
  if (data) *data = answer.mid(5, answer.size() - 7);
  return true;
}

QByteArray TCarimali::dateData(const QDateTime& t) {
  const QDate d = t.date();
  const uint32_t n = uint32_t((d.year() % 100) * 10000 + d.month() * 100 + d.day());
  return bytes({0, 0, 0, 0}) + be32(n);
}

QByteArray TCarimali::timeData(const QDateTime& t) {
  const QTime tm = t.time();
  return bytes({0, 0, 0, 1}) + be32(uint32_t(tm.hour() * 100 + tm.minute()));
}

QString TCarimali::getCarimaliDrinkByNo(int no) {
  if (no < 0 || no >= kDrinkNameCount) return {};
  return QString::fromUtf8(kDrinkNames[no]);
}

QString TCarimali::bunkerErrorText(int code) {
  switch (code) {
    case 0:
      return {};
    case 1:
      return QStringLiteral("Удалён ящик для жмыха");
    case 2:
      return QStringLiteral("Открыт бункер ингредиента 2");
    case 3:
      return QStringLiteral("Открыт бункер ингредиента 1");
    case 4:
      return QStringLiteral("Открыт бункер ингредиента 3");
    case 5:
      return QStringLiteral("Открыт кофейный бункер");
    default:
      return QStringLiteral("Неизвестная ошибка бункера (%1).").arg(code);
  }
}

// ---- link ---------------------------------------------------------------------

void TCarimali::open() {
  connect(QStringLiteral("COM%1").arg(fComPort), kBitrate, 8, 0, 0, false, false);
  purge();
  fIsOpen = true;
}

void TCarimali::close() {
  closeSocket();
  fIsOpen = false;
}

void TCarimali::setComPort(int port) {
  if (port == fComPort) return;
  close();
  fComPort = port;
}

bool TCarimali::findComPort() {
  QStringList ports;
  getComPortList(ports);
  for (const QString& name : ports) {
    setComPort(name.mid(3).toInt());
    try {
      readCurrentState();
      return true;
    } catch (const std::exception&) {
      close();
      fComPort = -1;
    }
  }
  return false;
}

void TCarimali::logFrame(const char* prefix, const QByteArray& frame) {
  if (!logTraffic) return;
  QString line = QLatin1String(prefix);
  for (char c : frame)
    line += QStringLiteral("%1 ").arg(uint8_t(c), 2, 16, QLatin1Char('0')).toUpper();
  log.append(line);
}

QByteArray TCarimali::execCommand(uint8_t code, const QByteArray& data) {
  if (!fIsOpen) open();
  purge();
  const QByteArray frame = buildFrame(code, data);
  sendBuffer(frame);
  logFrame("> ", frame);
  QByteArray answer, out;
  for (int round = 0; round < kAnswerRounds; ++round) {
    if (terminated) throw ETerminated(QStringLiteral("Operation was terminated."));
    answer += recvPacket(kRoundMs);
    if (!parseAnswer(code, answer, &out)) continue;
    logFrame("< ", answer);
    last_communication_dt = QDateTime::currentDateTime();
    last_communication_ms = plat::clock().nowMs();
    return out;
  }
  throw ETimeout(QStringLiteral("Timeout error."));
}

// ---- commands -----------------------------------------------------------------

void TCarimali::initComm() {
  execCommand(cmdInitComm, {});
}

void TCarimali::readCurrentState() {
  const QByteArray previous = current_state;
  const QByteArray data = execCommand(cmdRead, bytes({0x00, 0x00, 0x10, 0x00, 0x4C, 0x00}));
  // A short block would leave the getters reading past its end.
  if (data.size() < kMainStateSize) throw Exception(QStringLiteral("Incorrect answer format."));
  current_state = data;
  // The coffee hopper was opened (code 5) and closed again: it was refilled.
  if (no_beans && previous.size() > 38 && uint8_t(previous.at(38)) == 5 &&
      uint8_t(current_state.at(38)) != 5)
    no_beans = false;
  current_state_dt = QDateTime::currentDateTime();
}

void TCarimali::readCurrentState2() {
  const QByteArray data = execCommand(cmdRead, bytes({0x00, 0x02, 0x00, 0x1B, 0x48, 0x00}));
  if (data.size() < kState2Size) throw Exception(QStringLiteral("Incorrect answer format."));
  current_state2 = data;
  current_state2_dt = QDateTime::currentDateTime();
}

void TCarimali::checkRecipeNo(int n) {
  if (n < 1 || n > kRecipeCount)
    throw Exception(QStringLiteral("Drink number (%1) is out of bounds.").arg(n));
}

QByteArray TCarimali::readRecipe(int n) {
  checkRecipeNo(n);
  const QByteArray data =
      execCommand(cmdRead, bytes({0x00, 0x02, 0x00, uint8_t(n - 1), 0x48, 0x00}));
  // The cache holds whole recipes only: the bean checks index into them.
  if (data.size() != kRecipeSize) throw Exception(QStringLiteral("Incorrect answer format."));
  recipes[size_t(n - 1)] = data;
  return data;
}

void TCarimali::readRecipes() {
  for (int n = 1; n <= kRecipeCount; ++n) readRecipe(n);
}

void TCarimali::writeRecipe(int n, const QByteArray& recipe) {
  checkRecipeNo(n);
  if (recipe.size() != kRecipeSize)
    throw Exception(QStringLiteral("Incorrect recipe length (%1).").arg(recipe.size()));
  execCommand(cmdWrite, bytes({0x00, 0x02, 0x00, uint8_t(n - 1), 0x48, 0x00}) + recipe);
  recipes[size_t(n - 1)] = recipe;
}

void TCarimali::setDateTime() {
  setDateTime(QDateTime::currentDateTime());
}

void TCarimali::setDateTime(const QDateTime& t) {
  execCommand(cmdSetDateTime, dateData(t));
  execCommand(cmdSetDateTime, timeData(t));
  date_time_setup_tm = QDateTime::currentDateTime();
  date_time_setup_ms = plat::clock().nowMs();
}

void TCarimali::makeDrink(int d) {
  if (no_beans && d >= 1 && d <= kRecipeCount) {
    // Every step is looked at, used or not: a spare step that would take
    // beans is not worth a cup brewed without them.
    const QByteArray& r = recipes[size_t(d - 1)];
    if (stepUsesBeans(r, 6, 8) || stepUsesBeans(r, 28, 30) || stepUsesBeans(r, 50, 52))
      throw Exception(QStringLiteral("Нет зёрен кофе"));
  }
  execCommand(cmdService, bytes({0, 0, 0, 0, uint8_t(d)}));
}

void TCarimali::service(uint8_t a, uint8_t b) {
  execCommand(cmdService, bytes({0, 0, 0, a, b}));
}

void TCarimali::infillBoiler() {
  service(0x12, 0x01);
}
void TCarimali::dischargeBoiler() {
  service(0x12, 0x02);
}
void TCarimali::powerOn() {
  service(0x22, 0x01);
}
void TCarimali::powerOff() {
  service(0x11, 0x00);
}
void TCarimali::testCoffeeGroup() {
  service(0x11, 0x01);
  no_beans = false;
}
void TCarimali::turnOffCoffeeGroup() {
  service(0x11, 0x00);
}
void TCarimali::prepareForWorking() {
  service(0x25, 0x1C);
}
void TCarimali::cleaning() {
  service(0x13, 0x09);
}

// ---- recipes ------------------------------------------------------------------

QByteArray TCarimali::getRecipe(int n) const {
  checkRecipeNo(n);
  return recipes[size_t(n - 1)];
}

QString TCarimali::getRecipeDescr(int) const {
  return QStringLiteral("Not implemented");
}

bool TCarimali::drinkUsesCofeeBeans(int n) const {
  const QByteArray r = getRecipe(n);
  if (r.size() != kRecipeSize) return false;
  const int steps = uint8_t(r.at(4));
  return (steps >= 1 && stepUsesBeans(r, 6, 8)) || (steps >= 2 && stepUsesBeans(r, 28, 30)) ||
         (steps >= 3 && stepUsesBeans(r, 50, 52));
}

// ---- state --------------------------------------------------------------------

uint8_t TCarimali::stateByte(int i) {
  if (current_state.isEmpty()) readCurrentState();
  return uint8_t(current_state.at(i));
}

bool TCarimali::cur_state_power_on() {
  return stateByte(4) == 1;
}
bool TCarimali::cur_state_operation_in_progress() {
  return stateByte(9) == 0;
}
bool TCarimali::cur_state_group_initialized() {
  return stateByte(10) == 1;
}
bool TCarimali::cur_state_tray_full() {
  return stateByte(14) == 1;
}
bool TCarimali::cur_state_tray_error() {
  return stateByte(16) == 1;
}
uint8_t TCarimali::cur_state_group_error_code() {
  return stateByte(20);
}
bool TCarimali::cur_state_no_water_error() {
  return stateByte(22) == 1;
}
bool TCarimali::cur_state_group_error() {
  return stateByte(26) == 15;
}
bool TCarimali::cur_state_boiler_discharge_in_process() {
  return stateByte(30) == 1;
}
bool TCarimali::cur_state_boiler_filling_in_process() {
  const uint8_t b50 = stateByte(50);
  return stateByte(30) == 1 || (b50 != 0 && b50 != 0xBF);
}
bool TCarimali::cur_state_no_coffee() {
  if (stateByte(34) == 1) no_beans = true;
  return no_beans;
}
bool TCarimali::cur_state_dring_preparation() {
  return stateByte(35) != 0;
}
uint8_t TCarimali::cur_state_dring_preparation_percent() {
  return stateByte(36);
}
uint8_t TCarimali::cur_state_bunker_error_code() {
  return stateByte(38);
}
QString TCarimali::cur_state_bunker_error() {
  return bunkerErrorText(stateByte(38));
}
uint8_t TCarimali::cur_state_boiler_temperature() {
  return stateByte(40);
}
double TCarimali::cur_state_credit_amount() {
  return double(stateByte(64) | (uint16_t(stateByte(65)) << 8));
}
bool TCarimali::cur_state2_boiler_must_be_infilled() {
  if (current_state2.isEmpty()) readCurrentState2();
  return current_state2.at(4) == 0;
}

QString TCarimali::cur_state_fatal_error_descr() {
  QStringList lines;
  if (cur_state_no_water_error()) lines << QStringLiteral("Нет воды");
  if (const int code = cur_state_group_error_code())
    lines << QStringLiteral("Ошибка группы (%1)").arg(code);
  if (cur_state_tray_full()) lines << QStringLiteral("Поддон переполнен");
  if (const QString b = cur_state_bunker_error(); !b.isEmpty()) lines << b;
  if (cur_state2_boiler_must_be_infilled()) lines << QStringLiteral("Необходимо заполнить бойлер");
  return lines.join(QStringLiteral("\r\n")).trimmed();
}

bool TCarimali::cur_state_has_fatal_error() {
  return cur_state_no_water_error() || cur_state_tray_full() || !cur_state_bunker_error().isEmpty();
}

QString TCarimali::cur_state_descr() {
  auto line = [](const char* label, const QString& value) {
    return QString::fromLatin1(label).leftJustified(27, QLatin1Char(' ')) + value;
  };
  auto num = [](double v) { return QString::number(v, 'f', 0); };
  QStringList l;
  l << line("power_on:", yesNo(cur_state_power_on()))
    << line("operation_in_progress:", yesNo(cur_state_operation_in_progress()))
    << line("group_initialized:", yesNo(cur_state_group_initialized()))
    << line("tray_full:", yesNo(cur_state_tray_full()))
    << line("tray_error:", yesNo(cur_state_tray_error()))
    << line("group_error_code:", num(cur_state_group_error_code()))
    << line("no_water_error:", yesNo(cur_state_no_water_error()))
    << line("group_error:", yesNo(cur_state_group_error()))
    << line("no_coffee:", yesNo(cur_state_no_coffee()))
    << line("dring_preparation:", yesNo(cur_state_dring_preparation()))
    << line("dring_preparation_percent:", num(cur_state_dring_preparation_percent()))
    << line("bunker_error:", cur_state_bunker_error())
    << line("boiler_temperature:", num(cur_state_boiler_temperature()))
    << line("credit_amount:", num(cur_state_credit_amount()))
    << line("fill_uncompleted:", yesNo(cur_state2_boiler_must_be_infilled()));
  return l.join(QStringLiteral("\r\n"));
}
