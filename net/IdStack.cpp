#include "net/IdStack.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

TIdStack* SocketStack = nullptr;
std::mutex StackLock;
int NetComponentCount = 0;

namespace {

struct ErrorRow { int code; const char* text; };
constexpr ErrorRow kErrorTexts[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
    {11001, "Host not found."},
};

// A decimal number of at most `max`; false for empty, non-digit or out-of-range text. Leading
// zeros add nothing to the value, however many there are.
bool ParsePart(const std::string& s, uint64_t max, uint64_t& out) {
  if (s.empty()) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > max) return false;  // also keeps v far from overflowing
  }
  if (v > max) return false;
  out = v;
  return true;
}

// Takes the text before the next "." and removes it with the "."; without one, takes all.
std::string Fetch(std::string& s) {
  auto p = s.find('.');
  std::string head = s.substr(0, p);
  s = p == std::string::npos ? std::string() : s.substr(p + 1);
  return head;
}

bool ParseIPv4(const std::string& text, TIdInAddr& addr) {
  // The number of dots decides the form: a, a.b, a.b.c, or a.b.c.rest (rest must be a number).
  const auto dots = std::count(text.begin(), text.end(), '.');
  const int parts = dots >= 3 ? 4 : static_cast<int>(dots) + 1;
  std::string rest = text;
  const std::string p1 = Fetch(rest);
  const std::string p2 = parts >= 2 ? Fetch(rest) : std::string();
  const std::string p3 = parts >= 3 ? Fetch(rest) : std::string();
  uint64_t a = 0, b = 0, c = 0, d = 0;
  switch (parts) {
    case 1:
      if (!ParsePart(p1, 4294967295ULL, a)) return false;
      addr.b[0] = static_cast<uint8_t>(a >> 24);
      addr.b[1] = static_cast<uint8_t>(a >> 16);
      addr.b[2] = static_cast<uint8_t>(a >> 8);
      addr.b[3] = static_cast<uint8_t>(a);
      return true;
    case 2:
      if (!ParsePart(p1, 255, a) || !ParsePart(p2, 16777215, b)) return false;
      addr.b[0] = static_cast<uint8_t>(a);
      addr.b[1] = static_cast<uint8_t>(b >> 16);
      addr.b[2] = static_cast<uint8_t>(b >> 8);
      addr.b[3] = static_cast<uint8_t>(b);
      return true;
    case 3:
      if (!ParsePart(p1, 255, a) || !ParsePart(p2, 255, b) || !ParsePart(p3, 65535, c)) return false;
      addr.b[0] = static_cast<uint8_t>(a);
      addr.b[1] = static_cast<uint8_t>(b);
      addr.b[2] = static_cast<uint8_t>(c >> 8);
      addr.b[3] = static_cast<uint8_t>(c);
      return true;
    default:
      if (!ParsePart(p1, 255, a) || !ParsePart(p2, 255, b) || !ParsePart(p3, 255, c) ||
          !ParsePart(rest, 255, d))
        return false;
      addr.b[0] = static_cast<uint8_t>(a);
      addr.b[1] = static_cast<uint8_t>(b);
      addr.b[2] = static_cast<uint8_t>(c);
      addr.b[3] = static_cast<uint8_t>(d);
      return true;
  }
}

bool EqualsIgnoreCase(const std::string& a, const char* b) {
  size_t n = 0;
  for (; b[n]; ++n) {
    if (n >= a.size()) return false;
    if (std::toupper(static_cast<unsigned char>(a[n])) != std::toupper(static_cast<unsigned char>(b[n])))
      return false;
  }
  return n == a.size();
}

}  // namespace

std::string TIdStack::ErrorMessageText(int code) {
  for (const auto& row : kErrorTexts)
    if (row.code == code) return row.text;
  return std::string();
}

std::string TIdStack::ErrorText(int code) {
  return "Socket Error # " + std::to_string(code) + "\r\n" + ErrorMessageText(code);
}

const std::vector<std::string>& TIdStack::LocalAddresses() {
  RefreshLocalAddresses();
  return LocalAddressList;
}

uint16_t TIdStack::HostToNet16(uint16_t v) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  uint16_t out;
  static_assert(sizeof(out) == sizeof(bytes));
  __builtin_memcpy(&out, bytes, 2);
  return out;
}

uint16_t TIdStack::NetToHost16(uint16_t v) {
  uint8_t bytes[2];
  __builtin_memcpy(bytes, &v, 2);
  return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

TIdStackSocketHandle TIdStack::NewSocket(int type, int protocol) {
  TIdStackSocketHandle s = SockCreate(Id_PF_INET, type, protocol);
  if (s == Id_INVALID_SOCKET) throw EIdInvalidSocket();
  return s;
}

bool TIdStack::IsAddressText(const std::string& text) {
  TIdInAddr addr;
  return ParseIPv4(text, addr);
}

TIdInAddr TIdStack::TextToAddress(const std::string& text) {
  TIdInAddr addr;
  if (!ParseIPv4(text, addr)) throw EIdInvalidIPAddress(text + " is not a valid IP address.");
  return addr;
}

std::string TIdStack::AddressToText(const TIdInAddr& addr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", addr.b[0], addr.b[1], addr.b[2], addr.b[3]);
  return buf;
}

bool TIdStack::AddressWithoutLookup(const std::string& host, std::string& address) {
  if (EqualsIgnoreCase(host, "LOCALHOST")) {
    address = "127.0.0.1";
    return true;
  }
  if (!IsAddressText(host)) return false;
  address = host;
  return true;
}

std::string TIdStack::ResolveToAddress(const std::string& host) {
  std::string address;
  if (AddressWithoutLookup(host, address)) return address;
  return HostByName(host);
}

bool TIdStack::CheckResult(int result, std::initializer_list<int> tolerated) {
  if (result != Id_SOCKET_ERROR) return false;
  const int error = LastSocketError();
  LastError = error;
  for (int code : tolerated)
    if (code == error) return true;
  RaiseError(error);
}

void TIdStack::RaiseError(int code) { throw EIdSocketError(code, ErrorText(code)); }
