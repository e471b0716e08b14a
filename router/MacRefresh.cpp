#include "router/MacRefresh.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include "router/FileTime.h"

bool MacListNeedsFetch(const std::string& path, std::optional<int64_t> serverModified) {
  int64_t fileModified = 0;
  if (!FileModifiedUnix(path, fileModified)) return true;
  return serverModified && fileModified < *serverModified;
}

namespace {

// Creates a new, empty file next to `path` under a name no other file has; returns its name.
std::string CreateTemporaryBeside(const std::string& path) {
  std::random_device seed;
  std::mt19937_64 gen(seed());
  int err = 0;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".part-%012llx", static_cast<unsigned long long>(gen() & 0xFFFFFFFFFFFFull));
    const std::string name = path + suffix;
    // "x": fails when the name exists, so a file of someone else's is never taken over.
    if (std::FILE* f = std::fopen(name.c_str(), "wbx")) {
      std::fclose(f);
      return name;
    }
    err = errno;
    if (err != EEXIST) break;
  }
  throw EFileWriteError(path, std::strerror(err));
}

}  // namespace

void ReplaceFileFrom(const std::string& path, const std::function<void(TStream& body)>& fetch) {
  const std::string temporary = CreateTemporaryBeside(path);
  // The stream's own texts name the temporary file; the cause follows its name.
  const auto cause = [](const std::exception& e) {
    const std::string text = e.what();
    const size_t at = text.find("\". ");
    return at == std::string::npos ? text : text.substr(at + 3);
  };
  try {
    try {
      {
        TFileStream body(temporary, TFileStream::fmCreate);
        fetch(body);
        body.Close();
      }
      std::filesystem::rename(temporary, path);
    } catch (const EFileWriteError&) {
      throw;
    } catch (const EFOpenError& e) {
      throw EFileWriteError(path, cause(e));
    } catch (const EInOutError& e) {
      throw EFileWriteError(path, cause(e));
    } catch (const std::filesystem::filesystem_error& e) {
      throw EFileWriteError(path, e.code().message());
    }
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    throw;
  }
}
