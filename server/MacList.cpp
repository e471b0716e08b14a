#include "server/MacList.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "server/ServerPlatform.h"

const char* const kIeeeSourceFiles[4] = {"oui.csv", "mam.csv", "oui36.csv", "iab.csv"};

std::vector<std::vector<std::string>> ParseCsvRecords(std::string_view text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::string field;
  bool quoted = false;       // inside a quoted field
  bool fieldStarted = false;  // the record has at least one character or comma
  auto endRecord = [&] {
    if (fieldStarted) {
      record.push_back(std::move(field));
      records.push_back(std::move(record));
    }
    record.clear();
    field.clear();
    fieldStarted = false;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"') {
        if (i + 1 < text.size() && text[i + 1] == '"') {
          field += '"';
          ++i;
        } else {
          quoted = false;
        }
      } else {
        field += c;
      }
      continue;
    }
    if (c == '"' && field.empty()) {
      quoted = true;
      fieldStarted = true;
    } else if (c == ',') {
      record.push_back(std::move(field));
      field.clear();
      fieldStarted = true;
    } else if (c == '\n') {
      endRecord();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      // the LF ends the record
    } else {
      field += c;
      fieldStarted = true;
    }
  }
  endRecord();
  return records;
}

namespace {

std::string CleanText(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    const char d = (u < 32 || u == 127) ? ' ' : c;
    if (d == ' ' && (out.empty() || out.back() == ' ')) continue;  // no runs of blanks
    out += d;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

bool IsHex(const std::string& s) {
  for (char c : s)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

}  // namespace

namespace {

// Letters with an accent that ISO-8859-1 has, by combining mark: the bases and what each
// becomes.
struct TComposition {
  uint32_t Mark;
  const char* Bases;
  const char* Composed;
};
const TComposition kCompositions[] = {
    {0x300, "AEIOUaeiou", "\xC0\xC8\xCC\xD2\xD9\xE0\xE8\xEC\xF2\xF9"},
    {0x301, "AEIOUYaeiouy", "\xC1\xC9\xCD\xD3\xDA\xDD\xE1\xE9\xED\xF3\xFA\xFD"},
    {0x302, "AEIOUaeiou", "\xC2\xCA\xCE\xD4\xDB\xE2\xEA\xEE\xF4\xFB"},
    {0x303, "ANOano", "\xC3\xD1\xD5\xE3\xF1\xF5"},
    {0x308, "AEIOUaeiouy", "\xC4\xCB\xCF\xD6\xDC\xE4\xEB\xEF\xF6\xFC\xFF"},
    {0x30A, "Aa", "\xC5\xE5"},
    {0x327, "Cc", "\xC7\xE7"},
};

// The code point of the UTF-8 sequence at text[i] and its length; length 0 when it is none.
uint32_t DecodeUtf8(std::string_view text, size_t i, size_t& length) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b = byte(i);
  length = 0;
  size_t n;
  uint32_t cp;
  if (b < 0x80) { length = 1; return b; }
  if (b >= 0xC2 && b <= 0xDF) { n = 2; cp = b & 0x1F; }
  else if (b >= 0xE0 && b <= 0xEF) { n = 3; cp = b & 0x0F; }
  else if (b >= 0xF0 && b <= 0xF4) { n = 4; cp = b & 0x07; }
  else return 0;
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (byte(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and values past Unicode are no characters.
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  length = n;
  return cp;
}

}  // namespace

std::string Utf8ToLatin1(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t length;
    const uint32_t cp = DecodeUtf8(text, i, length);
    if (length == 0) {
      // Not UTF-8: a byte of ISO-8859-1 already, unless it is a control code there.
      const auto b = static_cast<unsigned char>(text[i++]);
      out += (b >= 0x80 && b < 0xA0) ? '?' : static_cast<char>(b);
      continue;
    }
    const std::string_view character = text.substr(i, length);
    i += length;
    if (cp < 0x100) {
      out += static_cast<char>(cp);
      continue;
    }
    if (cp >= 0x300 && cp < 0x370) {  // a combining mark: joins the letter before, or goes
      for (const auto& c : kCompositions) {
        if (c.Mark != cp || out.empty() || out.back() == '\0') continue;
        if (const char* base = std::strchr(c.Bases, out.back()))
          out.back() = c.Composed[base - c.Bases];
      }
      continue;
    }
    out += TransliterateToLatin1(character).value_or("?");
  }
  return out;
}

std::string MacListLine(const std::vector<std::string>& record) {
  if (record.size() < 3) return {};
  const std::string registry = CleanText(record[0]);
  std::string key = CleanText(record[1]);
  std::string organisation = CleanText(Utf8ToLatin1(record[2]));
  if (registry.empty() || registry.find_first_of(",\"") != std::string::npos) return {};
  if ((key.size() != 6 && key.size() != 7 && key.size() != 9) || !IsHex(key)) return {};
  if (organisation.empty()) return {};
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  // The last field is taken whole when it holds no comma, quotes and all.
  if (organisation.find(',') != std::string::npos) {
    for (char& c : organisation)
      if (c == '"') c = '\'';
    organisation = '"' + organisation + '"';
  }
  return registry + "," + key + "," + organisation;
}

TMacList BuildMacListFromTexts(const std::vector<std::string>& texts) {
  TMacList list;
  std::string lines;
  for (const std::string& text : texts) {
    for (const auto& record : ParseCsvRecords(text)) {
      const std::string line = MacListLine(record);
      if (line.empty()) continue;
      lines += line;
      lines += "\r\n";
      ++list.Entries;
    }
  }
  list.Body = "Registry,Assignment,Organization Name\r\n" + lines;
  return list;
}

TMacList BuildMacList(const std::string& dir) {
  namespace fs = std::filesystem;
  std::vector<std::string> texts, sources;
  std::time_t lastModified = 0;
  for (const char* name : kIeeeSourceFiles) {
    const fs::path path = fs::path(dir) / name;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) continue;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("cannot read " + path.string());
    const std::time_t changed = FileChangeTime(path.string());
    if (changed < 0) throw std::runtime_error("cannot read the time of " + path.string());
    lastModified = std::max(lastModified, changed);
    sources.push_back(path.string());
  }
  if (sources.empty()) return {};
  TMacList list = BuildMacListFromTexts(texts);
  list.LastModified = lastModified;
  list.Sources = std::move(sources);
  return list;
}

std::string HttpDate(std::time_t t) {
  using namespace std::chrono;
  static const char* const dayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const monthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const sys_seconds time{seconds{t}};
  const sys_days day = floor<days>(time);
  const year_month_day ymd{day};
  const hh_mm_ss hms{time - day};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%s, %02u %s %04d %02d:%02d:%02d GMT",
                dayNames[weekday{day}.c_encoding()], static_cast<unsigned>(ymd.day()),
                monthNames[static_cast<unsigned>(ymd.month()) - 1], static_cast<int>(ymd.year()),
                static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                static_cast<int>(hms.seconds().count()));
  return buf;
}
