#include "net/IdStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

std::string TStream::DataString() {
  const int64_t keep = Position();
  SetPosition(0);
  std::string out(static_cast<size_t>(Size()), '\0');
  const int64_t got = Read(out.data(), static_cast<int64_t>(out.size()));
  out.resize(static_cast<size_t>(got < 0 ? 0 : got));
  SetPosition(keep);
  return out;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || pos_ >= Size()) return 0;
  const int64_t n = std::min(count, Size() - pos_);
  std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
  pos_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (pos_ + count > Size()) data_.resize(static_cast<size_t>(pos_ + count));
  std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
  pos_ += count;
  return count;
}

void TMemoryStream::SetSize(int64_t size) {
  data_.resize(static_cast<size_t>(size < 0 ? 0 : size));
  if (pos_ > Size()) pos_ = Size();
}

TFileStream::TFileStream(const std::string& fileName, Mode mode) : name_(fileName) {
  file_ = std::fopen(fileName.c_str(), mode == fmCreate ? "w+b" : "rb");
  if (!file_)
    throw EFOpenError("Cannot " + std::string(mode == fmCreate ? "create" : "open") + " file \"" +
                      fileName + "\". " + std::strerror(errno));
}

TFileStream::~TFileStream() {
  if (file_) std::fclose(file_);
}

void TFileStream::Close() {
  if (!file_) return;
  const bool ok = std::fflush(file_) == 0;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!ok || !closed) throw EInOutError("Cannot write file \"" + name_ + "\". " + std::strerror(errno));
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  if (!file_ || count <= 0) return 0;
  return static_cast<int64_t>(std::fread(buffer, 1, static_cast<size_t>(count), file_));
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  if (!file_ || count <= 0) return 0;
  const size_t n = std::fwrite(buffer, 1, static_cast<size_t>(count), file_);
  if (n != static_cast<size_t>(count))
    throw EInOutError("Cannot write file \"" + name_ + "\". " + std::strerror(errno));
  return static_cast<int64_t>(n);
}

int64_t TFileStream::Size() const {
  if (!file_) return 0;
  const long keep = std::ftell(file_);
  std::fseek(file_, 0, SEEK_END);
  const long end = std::ftell(file_);
  std::fseek(file_, keep, SEEK_SET);
  return end;
}

void TFileStream::SetSize(int64_t size) {
  if (!file_) return;
  std::fflush(file_);
  std::error_code ec;
  std::filesystem::resize_file(name_, static_cast<std::uintmax_t>(size < 0 ? 0 : size), ec);
  if (ec) throw EInOutError("Cannot size file \"" + name_ + "\". " + ec.message());
  if (Position() > size) SetPosition(size);
}

int64_t TFileStream::Position() const { return file_ ? std::ftell(file_) : 0; }
void TFileStream::SetPosition(int64_t pos) {
  if (file_) std::fseek(file_, static_cast<long>(pos), SEEK_SET);
}
