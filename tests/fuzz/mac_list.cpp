// The vendor list file as the tester reads it: the line splitter on each line, and the list
// built from the text and from a file of the same bytes, searched by prefix.
#include <sys/mman.h>

#include <cstdlib>
#include <string>

#include "net/IdStream.h"
#include "router/MacList.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

std::string Stripped(const std::string& line) {
  size_t b = 0, e = line.size();
  while (b < e && static_cast<unsigned char>(line[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(line[e - 1]) <= 32) --e;
  return line.substr(b, e - b);
}

std::string Folded(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

// The fields put back together give the stripped line again, bar the quotes around quoted
// fields and the commas between fields: no byte is lost, moved or made up. A field holds a
// comma only when it was quoted, and quotes count only where a comma follows somewhere.
void CheckFields(const std::string& line, const StrArray& fields) {
  const std::string rest = Stripped(line);
  size_t pos = rest.find_first_not_of(',');
  if (pos == std::string::npos) pos = rest.size();
  for (size_t i = 0; i < fields.size(); ++i) {
    const std::string& f = fields[i];
    const std::string quoted = '"' + f + '"';
    if (rest.compare(pos, quoted.size(), quoted) == 0 && rest.find(',', pos) != std::string::npos) {
      pos += quoted.size();
    } else {
      FUZZ_CHECK(rest.compare(pos, f.size(), f) == 0, "field " + std::to_string(i) + " stands where it was: " + line);
      FUZZ_CHECK(f.find(',') == std::string::npos, "a comma only inside quotes: " + line);
      pos += f.size();
      FUZZ_CHECK(pos == rest.size() || rest[pos] == ',', "an unquoted field ends at a comma or the end: " + line);
    }
    while (pos < rest.size() && rest[pos] == ',') ++pos;
  }
  FUZZ_CHECK(pos == rest.size(), "nothing of the line is left over: " + line);
}

// The file the list is written to: a file in memory, open for the whole run and gone with the
// process, named by its descriptor (a disk would set the pace).
const std::string& ScratchFile() {
  static const std::string path = [] {
    const int fd = ::memfd_create("fuzz-mac-list", 0);
    if (fd < 0) std::abort();
    return "/proc/self/fd/" + std::to_string(fd);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = fuzz::Text(data, size);

  // The lines as the reader sees them: up to a Ctrl-Z, split at LF, without CRs.
  const std::string text = input.substr(0, input.find('\x1A'));
  size_t expected = 0;
  StrArray fields;
  for (size_t pos = 0;;) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    std::erase(line, '\r');
    SplitCsvLine(line, fields);
    CheckFields(line, fields);
    if (fields.size() >= 3) ++expected;
    pos = end + 1;
    if (pos >= text.size()) break;
  }

  const auto list = ParseMacList(input);
  FUZZ_CHECK(list->Count() == expected, "one entry per line of three fields or more");
  if (IsVendorList(input)) {
    bool hexKey = false;
    for (size_t i = 0; i < list->Count(); ++i) {
      const std::string& k = (*list)[i].Key;
      hexKey = hexKey || ((k.size() == 6 || k.size() == 7 || k.size() == 9) &&
                          k.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos);
    }
    FUZZ_CHECK(hexKey, "a vendor list holds an entry under a hexadecimal key");
  }
  for (size_t i = 0; i < list->Count(); ++i) {
    const TVendorList::Entry& e = (*list)[i];
    if (i > 0) FUZZ_CHECK(Folded((*list)[i - 1].Key) <= Folded(e.Key), "sorted by key without regard to case");
    const TMac* found = list->Find(Folded(e.Key));
    FUZZ_CHECK(found != nullptr, "every key is found: " + e.Key);
    bool sameKey = false;
    for (size_t j = 0; j < list->Count(); ++j) sameKey = sameKey || (&(*list)[j].Mac == found && Folded((*list)[j].Key) == Folded(e.Key));
    FUZZ_CHECK(sameKey, "the entry found has the key asked for");
    if (e.Key.size() == 6) FUZZ_CHECK(LookupVendor(*list, e.Key + "000000") != nullptr, "a MAC under a known prefix has a maker");
  }

  {
    TFileStream file(ScratchFile(), TFileStream::fmCreate);
    file.Write(input.data(), static_cast<int64_t>(input.size()));
    file.Close();
  }
  const auto fromFile = LoadMacList(ScratchFile());
  FUZZ_CHECK(fromFile->Count() == list->Count(), "the file gives the list its text gives");
  for (size_t i = 0; i < list->Count(); ++i) {
    const TVendorList::Entry &a = (*list)[i], &b = (*fromFile)[i];
    FUZZ_CHECK(a.Key == b.Key && a.Mac.Registry == b.Mac.Registry && a.Mac.Vendor == b.Mac.Vendor,
               "the file gives the entries its text gives");
  }
  return 0;
}
