#pragma once
// Text to number conversions of the runtime: decimal text with an optional sign, nothing else.
#include <cstdint>
#include <stdexcept>
#include <string>

// A text that should hold a whole number did not ("'%s' is not a valid integer value").
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Decimal text with an optional sign, in the 32-bit range; anything else raises EConvertError.
int StrToInt(const std::string& text);
// The same, giving `fallback` instead of raising.
int StrToIntDef(const std::string& text, int fallback);
