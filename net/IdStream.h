#pragma once
// Byte streams: the datagram handed to a UDP handler, and the place a TCP or HTTP read
// writes into (memory or file).
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to count bytes at the position; returns how many were read.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes count bytes at the position, growing the stream; returns how many were written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  virtual int64_t Size() const = 0;
  virtual void SetSize(int64_t size) = 0;  // keeps the position unless it is past the end
  virtual int64_t Position() const = 0;
  virtual void SetPosition(int64_t pos) = 0;
  // The whole content as bytes (for small streams: datagrams, error bodies).
  std::string DataString();
};

class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string data) : data_(data.begin(), data.end()) {}
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Size() const override { return static_cast<int64_t>(data_.size()); }
  void SetSize(int64_t size) override;
  int64_t Position() const override { return pos_; }
  void SetPosition(int64_t pos) override { pos_ = pos < 0 ? 0 : pos; }
  uint8_t* Memory() { return data_.data(); }
  const uint8_t* Memory() const { return data_.data(); }
  void Clear() { data_.clear(); pos_ = 0; }

 private:
  std::vector<uint8_t> data_;
  int64_t pos_ = 0;
};

// A file opened for reading or created anew for writing. Opening failures raise
// EFOpenError with the system's reason.
class TFileStream : public TStream {
 public:
  enum Mode { fmOpenRead, fmCreate };
  TFileStream(const std::string& fileName, Mode mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Size() const override;
  void SetSize(int64_t size) override;
  int64_t Position() const override;
  void SetPosition(int64_t pos) override;
  // Flushes and closes; later calls do nothing. Raises when buffered data cannot be written.
  void Close();

 private:
  std::FILE* file_ = nullptr;
  std::string name_;
};

#include <stdexcept>
class EFOpenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class EInOutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
