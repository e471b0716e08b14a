#pragma once
// Files of one test: a fresh directory, removed with everything in it when the object goes, and
// the modification times of files.
#include <sys/stat.h>
#include <utime.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace support {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "nat-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  // How many entries the directory holds.
  size_t Count() const {
    const std::filesystem::directory_iterator entries(path_);
    return static_cast<size_t>(std::distance(begin(entries), end(entries)));
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Writes `bytes` to the named file and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(File(name), std::ios::binary) << bytes;
    return File(name);
  }

 private:
  std::string path_;
};

inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A file's modification time, to the nanosecond.
struct FileStamp {
  int64_t sec = 0, nsec = 0;
  bool operator==(const FileStamp&) const = default;
};
inline FileStamp Mtime(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return {st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

// Sets a file's access and modification times (seconds since 1970).
inline void SetMtime(const std::string& path, int64_t unixSeconds) {
  const utimbuf times{static_cast<time_t>(unixSeconds), static_cast<time_t>(unixSeconds)};
  ASSERT_EQ(::utime(path.c_str(), &times), 0) << path;
}

}  // namespace support
