#pragma once
// The vendor step of a test start: bring the local MAC vendor list up to date from the list
// server, then name the router's maker from it.
#include <optional>
#include <string>

#include "net/IdTransferLimit.h"
#include "router/Gateway.h"

// How long the vendor step waits for the list server to accept its connection.
inline constexpr int kVendorConnectTimeoutMs = 5000;

// Writes "Downloading MAC list... ", asks the list server at `macListUrl` (HEAD) when its list
// was last changed and, when `macFile` is missing or older, fetches it (GET) with the line
// "Downloading new mac file list". The new list replaces `macFile` only once it has arrived
// whole; a failure of any of this writes "Exception in HTTP connection with " and the server's
// host name, and leaves `macFile` as it was. Then, when `macFile` exists, writes the vendor of
// the longest prefix of `macText` (9, 7 or 6 characters) that the list knows, alone on its
// line; an empty `macText` (the router's address is unknown) looks nothing up. A `macFile`
// that exists but cannot be read raises EFOpenError / EInOutError.
// A server that does not accept within kVendorConnectTimeoutMs, that sends fewer bytes than the
// limits' floor within their span, or whose answers take longer than their total, counts as
// failed, so that a stalled or trickling server cannot hold the start of a test; so does a
// list that holds no entry at all. Returns the maker it named, if any.
// While it talks to the list server, `waiting` (when given) is told what it waits for:
// "Downloading MAC list...", then, as the list arrives, "Downloading MAC list... 420 KB".
std::optional<std::string> RefreshAndLookupVendor(const std::string& macListUrl, const std::string& macFile,
                                                  const std::string& macText, const TLineSink& sink,
                                                  const TIdTransferLimits& limits = {},
                                                  const TLineSink& waiting = {});
