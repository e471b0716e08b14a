// Blocking waits of the transport keep the user-interface thread's window alive: on that thread
// they call KeepAlive every few tens of milliseconds, still notice what arrives meanwhile, and
// on any other thread they never call it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "net/IdTCPClient.h"
#include "net/UiThread.h"
#include "tests/net/tcp_test_support.h"

namespace {

using namespace tcptest;

class CountingUi : public TPlainUiThread {
 public:
  void KeepAlive() override {
    ++calls;
    if (onCall) onCall(calls);
  }
  int calls = 0;
  std::function<void(int)> onCall;
};

TEST(UiKeepAlive, blocking_waits_on_the_ui_thread_call_keep_alive) {
  struct Row {
    const char* name;
    bool onUiThread;
    int leastCalls;  // a wait of its full length makes about length / 25 ms calls
    std::function<void(TcpPeer&, CountingUi&)> wait;
  };
  const Row rows[] = {
      {"read whose line comes while it keeps alive", true, 3,
       [](TcpPeer& peer, CountingUi& ui) {
         peer.WaitSignal(1).Send("line\n");
         ui.onCall = [&peer](int calls) {
           if (calls == 3) peer.Signal();
         };
         TIdTCPClient client;
         ConnectTo(client, peer);
         EXPECT_EQ(client.ReadLine("\n", -2), "line");  // no limit of its own: only the line ends it
       }},
      {"connect with a limit", true, 1,
       [](TcpPeer& peer, CountingUi&) {
         TIdTCPClient client;
         client.SetHost(peer.Ip());
         client.SetPort(peer.Port());
         peer.Start();
         client.Connect(2000);
         EXPECT_TRUE(client.IsConnected());
       }},
      {"read on another thread", false, 0,
       [](TcpPeer& peer, CountingUi&) {
         std::thread([&] {
           TIdTCPClient client;
           ConnectTo(client, peer);
           EXPECT_EQ(client.ReadLine("\n", 150), "");
           SleepKeepingAlive(50);
         }).join();
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CountingUi ui;
    TUiThread::Install(&ui);
    {
      TcpPeer peer(support::TestAddress());
      row.wait(peer, ui);
    }
    TUiThread::Install(nullptr);
    if (row.onUiThread)
      EXPECT_GE(ui.calls, row.leastCalls);
    else
      EXPECT_EQ(ui.calls, 0);
  }
}

}  // namespace
