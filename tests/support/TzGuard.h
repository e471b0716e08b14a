#pragma once
// Sets the TZ environment variable for the life of the object and restores it afterwards.
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace support {

class TzGuard {
 public:
  explicit TzGuard(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~TzGuard() {
    if (old_) ::setenv("TZ", old_->c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }
  TzGuard(const TzGuard&) = delete;
  TzGuard& operator=(const TzGuard&) = delete;

 private:
  std::optional<std::string> old_;
};

}  // namespace support
