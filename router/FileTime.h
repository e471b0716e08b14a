#pragma once
// Modification times of files, as instants.
#include <cstdint>
#include <string>

// The file's last-modification time as Unix time (seconds since 1970-01-01 00:00 UTC), to the
// whole second; false when the file does not exist or cannot be examined. Platform file.
bool FileModifiedUnix(const std::string& path, int64_t& unixSeconds);
