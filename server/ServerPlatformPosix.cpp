#include <arpa/inet.h>
#include <iconv.h>
#include <locale.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "server/ServerPlatform.h"

unsigned long RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return static_cast<unsigned long>(limit.rlim_cur);
}

std::time_t FileChangeTime(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return -1;
  return std::max(st.st_mtime, st.st_ctime);
}

bool EnableLocalAddressInfo(int socket) {
  const int on = 1;
  return setsockopt(socket, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == 0;
}

long ReceiveDatagram(int socket, char* buffer, size_t capacity, TUdpPeer& from, uint32_t& local) {
  sockaddr_in sender{};
  iovec io{buffer, capacity};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr msg{};
  msg.msg_name = &sender;
  msg.msg_namelen = sizeof sender;
  msg.msg_iov = &io;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(socket, &msg, MSG_DONTWAIT);
  if (n < 0) return -1;
  from.Address = ntohl(sender.sin_addr.s_addr);
  from.Port = ntohs(sender.sin_port);
  local = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      local = ntohl(info.ipi_spec_dst.s_addr);  // the address a reply leaves from
    }
  }
  return static_cast<long>(n);
}

int TDatagramBatch::Receive(int socket) {
  sockaddr_in senders[kCapacity];
  iovec io[kCapacity];
  alignas(cmsghdr) char control[kCapacity][CMSG_SPACE(sizeof(in_pktinfo))];
  mmsghdr msgs[kCapacity];
  for (int i = 0; i < kCapacity; ++i) {
    io[i] = {buffers_ + static_cast<size_t>(i) * kBytes, kBytes};
    msgs[i].msg_hdr = {};
    msgs[i].msg_hdr.msg_name = &senders[i];
    msgs[i].msg_hdr.msg_namelen = sizeof senders[i];
    msgs[i].msg_hdr.msg_iov = &io[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
    msgs[i].msg_hdr.msg_control = control[i];
    msgs[i].msg_hdr.msg_controllen = sizeof control[i];
    msgs[i].msg_len = 0;
  }
  const int n = recvmmsg(socket, msgs, kCapacity, MSG_DONTWAIT, nullptr);
  if (n <= 0) return 0;
  for (int i = 0; i < n; ++i) {
    const size_t k = static_cast<size_t>(i);
    sizes_[k] = std::min<size_t>(msgs[i].msg_len, kBytes);
    from_[k] = {ntohl(senders[i].sin_addr.s_addr), ntohs(senders[i].sin_port)};
    local_[k] = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msgs[i].msg_hdr); c != nullptr; c = CMSG_NXTHDR(&msgs[i].msg_hdr, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        local_[k] = ntohl(info.ipi_spec_dst.s_addr);
      }
    }
  }
  return n;
}

bool SendDatagramFrom(int socket, const void* data, size_t size, const TUdpPeer& to,
                      uint32_t local) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(to.Address);
  target.sin_port = htons(to.Port);
  iovec io{const_cast<void*>(data), size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr msg{};
  msg.msg_name = &target;
  msg.msg_namelen = sizeof target;
  msg.msg_iov = &io;
  msg.msg_iovlen = 1;
  if (local != 0) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst.s_addr = htonl(local);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
  }
  return sendmsg(socket, &msg, MSG_DONTWAIT) == static_cast<ssize_t>(size);
}

std::optional<std::string> TransliterateToLatin1(std::string_view utf8Character) {
  // The transliteration tables belong to the locale; C.UTF-8 is always there, and using it on
  // this thread only leaves the process's own locale alone.
  const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  if (utf8 == locale_t{}) return std::nullopt;
  const locale_t before = uselocale(utf8);
  std::optional<std::string> result;
  const iconv_t cd = iconv_open("ISO-8859-1//TRANSLIT", "UTF-8");
  if (cd != reinterpret_cast<iconv_t>(-1)) {
    std::string in(utf8Character);
    char out[64];
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = out;
    size_t outLeft = sizeof out;
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) && inLeft == 0)
      result.emplace(out, static_cast<size_t>(outPtr - out));
    iconv_close(cd);
  }
  uselocale(before);
  freelocale(utf8);
  return result;
}
