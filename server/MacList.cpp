#include "server/MacList.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

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

std::string MacListLine(const std::vector<std::string>& record) {
  if (record.size() < 3) return {};
  const std::string registry = CleanText(record[0]);
  std::string key = CleanText(record[1]);
  std::string organisation = CleanText(record[2]);
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

std::string MacListBody(const std::vector<std::string>& sources, size_t& entries) {
  entries = 0;
  if (sources.empty()) return {};
  std::string body = "Registry,Assignment,Organization Name\r\n";
  for (const std::string& content : sources) {
    for (const auto& record : ParseCsvRecords(content)) {
      const std::string line = MacListLine(record);
      if (line.empty()) continue;
      body += line;
      body += "\r\n";
      ++entries;
    }
  }
  return body;
}

TMacList BuildMacList(const std::string& dir) {
  namespace fs = std::filesystem;
  TMacList list;
  std::vector<std::string> contents;
  for (const char* name : kIeeeSourceFiles) {
    const fs::path path = fs::path(dir) / name;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) continue;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) throw std::runtime_error("cannot read " + path.string());
    const auto written = fs::last_write_time(path, ec);
    if (ec) throw std::runtime_error("cannot read the time of " + path.string());
    const auto systemTime =
        std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::file_clock::to_sys(written));
    list.LastModified = std::max(list.LastModified, std::chrono::system_clock::to_time_t(systemTime));
    contents.push_back(std::move(content));
    list.Sources.push_back(path.string());
  }
  list.Body = MacListBody(contents, list.Entries);
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
