#pragma once
// The MAC vendor list that the server offers over HTTP, built once at start from the IEEE
// registry files that Debian ships (package ieee-data).
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

// Records of RFC 4180 text: fields split at commas, quoted fields may hold commas, line breaks
// and doubled quotes. Records end at LF or CR LF outside quotes; empty lines are skipped.
std::vector<std::vector<std::string>> ParseCsvRecords(std::string_view text);

// One list line "registry,key,organisation" in the form the tester's reader splits: the key in
// upper-case hex; the organisation trimmed, control characters turned into blanks, and quoted
// only when it holds a comma (its own double quotes then become single ones, since that reader
// knows no escape; without a comma the last field is read whole, quotes included). Empty when the record is no usable assignment (a header, a key that is not
// 6, 7 or 9 hex digits, no organisation).
std::string MacListLine(const std::vector<std::string>& record);

// The text in ISO-8859-1, the code page the tester shows texts in. Characters it lacks become
// their closest Latin letters, or "?" when there is none; a letter followed by a combining
// accent becomes the accented letter where ISO-8859-1 has one. Bytes that are not UTF-8 are
// taken as ISO-8859-1 already.
std::string Utf8ToLatin1(std::string_view text);

struct TMacList {
  std::string Body;             // the whole file: one header line, then one line per entry
  // Newest modification or status-change time of the source files: it moves forward whenever
  // a file is written or replaced, whatever date the file itself carries.
  std::time_t LastModified = 0;
  size_t Entries = 0;           // lines after the header
  std::vector<std::string> Sources;  // files read
};

// The source files looked for in dir, in this order: MA-L, MA-M, MA-S, IAB.
extern const char* const kIeeeSourceFiles[4];

// The list from the texts of the source files (UTF-8), in the order given; Sources and
// LastModified are left to the caller.
TMacList BuildMacListFromTexts(const std::vector<std::string>& texts);

// Reads the source files of dir that exist; a file that exists but cannot be read raises
// std::runtime_error. No source file at all gives an empty list (Entries 0, Body empty).
TMacList BuildMacList(const std::string& dir);

// An HTTP date: "Sun, 06 Nov 1994 08:49:37 GMT".
std::string HttpDate(std::time_t t);
