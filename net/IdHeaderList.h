#pragma once
// Raw HTTP header lines ("Name: value"), in order, with lookup by name that follows
// continuation lines, and folding of long lines for sending.
#include <cstddef>
#include <string>
#include <vector>

// Header lines longer than this are folded before they are sent.
constexpr size_t IdMaxHeaderLineLength = 1024;

class TIdHeaderList {
 public:
  // The lines, one header line each; a line that begins with a blank or a tab continues the
  // header above it.
  std::vector<std::string> Lines;

  void Clear() { Lines.clear(); }
  void Add(const std::string& line) { Lines.push_back(line); }
  size_t Count() const { return Lines.size(); }
  const std::string& operator[](size_t i) const { return Lines[i]; }

  // The name of a header line: the text before its first ":" ("" for a continuation line or a
  // line without ":").
  static std::string NameOf(const std::string& line);
  // Index of the first line with that name (compared without regard to letter case), or -1.
  int IndexOfName(const std::string& name) const;
  // The value of the first header of that name: the text after the colon, trimmed, with each
  // continuation line trimmed and appended after one blank. "" when there is none.
  std::string Values(const std::string& name) const;
  // The values of every header of that name, in order (for headers that may repeat).
  std::vector<std::string> AllValues(const std::string& name) const;
  // Replaces the header of that name in place (continuation lines included), or appends it
  // when there is none. An empty value removes the header.
  void SetValue(const std::string& name, const std::string& value);

  // The lines as they go on the wire: each line longer than `maxLength` folded (FoldLine).
  std::vector<std::string> FoldedLines(size_t maxLength = IdMaxHeaderLineLength) const;

 private:
  std::string ValueAt(size_t index) const;
  size_t EndOfHeader(size_t index) const;  // index after the header's continuation lines
};

// Splits a header line longer than `maxLength` into pieces: wrapped at a blank, a tab or after
// a comma so that each piece stays within `maxLength` where such a break exists, every piece
// after the first beginning with one blank, trailing blanks cut. A line that fits comes back
// as it is (less trailing blanks).
std::vector<std::string> FoldLine(const std::string& line, size_t maxLength = IdMaxHeaderLineLength);

// Text trimmed of leading and trailing characters with codes 0 to 32.
std::string IdTrim(const std::string& s);
// Case-insensitive (ASCII) comparison of two texts.
bool IdSameText(const std::string& a, const std::string& b);
std::string IdUpperCase(std::string s);
std::string IdLowerCase(std::string s);
