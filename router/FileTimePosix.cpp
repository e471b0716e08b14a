#include "router/FileTime.h"

#include <sys/stat.h>

bool FileModifiedLocal(const std::string& path, TDateTime& modified) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  modified = UnixToLocalDateTime(static_cast<int64_t>(st.st_mtime));
  return true;
}
