#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

namespace testkit {

// Sets TZ for the scope and puts the one before it back after.
class LocalZone {
 public:
  explicit LocalZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old, had_ = true;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~LocalZone() {
    if (had_)
      ::setenv("TZ", old_.c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }
  LocalZone(const LocalZone&) = delete;
  LocalZone& operator=(const LocalZone&) = delete;

 private:
  std::string old_;
  bool had_ = false;
};

}  // namespace testkit
