#include "router/FileTime.h"

#include <sys/stat.h>

bool FileModifiedUnix(const std::string& path, int64_t& unixSeconds) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  unixSeconds = static_cast<int64_t>(st.st_mtime);
  return true;
}
