#include "net/IdBuffer.h"

#include <algorithm>
#include <cstring>

#include "net/IdException.h"

uint8_t* TIdBuffer::Reserve(int64_t count) {
  if (count < 0) count = 0;
  if (end_ + count > capacity_) {
    const int64_t live = Size();
    int64_t cap = std::max<int64_t>(capacity_, 4096);
    while (cap < live + count) cap *= 2;
    if (cap == capacity_) {
      // Enough room once the consumed front is given back.
      std::memmove(data_.get(), data_.get() + offset_, static_cast<size_t>(live));
    } else {
      std::unique_ptr<uint8_t[]> grown(new uint8_t[static_cast<size_t>(cap)]);
      if (live > 0) std::memcpy(grown.get(), data_.get() + offset_, static_cast<size_t>(live));
      data_ = std::move(grown);
      capacity_ = cap;
    }
    offset_ = 0;
    end_ = live;
  }
  return data_.get() + end_;
}

void TIdBuffer::Append(const void* bytes, int64_t count) {
  if (count <= 0) return;
  std::memcpy(Reserve(count), bytes, static_cast<size_t>(count));
  Commit(count);
}

void TIdBuffer::Remove(int64_t count) {
  if (count <= 0) return;
  if (count > Size()) throw EIdNotEnoughDataInBuffer();
  if (count == Size()) {
    Clear();
    return;
  }
  offset_ += count;
  if (offset_ >= CompactAt) {
    std::memmove(data_.get(), data_.get() + offset_, static_cast<size_t>(Size()));
    end_ -= offset_;
    offset_ = 0;
  }
}

std::string TIdBuffer::Extract(int64_t count) {
  if (count > Size()) throw EIdNotEnoughDataInBuffer();
  std::string out(reinterpret_cast<const char*>(Data()), static_cast<size_t>(std::max<int64_t>(count, 0)));
  Remove(count);
  return out;
}
