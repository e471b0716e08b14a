#pragma once
// A byte buffer that is consumed from the front and filled at the back: the received bytes a
// TCP connection holds until a read takes them. Taking bytes only moves an offset; the
// unconsumed bytes are moved to the front once 32768 consumed bytes have piled up, so reading
// many short lines does not shift the rest each time.
#include <cstdint>
#include <memory>
#include <string>

class TIdBuffer {
 public:
  // Consumed bytes that trigger moving the rest to the front.
  static constexpr int64_t CompactAt = 32768;

  TIdBuffer() = default;
  TIdBuffer(const TIdBuffer&) = delete;
  TIdBuffer& operator=(const TIdBuffer&) = delete;

  // Unconsumed bytes.
  int64_t Size() const { return end_ - offset_; }
  bool Empty() const { return end_ == offset_; }
  const uint8_t* Data() const { return data_.get() + offset_; }
  // Consumed bytes still in front of the data (for tests of the compaction).
  int64_t Offset() const { return offset_; }

  void Append(const void* bytes, int64_t count);
  // Room for at least count more bytes at the end; fill it, then Commit how many were written.
  // Lets a receive land in the buffer directly.
  uint8_t* Reserve(int64_t count);
  void Commit(int64_t count) { end_ += count; }

  // Drops the first count bytes; more than Size() raises EIdNotEnoughDataInBuffer and changes
  // nothing. Taking all bytes empties the buffer at once.
  void Remove(int64_t count);
  // The first count bytes as text, then removed.
  std::string Extract(int64_t count);
  void Clear() { offset_ = end_ = 0; }

 private:
  std::unique_ptr<uint8_t[]> data_;  // not zero-filled: only [offset_, end_) is ever read
  int64_t capacity_ = 0;
  int64_t offset_ = 0;  // consumed bytes at the front
  int64_t end_ = 0;     // end of the unconsumed bytes
};
