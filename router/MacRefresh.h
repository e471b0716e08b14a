#pragma once
// Keeping the local vendor list file (MAC.CSV) up to date with the list server's copy.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "net/IdStream.h"

// The file the vendor list is kept in, in the working directory.
constexpr const char* MacListFileName = "MAC.CSV";

// Whether the list at `path` should be fetched: it does not exist, or its last modification
// (whole seconds) is strictly earlier than `serverModified`, the instant the server's
// Last-Modified header names (Unix time). Both are instants, so no time zone or change of
// summer time can order them wrongly. Without a usable date from the server (nullopt) the
// server's list counts as older than any file.
bool MacListNeedsFetch(const std::string& path, std::optional<int64_t> serverModified);

// The file could not be written: made, written or put in place. Path names the file (as
// given), Cause what the system said.
class EFileWriteError : public EFOpenError {
 public:
  EFileWriteError(const std::string& path, const std::string& cause)
      : EFOpenError("Cannot write file \"" + path + "\". " + cause), Path(path), Cause(cause) {}
  std::string Path;
  std::string Cause;
};

// Replaces the file at `path` with what `fetch` writes into the stream it is given. The bytes
// go to a new temporary file beside `path`, which is renamed over `path` only when `fetch`
// returned normally and the file was written completely. When anything fails the temporary
// file is removed, `path` keeps its content and its modification time, and the exception goes
// on to the caller; a failure of the file itself as EFileWriteError.
void ReplaceFileFrom(const std::string& path, const std::function<void(TStream& body)>& fetch);
