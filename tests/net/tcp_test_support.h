#pragma once
// Shared pieces of the TCP client tests: a log of a client's statuses and events, the connect
// to a scripted peer, and a count of the process's threads.
#include <dirent.h>

#include <string>
#include <thread>
#include <vector>

#include "net/IdSocketHandle.h"
#include "net/IdTCPClient.h"
#include "tests/support/TcpPeer.h"

namespace tcptest {

using support::Clock;
using support::TcpPeer;
using support::WaitUntil;

// Records a client's status texts and its OnConnected / OnDisconnected calls as one list of
// texts, in order (from Record on).
struct EventLog {
  EventLog() = default;
  explicit EventLog(TIdTCPClient& client) { Record(client); }
  void Record(TIdTCPClient& client) {
    client.OnStatus = [this](TIdComponent*, TIdStatus, const std::string& text) { items.push_back(text); };
    client.OnConnected = [this](TIdComponent*) { items.push_back("OnConnected"); };
    client.OnDisconnected = [this](TIdComponent*) { items.push_back("OnDisconnected"); };
  }
  std::string Joined() const {
    std::string out;
    for (const auto& s : items) out += (out.empty() ? "" : " | ") + s;
    return out;
  }
  std::vector<std::string> items;
};

// A port of ip that nothing listens on.
inline int UnusedPort(const std::string& ip) { return support::TcpListener(ip).Port(); }

// Starts the peer's script and connects the client to it on the calling thread.
inline void ConnectTo(TIdTCPClient& client, TcpPeer& peer) {
  client.SetHost(peer.Ip());
  client.SetPort(peer.Port());
  peer.Start();
  client.Connect(-1);
  peer.ClientSocket(client.Binding()->Handle());
}

// Threads of this process (Linux), to see that a helper thread has ended. Runtime helpers that
// start with the first thread (a sanitizer's, say) are brought up before the first count.
inline int ThreadCount() {
  static const bool warmedUp = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)warmedUp;
  int n = 0;
  if (auto* dir = ::opendir("/proc/self/task")) {
    while (auto* e = ::readdir(dir))
      if (e->d_name[0] != '.') ++n;
    ::closedir(dir);
  }
  return n;
}

}  // namespace tcptest
