#pragma once
// Keeping the local vendor list file (MAC.CSV) up to date with the list server's copy.
#include <functional>
#include <string>

#include "net/IdDateTime.h"
#include "net/IdStream.h"

// The file the vendor list is kept in, in the working directory.
constexpr const char* MacListFileName = "MAC.CSV";

// Whether the list at `path` should be fetched: it does not exist, or its last modification
// (local time, whole seconds) is strictly earlier than the server's `serverModified`.
bool MacListNeedsFetch(const std::string& path, TDateTime serverModified);

// Replaces the file at `path` with what `fetch` writes into the stream it is given. The bytes
// go to a new temporary file beside `path`, which is renamed over `path` only when `fetch`
// returned normally and the file was written completely. When anything fails the temporary
// file is removed, `path` keeps its content and its modification time, and the exception goes
// on to the caller.
void ReplaceFileFrom(const std::string& path, const std::function<void(TStream& body)>& fetch);
