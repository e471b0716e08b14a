#pragma once
// Pieces of text on the wire that the tester and the server read the same way.
#include <charconv>
#include <cstddef>
#include <optional>
#include <string_view>

namespace wire_text {

// A decimal number of at most `digits` digits, no sign.
inline std::optional<long long> Number(std::string_view s, size_t digits) {
  if (s.empty() || s.size() > digits) return std::nullopt;
  long long v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || v < 0) return std::nullopt;
  return v;
}

// A session's token: 1 to 128 printable characters, no blank.
inline bool TokenText(std::string_view t) {
  if (t.empty() || t.size() > 128) return false;
  for (char c : t)
    if (c <= ' ' || c > '~') return false;
  return true;
}

}  // namespace wire_text
