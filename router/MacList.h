#pragma once
// The MAC vendor list: MAC address prefixes and the organisations they are assigned to, read
// from a comma-separated file (MAC.CSV) and searched by the longest known prefix.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using StrArray = std::vector<std::string>;

// Splits one line into its comma-separated fields. The line is first stripped of leading and
// trailing characters with codes 0 to 32. A field that begins with a double quote runs to the
// next double quote (the quotes are dropped, commas inside belong to the field), except as the
// last field of a line when no comma follows. Empty fields between commas give no element.
void SplitCsvLine(const std::string& line, StrArray& fields);

// One vendor entry.
struct TMac {
  std::string Registry;  // field 1 of its line (MA-L, MA-M, MA-S, IAB ...)
  std::string Vendor;    // field 3: the organisation's name
};

// Entries under their keys (field 2, a hex MAC prefix), sorted by key without regard to
// letter case; duplicate keys stay, in file order.
class TVendorList {
 public:
  struct Entry {
    std::string Key;
    TMac Mac;
  };

  void Add(std::string key, TMac mac) { entries_.push_back(Entry{std::move(key), std::move(mac)}); }
  void Reserve(size_t count) { entries_.reserve(count); }
  // Sorts by key (case-insensitive, stable). Find needs a sorted list.
  void Sort();
  // The first entry whose key equals `key` without regard to letter case, by binary search;
  // null when there is none.
  const TMac* Find(const std::string& key) const;

  size_t Count() const { return entries_.size(); }
  const Entry& operator[](size_t i) const { return entries_[i]; }

 private:
  // A key folded to upper case and packed for quick comparison: its first 16 bytes as two
  // big-endian numbers (zero-padded) and its length; longer keys are compared in full.
  struct PackedKey {
    uint64_t hi = 0, lo = 0;
    size_t length = 0;
  };
  static PackedKey Pack(const std::string& key);
  // <0, 0, >0: the folded keys a and b (whose texts are aText and bText) compared.
  static int Compare(const PackedKey& a, const std::string& aText, const PackedKey& b, const std::string& bText);

  std::vector<Entry> entries_;
  std::vector<PackedKey> packed_;  // the keys of entries_, in the same order, once sorted
};

// Reads a vendor list file: every line with at least three fields becomes an entry (key
// field 2, registry field 1, vendor field 3); the result is sorted. Lines end at LF or CR LF,
// a lone CR is dropped, a byte 0x1A ends the file. Raises EFOpenError when the file cannot be
// opened or is not a regular file, and EInOutError when it cannot be read.
std::unique_ptr<TVendorList> LoadMacList(const std::string& fileName);
// The same for the file's content.
std::unique_ptr<TVendorList> ParseMacList(std::string_view data);

// Whether the content of a file, read as LoadMacList reads it, is a vendor list: besides blank
// lines and a first line that may name the columns, its lines have three fields and a key of
// 6, 7 or 9 hexadecimal digits, at most one line in a hundred of them excepted; at least one
// does. A web page, an error text or an empty body is none.
bool IsVendorList(std::string_view content);

// The entry for a router MAC text (12 hex digits): its first 9, then 7, then 6 characters,
// the first that has an entry; null when none has.
const TMac* LookupVendor(const TVendorList& list, const std::string& macText);
