#include "testbed/CarimaliSim.h"

#include <algorithm>
#include <utility>

#include "devices/CRC16.h"
#include "devices/CarimaliDevice.h"
#include "platform/Exception.h"

namespace {

const QByteArray kHead("\x57\x01\x01", 3);
const QByteArray kMainStateAddress("\x00\x00\x10\x00\x4C\x00", 6);

// A recipe block is addressed as 00 02 00 k 48 00 (k = slot - 1).
int recipeSlotOf(const QByteArray& address) {
  if (address.size() < 6 || address.at(0) != 0 || address.at(1) != 2 || address.at(2) != 0 ||
      address.at(4) != 0x48 || address.at(5) != 0)
    return -1;
  const int k = uint8_t(address.at(3));
  return k < 28 ? k : -1;
}

}  // namespace

QByteArray CarimaliSim::makeRecipe(uint8_t drinkNo, int steps, bool step1Beans, bool step2Beans,
                                   bool step3Beans) {
  QByteArray r(kRecipeSize, '\0');
  r[0] = char(drinkNo);
  r[4] = char(steps);
  const bool beans[3] = {step1Beans, step2Beans, step3Beans};
  const int at[3] = {6, 28, 50};
  for (int i = 0; i < 3; ++i) {
    r[at[i]] = beans[i] ? 0 : 1;
    r[at[i] + 2] = beans[i] ? 0 : 1;
  }
  return r;
}

CarimaliSim::CarimaliSim(const QString& portsDir, int com)
    : port_(portsDir, com), state_(kStateSize, '\0') {
  state_[4] = 1;            // power on
  state_[9] = 1;            // no operation in progress
  state_[10] = 1;           // group ready
  state_[40] = 92;          // boiler temperature
  state_[50] = char(0xBF);  // boiler idle
  for (int n = 0; n < 28; ++n) recipes_[size_t(n)] = makeRecipe(uint8_t(n % 57), 1, n % 2 == 0);
  // Slot 28 doubles as the second state block; byte 4 not 0: the boiler is full.
  recipes_[27][0] = 57;
  thread_ = std::jthread([this](std::stop_token st) { run(st); });
}

CarimaliSim::~CarimaliSim() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
}

void CarimaliSim::setStateByte(int index, uint8_t value) {
  std::lock_guard lock(mu_);
  if (index >= 0 && index < state_.size()) state_[index] = char(value);
}
uint8_t CarimaliSim::stateByte(int index) const {
  std::lock_guard lock(mu_);
  return index >= 0 && index < state_.size() ? uint8_t(state_.at(index)) : 0;
}
void CarimaliSim::setPowerOn(bool on) {
  setStateByte(4, on ? 1 : 0);
}
void CarimaliSim::setGroupInitialized(bool on) {
  setStateByte(10, on ? 1 : 0);
}
void CarimaliSim::setTrayFull(bool on) {
  setStateByte(14, on ? 1 : 0);
}
void CarimaliSim::setNoWater(bool on) {
  setStateByte(22, on ? 1 : 0);
}
void CarimaliSim::setNoCoffee(bool on) {
  setStateByte(34, on ? 1 : 0);
}
void CarimaliSim::setBunkerError(uint8_t code) {
  setStateByte(38, code);
}
void CarimaliSim::setBoilerTemperature(uint8_t t) {
  setStateByte(40, t);
}
void CarimaliSim::setBoilerMustBeFilled(bool on) {
  std::lock_guard lock(mu_);
  recipes_[27][4] = on ? 0 : 1;
}
void CarimaliSim::setRecipe(int n, const QByteArray& recipe) {
  std::lock_guard lock(mu_);
  if (n >= 1 && n <= 28 && recipe.size() == kRecipeSize) recipes_[size_t(n - 1)] = recipe;
}
QByteArray CarimaliSim::recipe(int n) const {
  std::lock_guard lock(mu_);
  return n >= 1 && n <= 28 ? recipes_[size_t(n - 1)] : QByteArray();
}
void CarimaliSim::setDrinkDurationMs(int ms) {
  std::lock_guard lock(mu_);
  drinkMs_ = ms;
}
void CarimaliSim::setFillDurationMs(int ms) {
  std::lock_guard lock(mu_);
  fillMs_ = ms;
}
void CarimaliSim::setPowerOffDelayMs(int ms) {
  std::lock_guard lock(mu_);
  powerOffDelayMs_ = ms;
}
void CarimaliSim::setSilent(bool on) {
  std::lock_guard lock(mu_);
  silent_ = on;
}
void CarimaliSim::corruptNextAnswer() {
  std::lock_guard lock(mu_);
  corruptNext_ = true;
}
void CarimaliSim::splitNextAnswer(int gapMs) {
  std::lock_guard lock(mu_);
  splitGapMs_ = gapMs;
}
void CarimaliSim::refuseNextAnswer() {
  std::lock_guard lock(mu_);
  refuseNext_ = true;
}
void CarimaliSim::answerNextWithCode(uint8_t c) {
  std::lock_guard lock(mu_);
  wrongCode_ = c;
}

std::vector<CarimaliSim::Command> CarimaliSim::received() const {
  std::lock_guard lock(mu_);
  return received_;
}

int CarimaliSim::count(uint8_t code, const QByteArray& dataPrefix) const {
  std::lock_guard lock(mu_);
  int n = 0;
  for (const Command& c : received_)
    if (c.code == code && c.data.startsWith(dataPrefix)) ++n;
  return n;
}

void CarimaliSim::clearReceived() {
  std::lock_guard lock(mu_);
  received_.clear();
}

// Under mu_: ends what has run its time.
void CarimaliSim::advance() {
  const auto now = Clock::now();
  if (drinking_ && now >= drinkEnd_) {
    drinking_ = false;
    state_[35] = 0;
    state_[36] = 0;
    state_[9] = 1;
  } else if (drinking_) {
    const auto total = std::max<int64_t>(1, drinkMs_);
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(drinkEnd_ - now).count();
    state_[36] = char(std::clamp<int64_t>(100 - left * 100 / total, 0, 100));
  }
  if (filling_ && now >= fillEnd_) {
    filling_ = false;
    state_[50] = char(0xBF);
    state_[9] = 1;
    recipes_[27][4] = 1;
  }
  if (poweringOff_ && now >= powerOffAt_) {
    poweringOff_ = false;
    state_[4] = 0;
  }
}

bool CarimaliSim::handle(uint8_t code, const QByteArray& data, QByteArray* answer) {
  answer->clear();
  switch (code) {
    case TCarimali::cmdInitComm:
    case TCarimali::cmdSetDateTime:
      return true;
    case TCarimali::cmdRead: {
      if (data == kMainStateAddress) {
        *answer = state_;
        return true;
      }
      const int k = recipeSlotOf(data);
      if (k < 0 || data.size() != 6) return false;
      *answer = recipes_[size_t(k)];
      return true;
    }
    case TCarimali::cmdWrite: {
      const int k = recipeSlotOf(data);
      if (k < 0 || data.size() != 6 + kRecipeSize) return false;
      recipes_[size_t(k)] = data.mid(6);
      return true;
    }
    case TCarimali::cmdService: {
      if (data.size() != 5 || data.at(0) != 0 || data.at(1) != 0 || data.at(2) != 0) return false;
      const uint8_t a = uint8_t(data.at(3)), b = uint8_t(data.at(4));
      const auto now = Clock::now();
      if (a == 0) {  // a drink
        drinking_ = true;
        drinkEnd_ = now + std::chrono::milliseconds(drinkMs_);
        state_[35] = 1;
        state_[36] = 0;
        state_[9] = 0;
      } else if (a == 0x12 && b == 0x01) {
        filling_ = true;
        fillEnd_ = now + std::chrono::milliseconds(fillMs_);
        state_[50] = 1;
        state_[9] = 0;
      } else if (a == 0x22 && b == 0x01) {
        state_[4] = 1;
        poweringOff_ = false;
      } else if (a == 0x11 && b == 0x00) {
        poweringOff_ = true;
        powerOffAt_ = now + std::chrono::milliseconds(powerOffDelayMs_);
      } else if (a == 0x11 && b == 0x01) {
        state_[10] = 1;
      }
      return true;
    }
    default:
      return false;
  }
}

void CarimaliSim::send(uint8_t code, const QByteArray& answerData) {
  bool corrupt, refuse;
  int gap, wrong;
  {
    std::lock_guard lock(mu_);
    corrupt = std::exchange(corruptNext_, false);
    refuse = std::exchange(refuseNext_, false);
    gap = std::exchange(splitGapMs_, -1);
    wrong = std::exchange(wrongCode_, -1);
  }
  QByteArray frame = kHead;
  frame.append(char(wrong >= 0 ? wrong : code));
  frame.append(char(refuse ? 0x15 : 0x06));
  frame.append(answerData);
  uint16_t crc = crc16Modbus(frame);
  if (corrupt) crc ^= 0x5A5A;
  frame.append(char(crc >> 8));
  frame.append(char(crc & 0xFF));
  if (gap >= 0) {
    port_.write(frame.left(4));
    std::this_thread::sleep_for(std::chrono::milliseconds(gap));
    port_.write(frame.mid(4));
  } else {
    port_.write(frame);
  }
}

void CarimaliSim::run(std::stop_token st) {
  QByteArray in;
  while (!st.stop_requested()) {
    in += port_.read(20);
    {
      std::lock_guard lock(mu_);
      advance();
    }
    // Frames are taken whole: head, code, data, CRC. The data length is not
    // on the wire, so a frame ends where its CRC matches.
    for (;;) {
      const qsizetype start = in.indexOf(kHead);
      if (start < 0) {
        if (in.size() > 2) in = in.right(2);
        break;
      }
      in.remove(0, start);
      qsizetype end = -1;
      for (qsizetype len = 6; len <= in.size(); ++len) {
        if (checkCrc16Modbus(in.left(len))) {
          end = len;
          break;
        }
      }
      if (end < 0) break;
      const QByteArray frame = in.left(end);
      in.remove(0, end);
      const uint8_t code = uint8_t(frame.at(3));
      const QByteArray data = frame.mid(4, end - 6);
      QByteArray answer;
      bool known, silent;
      {
        std::lock_guard lock(mu_);
        received_.push_back({code, data});
        silent = silent_;
        known = !silent && handle(code, data, &answer);
      }
      if (known) send(code, answer);
    }
    // A line of noise must not grow without bound.
    if (in.size() > 4096) in.clear();
  }
}
