#pragma once
// Modification times of files, as local wall-clock times.
#include <string>

#include "net/IdDateTime.h"

// The file's last-modification time in local time, to the whole second; false when the file
// does not exist or cannot be examined. Platform file.
bool FileModifiedLocal(const std::string& path, TDateTime& modified);
