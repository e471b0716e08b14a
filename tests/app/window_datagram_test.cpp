// The window's UDP endpoints: their stored settings, and datagrams reaching the window's
// handlers on the user-interface thread through the event loop.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/QtFront.h"
#include "app/Unit_1_client.h"
#include "tests/app/TestSupport.h"

namespace {

TEST(WindowEndpoints, stored_settings) {
  TRecordingWindowing front;
  TForm1 form;
  for (TIdUDPServer* e : {form.IdUDP_client_5060, form.IdUDP_client_5058, form.IdRTP5004}) {
    EXPECT_EQ(e->Bindings().Count(), 0);
    EXPECT_EQ(e->GetDefaultPort(), 0);
    EXPECT_FALSE(e->ThreadedEvent);
    EXPECT_EQ(e->BufferSize, 8192);
    EXPECT_FALSE(e->GetBroadcastEnabled());
    EXPECT_FALSE(e->IsActive());
    EXPECT_TRUE(static_cast<bool>(e->OnUDPRead));
  }
}

// Records the datagrams its handlers get; the SIP handler fails for the text "fail".
class RecordingForm : public TForm1 {
 public:
  struct Got {
    std::string handler, data, fromIp;
    int fromPort;
    TIdUDPServer* sender;
    bool onUiThread;
  };
  std::vector<Got> got;
  std::thread::id uiThread = std::this_thread::get_id();

  void IdUDP_client_5060UDPRead(TIdUDPServer* s, TStream& d, TIdSocketHandle& b) override {
    Record("sip", s, d, b);
    if (got.back().data == "fail") throw std::runtime_error("handler failed");
  }
  void IdRTP5004UDPRead(TIdUDPServer* s, TStream& d, TIdSocketHandle& b) override {
    Record("rtp", s, d, b);
  }

 private:
  void Record(const char* h, TIdUDPServer* s, TStream& d, TIdSocketHandle& b) {
    got.push_back({h, d.DataString(), b.RemoteIP, b.RemotePort, s,
                   std::this_thread::get_id() == uiThread});
  }
};

void Bind(TIdUDPServer& e, const std::string& ip) {
  if (e.Bindings().Count() == 0) e.Bindings().Add();
  e.Bindings()[0].IP = ip;
  e.Bindings()[0].Port = 0;
  e.SetActive(true);
}

TEST(WindowEndpoints, datagrams_reach_the_handlers_on_the_ui_thread) {
  TQtUiThread ui;
  TUiThread::Install(&ui);
  TRecordingWindowing front;
  {
    const std::string window = support::TestAddress(0), other = support::TestAddress(1);
    RecordingForm form;
    Bind(*form.IdUDP_client_5060, window);
    Bind(*form.IdUDP_client_5058, window);
    Bind(*form.IdRTP5004, window);
    TIdUDPServer peer;
    Bind(peer, other);
    const int peerPort = peer.ActiveBinding().Port;

    struct Row { TIdUDPServer* to; std::string text; const char* handler; };
    const Row rows[] = {
        {form.IdUDP_client_5060, "Sent after 20000 ", "sip"},
        {form.IdUDP_client_5058, "fail", "sip"},  // dropped unseen; later ones still come
        {form.IdUDP_client_5058, "Sent after 40000 ", "sip"},
        {form.IdRTP5004, std::string("rtp\0payload", 11), "rtp"},
    };
    for (const Row& row : rows) {
      const size_t before = form.got.size();
      peer.SendText(window, row.to->ActiveBinding().Port, row.text);
      ASSERT_TRUE(SpinUntil([&] { return form.got.size() > before; })) << row.text;
      const RecordingForm::Got& g = form.got.back();
      EXPECT_EQ(g.handler, row.handler);
      EXPECT_EQ(g.data, row.text);
      EXPECT_EQ(g.sender, row.to);
      EXPECT_EQ(g.fromIp, other);
      EXPECT_EQ(g.fromPort, peerPort);
      EXPECT_TRUE(g.onUiThread);
    }
    EXPECT_TRUE(front.boxes.empty()) << "a datagram handler's exception is never shown";
  }  // the window goes with its endpoints active: their threads end
  TIdThread::WaitForAllThreads(std::chrono::milliseconds(20));
  EXPECT_EQ(TIdThread::LiveThreadCount(), 0);
  TUiThread::Install(nullptr);
}

}  // namespace
