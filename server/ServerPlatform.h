#pragma once
// The operating system calls of the echo server that its event loop library does not offer.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// Raises the soft limit of open files to the hard one, so that many sessions fit; returns the
// limit now in force (0 when it cannot be read).
unsigned long RaiseOpenFileLimit();

// The newest of a file's modification and status-change times (seconds since 1970); -1 when
// the file cannot be examined. A file replaced by a package upgrade gets a new status-change
// time even when it keeps the package's old modification time.
std::time_t FileChangeTime(const std::string& path);

// IPv4 addresses and ports in host byte order.
struct TUdpPeer {
  uint32_t Address = 0;
  uint16_t Port = 0;
};

// Asks a UDP socket to tell, with each datagram, the local address it arrived on.
bool EnableLocalAddressInfo(int socket);

// Takes one waiting datagram from a non-blocking socket: its bytes (at most capacity), sender
// and the local address it was sent to (0 when unknown). Returns the datagram's size, or -1
// when none is waiting or the call failed.
long ReceiveDatagram(int socket, char* buffer, size_t capacity, TUdpPeer& from, uint32_t& local);

// Datagrams taken from a non-blocking socket in one call, each with its sender and the local
// address it was sent to; a datagram longer than kBytes comes cut to kBytes.
class TDatagramBatch {
 public:
  static constexpr int kCapacity = 32;
  static constexpr size_t kBytes = 2048;
  // How many came (0: none was waiting, or the call failed). Fewer than kCapacity: the socket's
  // queue is empty now.
  int Receive(int socket);
  std::string_view Data(int i) const {
    return {buffers_ + static_cast<size_t>(i) * kBytes, sizes_[static_cast<size_t>(i)]};
  }
  const TUdpPeer& From(int i) const { return from_[static_cast<size_t>(i)]; }
  uint32_t Local(int i) const { return local_[static_cast<size_t>(i)]; }

 private:
  char buffers_[kCapacity * kBytes];
  size_t sizes_[kCapacity];
  TUdpPeer from_[kCapacity];
  uint32_t local_[kCapacity];
};

// Sends one datagram to `to` from the local address `local` (0: the system's choice), whatever
// address the socket is bound to. False when the system refused it.
bool SendDatagramFrom(int socket, const void* data, size_t size, const TUdpPeer& to,
                      uint32_t local);

// One character, given in UTF-8, written with ISO-8859-1 characters by the C library's
// transliteration ("ł" → "l", "€" → "EUR", a zero-width space → ""). Nothing when the library
// knows no such form or cannot convert.
std::optional<std::string> TransliterateToLatin1(std::string_view utf8Character);
