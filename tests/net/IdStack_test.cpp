#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "net/IdComponent.h"
#include "net/IdSocketHandle.h"
#include "net/IdStack.h"
#include "tests/support/Loopback.h"

namespace {

// Keeps the socket layer alive for a test.
struct StackHolder {
  TIdComponent component;
};

TEST(IdStack, ipv4_text_forms) {
  struct Row { const char* text; bool valid; TIdInAddr addr; };
  const Row rows[] = {
      {"10.0.0.1", true, {{10, 0, 0, 1}}},
      {"10.1", true, {{10, 0, 0, 1}}},
      {"10.1.2", true, {{10, 1, 0, 2}}},
      {"127.65535", true, {{127, 0, 255, 255}}},
      {"1.2.65535", true, {{1, 2, 255, 255}}},
      {"16909060", true, {{1, 2, 3, 4}}},
      {"4294967295", true, {{255, 255, 255, 255}}},
      {"0", true, {{0, 0, 0, 0}}},
      {"255.255.255.255", true, {{255, 255, 255, 255}}},
      // A part is judged by its value: leading zeros never make it too long.
      {"0000000001", true, {{0, 0, 0, 1}}},
      {"00000000001", true, {{0, 0, 0, 1}}},
      {"000000000000000000004294967295", true, {{255, 255, 255, 255}}},
      {"0000000000010.00000000000000001", true, {{10, 0, 0, 1}}},
      {"00000000004294967296", false, {}},
      {"99999999999999999999999", false, {}},
      {"4294967296", false, {}},
      {"256.1.1.1", false, {}},
      {"1.2.3.4.5", false, {}},
      {"1.16777216", false, {}},
      {"1.2.65536", false, {}},
      {"1..3.4", false, {}},
      {"1.2.3.", false, {}},
      {"", false, {}},
      {"a.b.c.d", false, {}},
      {"1.2.3.-4", false, {}},
      {" 1.2.3.4", false, {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(TIdStack::IsAddressText(r.text), r.valid);
    if (r.valid) {
      EXPECT_EQ(TIdStack::TextToAddress(r.text), r.addr);
    } else {
      try {
        TIdStack::TextToAddress(r.text);
        ADD_FAILURE() << "no exception";
      } catch (const EIdInvalidIPAddress& e) {
        EXPECT_EQ(std::string(e.what()), std::string(r.text) + " is not a valid IP address.");
      }
    }
  }
  EXPECT_EQ(TIdStack::AddressToText({{10, 0, 0, 1}}), "10.0.0.1");
  EXPECT_EQ(TIdStack::AddressToText({{0, 0, 0, 0}}), "0.0.0.0");
}

TEST(IdStack, resolve_to_address) {
  StackHolder h;
  for (const char* name : {"LOCALHOST", "localhost", "LocalHost"})
    EXPECT_EQ(SocketStack->ResolveToAddress(name), "127.0.0.1");
  EXPECT_EQ(SocketStack->ResolveToAddress("10.1"), "10.1");  // returned unchanged
  EXPECT_EQ(SocketStack->ResolveToAddress("10.0.0.1"), "10.0.0.1");
}

TEST(IdStack, unknown_name_raises_host_not_found) {
  StackHolder h;
  for (const char* name : {"no-such-host.invalid", "256.1.1.1", "1.2.3.4.5"}) {
    SCOPED_TRACE(name);
    try {
      SocketStack->ResolveToAddress(name);
      ADD_FAILURE() << "resolved";
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.SocketErrorCode, 11001);
      EXPECT_EQ(std::string(e.what()), "Socket Error # 11001\r\nHost not found.");
    }
  }
}

TEST(IdStack, error_texts) {
  StackHolder h;
  struct Row { int code; const char* msg; };
  const Row rows[] = {
      {10048, "Socket Error # 10048\r\nAddress already in use."},
      {10035, "Socket Error # 10035\r\nOperation would block. "},
      {10066, "Socket Error # 10066\r\nDirectory not empty"},
      {10061, "Socket Error # 10061\r\nConnection refused."},
      {12345, "Socket Error # 12345\r\n"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(SocketStack->ErrorText(r.code), r.msg);
    try {
      SocketStack->RaiseError(r.code);
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.SocketErrorCode, r.code);
      EXPECT_EQ(std::string(e.what()), r.msg);
    }
  }
}

TEST(IdStack, check_result_tolerates_listed_codes) {
  StackHolder h;
  TIdSocketHandle a, b;
  a.OpenSocket(Id_SOCK_DGRAM);
  a.IP = support::TestAddress();
  a.BindLocal();
  b.OpenSocket(Id_SOCK_DGRAM);
  int r = SocketStack->SockBind(b.Handle(), Id_PF_INET, a.Port, a.IP);
  EXPECT_TRUE(SocketStack->CheckResult(r, {10048}));
  EXPECT_EQ(SocketStack->LastError, 10048);
  EXPECT_FALSE(SocketStack->CheckResult(0));
  EXPECT_THROW(SocketStack->CheckResult(r), EIdSocketError);
}

TEST(IdStack, stack_lives_with_components) {
  ASSERT_EQ(NetComponentCount, 0);
  EXPECT_EQ(SocketStack, nullptr);
  {
    auto first = std::make_unique<TIdComponent>();
    TIdStack* stack = SocketStack;
    ASSERT_NE(stack, nullptr);
    { TIdComponent second; EXPECT_EQ(SocketStack, stack); EXPECT_EQ(NetComponentCount, 2); }
    EXPECT_EQ(SocketStack, stack);
  }
  EXPECT_EQ(SocketStack, nullptr);
  { TIdComponent again; EXPECT_NE(SocketStack, nullptr); }
  EXPECT_EQ(SocketLibraryStartCount(), 1);  // started once per process
}

TEST(IdStack, select_set_size_limit) {
  StackHolder h;
  std::vector<std::unique_ptr<TIdSocketHandle>> socks;
  std::vector<TIdStackSocketHandle> fds;
  for (int i = 0; i < 65; ++i) {
    socks.push_back(std::make_unique<TIdSocketHandle>());
    socks.back()->OpenSocket(Id_SOCK_DGRAM);
    fds.push_back(socks.back()->Handle());
  }
  std::vector<TIdStackSocketHandle> read(fds.begin(), fds.begin() + 64);
  EXPECT_EQ(SocketStack->SockSelect(&read, nullptr, nullptr, 0), 0);
  EXPECT_TRUE(read.empty());
  read = fds;
  try {
    SocketStack->SockSelect(&read, nullptr, nullptr, -2);  // must raise before any wait
    ADD_FAILURE();
  } catch (const EIdStackSetSizeExceeded& e) {
    EXPECT_EQ(std::string(e.what()), "Set Size Exceeded.");
  }
}

TEST(IdStack, local_addresses_list_up_ipv4_interfaces_loopback_last) {
  StackHolder h;
  const auto& list = SocketStack->LocalAddresses();
  ASSERT_FALSE(list.empty());
  bool seenLoopback = false;
  for (const auto& ip : list) {
    EXPECT_TRUE(TIdStack::IsAddressText(ip)) << ip;
    const bool loop = ip.rfind("127.", 0) == 0;
    if (seenLoopback) {
      EXPECT_TRUE(loop) << "non-loopback " << ip << " after loopback";
    }
    seenLoopback |= loop;
  }
  EXPECT_TRUE(seenLoopback);
}

TEST(IdStack, bind_errors_are_numbered) {
  StackHolder h;
  TIdSocketHandle s;
  s.OpenSocket(Id_SOCK_DGRAM);
  s.IP = "192.0.2.77";  // not an address of this host
  try {
    s.BindLocal();
    ADD_FAILURE();
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 10049);
    EXPECT_EQ(std::string(e.what()), "Socket Error # 10049\r\nCannot assign requested address.");
  }
}

// The empty address text is the any address when binding, and no address as a destination.
TEST(IdStack, empty_address_is_any_for_bind_only) {
  StackHolder h;
  const int udp = SocketStack->NewSocket(Id_SOCK_DGRAM, 0);
  ASSERT_EQ(SocketStack->SockBind(udp, Id_PF_INET, 0, ""), 0);
  std::string ip;
  int port = -1;
  SocketStack->LocalAddress(udp, ip, port);
  EXPECT_EQ(ip, "0.0.0.0");
  EXPECT_GT(port, 0);
  const int tcp = SocketStack->NewSocket(Id_SOCK_STREAM, 0);
  const std::vector<std::pair<const char*, std::function<void()>>> destinations = {
      {"sendto", [&] { SocketStack->SockSendTo(udp, "x", 1, 0, "", port); }},
      {"connect", [&] { SocketStack->SockConnect(tcp, Id_PF_INET, port, ""); }},
  };
  for (const auto& [name, call] : destinations) {
    SCOPED_TRACE(name);
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const EIdInvalidIPAddress& e) {
      EXPECT_EQ(std::string(e.what()), " is not a valid IP address.");
    }
  }
  // Had the datagram gone to the local host, the socket would hold it now.
  std::vector<TIdStackSocketHandle> ready{udp};
  EXPECT_EQ(SocketStack->SockSelect(&ready, nullptr, nullptr, 100), 0);
  SocketStack->SockClose(tcp);
  SocketStack->SockClose(udp);
}

}  // namespace
