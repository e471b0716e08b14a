#include "net/IdConvert.h"

#include <climits>

namespace {

bool ParseInt(const std::string& text, int& out) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > static_cast<int64_t>(INT_MAX) + 1) return false;
  }
  if (negative) v = -v;
  if (v < INT_MIN || v > INT_MAX) return false;
  out = static_cast<int>(v);
  return true;
}

}  // namespace

int StrToInt(const std::string& text) {
  int v = 0;
  if (!ParseInt(text, v)) throw EConvertError("'" + text + "' is not a valid integer value");
  return v;
}

int StrToIntDef(const std::string& text, int fallback) {
  int v = 0;
  return ParseInt(text, v) ? v : fallback;
}
