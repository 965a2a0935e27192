#pragma once
// The session scrambler of the back-office link. Each direction keeps its
// own key position and last wire byte; both use the same key. The key byte
// mixes the previous wire byte in, so one lost or extra byte garbles the
// rest of the stream: a connection that fell out of step must be dropped.

#include <QByteArray>
#include <cstddef>
#include <cstdint>

class Scrambler {
 public:
  // Key bytes; empty means bytes pass unchanged and the state stands still.
  void setKey(const QByteArray& key) { key_ = key; }
  const QByteArray& key() const { return key_; }
  // Forgets the key and zeroes the state of both directions' use.
  void reset() {
    key_.clear();
    index_ = 0;
    last_ = 0;
  }
  void resetState() {
    index_ = 0;
    last_ = 0;
  }
  int index() const { return index_; }
  uint8_t last() const { return last_; }
  // Puts the state back to what index() and last() said, for a reader that
  // decoded bytes ahead and then gave them back unread.
  void restore(int index, uint8_t last) {
    index_ = index;
    last_ = last;
  }

  // Plain -> wire, in place.
  void encode(char* p, size_t n) {
    const int len = int(key_.size());
    if (len == 0) return;
    const auto* k = reinterpret_cast<const uint8_t*>(key_.constData());
    int i = index_;
    uint8_t last = last_;
    for (size_t j = 0; j < n; ++j) {
      if (++i > len) i = 1;
      uint8_t w = uint8_t(p[j]) ^ uint8_t(7 * last + 5 * k[i - 1]);
      p[j] = char(w);
      last = w;
    }
    index_ = i;
    last_ = last;
  }

  // Wire -> plain, in place.
  void decode(char* p, size_t n) {
    const int len = int(key_.size());
    if (len == 0) return;
    const auto* k = reinterpret_cast<const uint8_t*>(key_.constData());
    int i = index_;
    uint8_t last = last_;
    for (size_t j = 0; j < n; ++j) {
      if (++i > len) i = 1;
      uint8_t w = uint8_t(p[j]);
      p[j] = char(w ^ uint8_t(7 * last + 5 * k[i - 1]));
      last = w;
    }
    index_ = i;
    last_ = last;
  }

 private:
  QByteArray key_;
  int index_ = 0;
  uint8_t last_ = 0;
};
