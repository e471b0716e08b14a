#include "proto/XorUnit.h"

std::string Scramble(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(static_cast<unsigned char>(c) ^ 0x55u);
  return out;
}
