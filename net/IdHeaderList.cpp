#include "net/IdHeaderList.h"

#include <cctype>

std::string IdTrim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

bool IdSameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::string IdUpperCase(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string IdLowerCase(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

namespace {
bool IsContinuation(const std::string& line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); }
}  // namespace

std::string TIdHeaderList::NameOf(const std::string& line) {
  if (IsContinuation(line)) return {};
  const size_t colon = line.find(':');
  return colon == std::string::npos ? std::string() : line.substr(0, colon);
}

int TIdHeaderList::IndexOfName(const std::string& name) const {
  for (size_t i = 0; i < Lines.size(); ++i) {
    if (IsContinuation(Lines[i]) || Lines[i].find(':') == std::string::npos) continue;
    if (IdSameText(NameOf(Lines[i]), name)) return static_cast<int>(i);
  }
  return -1;
}

size_t TIdHeaderList::EndOfHeader(size_t index) const {
  size_t j = index + 1;
  while (j < Lines.size() && IsContinuation(Lines[j])) ++j;
  return j;
}

std::string TIdHeaderList::ValueAt(size_t index) const {
  const std::string& line = Lines[index];
  std::string value = IdTrim(line.substr(line.find(':') + 1));
  for (size_t j = index + 1; j < EndOfHeader(index); ++j) {
    const std::string more = IdTrim(Lines[j]);
    value += ' ';
    value += more;
  }
  return value;
}

std::string TIdHeaderList::Values(const std::string& name) const {
  const int i = IndexOfName(name);
  return i < 0 ? std::string() : ValueAt(static_cast<size_t>(i));
}

std::vector<std::string> TIdHeaderList::AllValues(const std::string& name) const {
  std::vector<std::string> out;
  for (size_t i = 0; i < Lines.size(); ++i) {
    if (IsContinuation(Lines[i]) || Lines[i].find(':') == std::string::npos) continue;
    if (IdSameText(NameOf(Lines[i]), name)) out.push_back(ValueAt(i));
  }
  return out;
}

void TIdHeaderList::SetValue(const std::string& name, const std::string& value) {
  const int found = IndexOfName(name);
  if (found < 0) {
    if (!value.empty()) Lines.push_back(name + ": " + value);
    return;
  }
  const size_t i = static_cast<size_t>(found);
  const size_t end = EndOfHeader(i);
  if (value.empty()) {
    Lines.erase(Lines.begin() + static_cast<std::ptrdiff_t>(i), Lines.begin() + static_cast<std::ptrdiff_t>(end));
    return;
  }
  Lines[i] = name + ": " + value;
  Lines.erase(Lines.begin() + static_cast<std::ptrdiff_t>(i + 1), Lines.begin() + static_cast<std::ptrdiff_t>(end));
}

std::vector<std::string> TIdHeaderList::FoldedLines(size_t maxLength) const {
  std::vector<std::string> out;
  for (const std::string& line : Lines) {
    if (line.size() <= maxLength) {
      out.push_back(line);
      continue;
    }
    for (std::string& piece : FoldLine(line, maxLength)) out.push_back(std::move(piece));
  }
  return out;
}

namespace {
bool IsFoldBlank(char c) { return c == ' ' || c == '\t'; }

std::string TrimRightBlanks(std::string s) {
  while (!s.empty() && IsFoldBlank(s.back())) s.pop_back();
  return s;
}
}  // namespace

std::vector<std::string> FoldLine(const std::string& line, size_t maxLength) {
  std::vector<std::string> pieces;
  std::string rest = TrimRightBlanks(line);
  if (maxLength < 2) maxLength = 2;
  // Each pass takes at least one character that is not the leading blank: bounded by the length.
  while (rest.size() > maxLength) {
    // The last break that keeps the piece within the limit: a blank starts the next piece, a
    // comma ends this one.
    size_t cut = std::string::npos;  // length of this piece
    for (size_t p = maxLength; p >= 1; --p) {
      if (IsFoldBlank(rest[p]) && p <= maxLength) { cut = p; break; }
      if (rest[p] == ',' && p + 1 <= maxLength) { cut = p + 1; break; }
    }
    if (cut == std::string::npos) {
      // No break within the limit: the piece runs to the first break after it.
      for (size_t p = maxLength + 1; p < rest.size(); ++p) {
        if (IsFoldBlank(rest[p])) { cut = p; break; }
        if (rest[p] == ',') { cut = p + 1; break; }
      }
      if (cut == std::string::npos || cut >= rest.size()) break;
    }
    std::string piece = TrimRightBlanks(rest.substr(0, cut));
    size_t next = cut;
    while (next < rest.size() && IsFoldBlank(rest[next])) ++next;
    pieces.push_back(piece);
    if (next >= rest.size()) {
      rest.clear();
      break;
    }
    rest = " " + rest.substr(next);
  }
  if (!rest.empty()) pieces.push_back(TrimRightBlanks(rest));
  return pieces;
}
