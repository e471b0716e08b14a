#pragma once
// What the fuzz targets share: a property check that ends the run with its message (libFuzzer
// then keeps the input as a finding), and the input as text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#define FUZZ_CHECK(cond, what)                                                                              \
  do {                                                                                                      \
    if (!(cond)) {                                                                                          \
      std::fprintf(stderr, "\nproperty does not hold: %s\n  (%s, %s:%d)\n", std::string(what).c_str(), #cond, \
                   __FILE__, __LINE__);                                                                     \
      std::abort();                                                                                         \
    }                                                                                                       \
  } while (0)

namespace fuzz {

inline std::string Text(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// The parts of a text between separator bytes, at most maxParts (the last takes the rest).
inline std::vector<std::string> Split(const std::string& text, char separator, size_t maxParts) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (parts.size() + 1 < maxParts) {
    const size_t at = text.find(separator, start);
    if (at == std::string::npos) break;
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
  parts.push_back(text.substr(start));
  return parts;
}

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace fuzz
