#include "router/MacList.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/IdStream.h"
#include "router/Gateway.h"

namespace {

unsigned char Fold(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') ? static_cast<unsigned char>(u - 32) : u;
}

// <0, 0, >0 like strcmp, ignoring the case of ASCII letters.
int CompareText(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = Fold(a[i]), y = Fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

}  // namespace

void SplitCsvLine(const std::string& line, StrArray& fields) {
  fields.clear();
  size_t b = 0, e = line.size();
  while (b < e && static_cast<unsigned char>(line[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(line[e - 1]) <= 32) --e;
  // [pos, e) is the remaining text; every pass takes at least one character from it.
  size_t pos = b;
  while (pos < e) {
    const char* base = line.data();
    const void* commaAt = std::memchr(base + pos, ',', e - pos);
    if (!commaAt) {
      fields.emplace_back(base + pos, e - pos);
      break;
    }
    const size_t comma = static_cast<size_t>(static_cast<const char*>(commaAt) - base);
    if (line[pos] == '"') {
      const void* closeAt = std::memchr(base + pos + 1, '"', e - pos - 1);
      if (closeAt) {
        const size_t close = static_cast<size_t>(static_cast<const char*>(closeAt) - base);
        fields.emplace_back(base + pos + 1, close - pos - 1);
        pos = close + 1;
        continue;
      }
    }
    if (comma == pos) {
      ++pos;  // an empty field gives no element
      continue;
    }
    fields.emplace_back(base + pos, comma - pos);
    pos = comma + 1;
  }
}

void TMacList::Sort() {
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const Entry& a, const Entry& b) { return CompareText(a.Key, b.Key) < 0; });
}

const TMac* TMacList::Find(const std::string& key) const {
  const auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                                   [](const Entry& e, const std::string& k) { return CompareText(e.Key, k) < 0; });
  if (it == entries_.end() || CompareText(it->Key, key) != 0) return nullptr;
  return &it->Mac;
}

std::unique_ptr<TMacList> LoadMacList(const std::string& fileName) {
  std::FILE* f = std::fopen(fileName.c_str(), "rb");
  if (!f) throw EFOpenError("Cannot open file \"" + fileName + "\". " + std::strerror(errno));
  std::string data;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  const bool failed = std::ferror(f) != 0;
  const int err = errno;
  std::fclose(f);
  if (failed) throw EInOutError("Cannot read file \"" + fileName + "\". " + std::strerror(err));

  const size_t eof = data.find('\x1A');
  if (eof != std::string::npos) data.resize(eof);

  auto list = std::make_unique<TMacList>();
  StrArray fields;
  std::string line;
  size_t pos = 0;
  // One pass per line: a file without any line end is one line.
  do {
    size_t end = data.find('\n', pos);
    if (end == std::string::npos) end = data.size();
    line.assign(data, pos, end - pos);
    if (line.find('\r') != std::string::npos) std::erase(line, '\r');
    SplitCsvLine(line, fields);
    if (fields.size() >= 3) list->Add(std::move(fields[1]), TMac{std::move(fields[0]), std::move(fields[2])});
    pos = end + 1;
  } while (pos < data.size());
  list->Sort();
  return list;
}

const TMac* LookupVendor(const TMacList& list, const std::string& macText) {
  for (const std::string& prefix : MacPrefixes(macText))
    if (const TMac* mac = list.Find(prefix)) return mac;
  return nullptr;
}
