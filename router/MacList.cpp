#include "router/MacList.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "net/IdStream.h"
#include "net/ScopeExit.h"
#include "router/Gateway.h"

namespace {

// Letters folded to upper case (ASCII), for comparing keys without regard to case.
std::string Folded(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

// Splits a line into fields as SplitCsvLine describes, handing each to `emit` until it
// returns false.
template <typename Emit>
void SplitFields(std::string_view line, Emit&& emit) {
  size_t b = 0, e = line.size();
  while (b < e && static_cast<unsigned char>(line[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(line[e - 1]) <= 32) --e;
  const std::string_view rest = line.substr(b, e - b);
  // Every pass takes at least one character of the rest.
  size_t pos = 0;
  const size_t end = rest.size();
  while (pos < end) {
    const size_t comma = rest.find(',', pos);
    if (comma == std::string_view::npos) {
      emit(rest.substr(pos));
      return;
    }
    if (rest[pos] == '"') {
      const size_t close = rest.find('"', pos + 1);
      if (close != std::string_view::npos) {
        if (!emit(rest.substr(pos + 1, close - pos - 1))) return;
        pos = close + 1;
        continue;
      }
    }
    if (comma == pos) {
      ++pos;  // an empty field gives no element
      continue;
    }
    if (!emit(rest.substr(pos, comma - pos))) return;
    pos = comma + 1;
  }
}

// The bytes of a file; EFOpenError when it cannot be opened or is no regular file,
// EInOutError when it cannot be read.
std::string ReadWholeFile(const std::string& fileName) {
  // Only a regular file has an end to read to: a directory cannot be read, and a device may
  // never stop giving bytes.
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::status(fileName, ec);
  if (!ec && !std::filesystem::is_regular_file(st))
    throw EFOpenError("Cannot open file \"" + fileName + "\". " +
                      (std::filesystem::is_directory(st) ? std::strerror(EISDIR) : "Not a regular file"));
  std::FILE* f = std::fopen(fileName.c_str(), "rb");
  if (!f) throw EFOpenError("Cannot open file \"" + fileName + "\". " + std::strerror(errno));
  const TScopeExit close{[f] { std::fclose(f); }};
  std::string data;
  if (std::fseek(f, 0, SEEK_END) == 0) {
    const long size = std::ftell(f);
    if (size > 0) data.reserve(static_cast<size_t>(size));
    std::rewind(f);
  }
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  if (std::ferror(f) != 0) {
    const int err = errno;
    throw EInOutError("Cannot read file \"" + fileName + "\". " + std::strerror(err));
  }
  return data;
}

}  // namespace

void SplitCsvLine(const std::string& line, StrArray& fields) {
  fields.clear();
  SplitFields(line, [&](std::string_view f) {
    fields.emplace_back(f);
    return true;
  });
}

TVendorList::PackedKey TVendorList::Pack(const std::string& key) {
  PackedKey p;
  p.length = key.size();
  for (size_t i = 0; i < 16 && i < key.size(); ++i) {
    auto c = static_cast<unsigned char>(key[i]);
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 32);
    if (i < 8)
      p.hi |= uint64_t{c} << (8 * (7 - i));
    else
      p.lo |= uint64_t{c} << (8 * (15 - i));
  }
  return p;
}

int TVendorList::Compare(const PackedKey& a, const std::string& aText, const PackedKey& b, const std::string& bText) {
  if (a.hi != b.hi) return a.hi < b.hi ? -1 : 1;
  if (a.lo != b.lo) return a.lo < b.lo ? -1 : 1;
  // The first 16 bytes are equal: with zero padding, a shorter key sorts first, unless both
  // go on past 16 bytes.
  if (a.length > 16 && b.length > 16) {
    const int c = Folded(std::string_view(aText).substr(16)).compare(Folded(std::string_view(bText).substr(16)));
    if (c != 0) return c < 0 ? -1 : 1;
  }
  return a.length == b.length ? 0 : (a.length < b.length ? -1 : 1);
}

void TVendorList::Sort() {
  // Sorted through a small index of packed keys, so each entry moves once.
  struct Item {
    PackedKey key;
    size_t index;
  };
  std::vector<Item> items;
  items.reserve(entries_.size());
  for (size_t i = 0; i < entries_.size(); ++i) items.push_back({Pack(entries_[i].Key), i});
  // The index breaks ties: equal keys keep their file order.
  std::sort(items.begin(), items.end(), [this](const Item& a, const Item& b) {
    const int c = Compare(a.key, entries_[a.index].Key, b.key, entries_[b.index].Key);
    return c != 0 ? c < 0 : a.index < b.index;
  });
  std::vector<Entry> sorted;
  sorted.reserve(entries_.size());
  packed_.clear();
  packed_.reserve(entries_.size());
  for (const Item& it : items) {
    sorted.push_back(std::move(entries_[it.index]));
    packed_.push_back(it.key);
  }
  entries_ = std::move(sorted);
}

const TMac* TVendorList::Find(const std::string& key) const {
  if (packed_.size() != entries_.size()) return nullptr;  // not sorted
  const PackedKey k = Pack(key);
  size_t lo = 0, hi = entries_.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (Compare(packed_[mid], entries_[mid].Key, k, key) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo == entries_.size() || Compare(packed_[lo], entries_[lo].Key, k, key) != 0) return nullptr;
  return &entries_[lo].Mac;
}

namespace {

// Hands `entry` the key, registry and vendor of every line of a list file's content that has
// at least three fields, in file order, for as long as it returns true. The content ends at
// its first byte 0x1A; lines end at LF or CR LF, and a lone CR is dropped.
template <typename Entry>
void ForEachEntry(std::string_view all, Entry&& entry) {
  all = all.substr(0, all.find('\x1A'));
  std::string cleaned;
  std::string_view fields[3];
  size_t pos = 0;
  // One pass per line: a file without any line end is one line.
  do {
    size_t end = all.find('\n', pos);
    if (end == std::string_view::npos) end = all.size();
    std::string_view line = all.substr(pos, end - pos);
    // A CR at the end goes with the blanks the splitting strips; one inside the line is dropped.
    const size_t cr = line.find('\r');
    if (cr != std::string_view::npos && cr + 1 < line.size()) {
      cleaned.assign(line);
      std::erase(cleaned, '\r');
      line = cleaned;
    }
    // Only the first three fields are kept; the rest of the line need not be split.
    size_t count = 0;
    SplitFields(line, [&](std::string_view f) {
      fields[count++] = f;
      return count < 3;
    });
    if (count == 3 && !entry(fields[1], fields[0], fields[2])) return;
    pos = end + 1;
  } while (pos < all.size());
}

}  // namespace

std::unique_ptr<TVendorList> LoadMacList(const std::string& fileName) { return ParseMacList(ReadWholeFile(fileName)); }

std::unique_ptr<TVendorList> ParseMacList(std::string_view data) {
  auto list = std::make_unique<TVendorList>();
  list->Reserve(data.size() / 48 + 16);  // registry lines run to about 90 bytes
  ForEachEntry(data, [&](std::string_view key, std::string_view registry, std::string_view vendor) {
    list->Add(std::string(key), TMac{std::string(registry), std::string(vendor)});
    return true;
  });
  list->Sort();
  return list;
}

bool IsVendorList(std::string_view content) {
  content = content.substr(0, content.find('\x1A'));
  size_t vendorLines = 0, otherLines = 0;
  bool first = true;
  for (size_t pos = 0; pos < content.size();) {
    size_t end = content.find('\n', pos);
    if (end == std::string_view::npos) end = content.size();
    const std::string_view line = content.substr(pos, end - pos);
    pos = end + 1;
    if (std::all_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) <= 32; }))
      continue;  // blank: the splitting strips it to nothing
    bool vendorLine = false;
    ForEachEntry(line, [&](std::string_view key, std::string_view, std::string_view) {
      vendorLine = (key.size() == 6 || key.size() == 7 || key.size() == 9) &&
                   key.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
      return false;
    });
    if (vendorLine)
      ++vendorLines;
    else if (!first)
      ++otherLines;
    first = false;
  }
  return vendorLines > 0 && otherLines <= vendorLines / 100;
}

const TMac* LookupVendor(const TVendorList& list, const std::string& macText) {
  for (const std::string& prefix : MacPrefixes(macText))
    if (const TMac* mac = list.Find(prefix)) return mac;
  return nullptr;
}
