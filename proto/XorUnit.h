#pragma once
#include <string>
#include <string_view>

// Everything the echo server writes on the control connection is scrambled by
// XOR-ing each byte with 0x55; applying it twice gives the text back.
std::string Scramble(std::string_view text);
