// The window on a real X display, pinged the way a window manager checks that a program is
// alive (_NET_WM_PING): through a slow test sequence, every ping is answered within a second.
// A picture of the window is taken in the middle of the sequence.
#include <poll.h>
#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QWindow>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "tests/app/RunSupport.h"

using namespace runs;
using support::Clock;

namespace {

// Acts as the window manager's liveness check: pings one window every 100 ms on a connection
// of its own, one ping at a time, and keeps the longest wait for an answer.
class WmPinger {
 public:
  explicit WmPinger(xcb_window_t window) : window_(window) {
    c_ = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c_)) return;
    root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    protocols_ = Atom("WM_PROTOCOLS");
    ping_ = Atom("_NET_WM_PING");
    // Answers go to the root window, to those that watch its structure (the toolkit's mask) or
    // its substructure (the mask the protocol names).
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c_, root_, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c_);
  }
  ~WmPinger() {
    Stop();
    xcb_disconnect(c_);
  }

  // The window lists _NET_WM_PING among the protocols it takes part in.
  bool Announced() {
    xcb_get_property_reply_t* r =
        xcb_get_property_reply(c_, xcb_get_property(c_, 0, window_, protocols_, XCB_ATOM_ATOM, 0, 32), nullptr);
    if (!r) return false;
    const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(r));
    const bool found = std::find(atoms, atoms + xcb_get_property_value_length(r) / 4, ping_) !=
                       atoms + xcb_get_property_value_length(r) / 4;
    std::free(r);
    return found;
  }
  void Start() {
    thread_ = std::thread([this] { Loop(); });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // After Stop.
  int Answered() const { return answered_; }
  Clock::duration Worst() const { return worst_; }

 private:
  xcb_atom_t Atom(const char* name) {
    xcb_intern_atom_reply_t* r =
        xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(r);
    return atom;
  }
  void Send(uint32_t stamp) {
    xcb_client_message_event_t m{};
    m.response_type = XCB_CLIENT_MESSAGE;
    m.format = 32;
    m.window = window_;
    m.type = protocols_;
    m.data.data32[0] = ping_;
    m.data.data32[1] = stamp;
    m.data.data32[2] = window_;
    xcb_send_event(c_, 0, window_, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&m));
    xcb_flush(c_);
  }
  void Loop() {
    uint32_t stamp = 0;
    bool waiting = false;
    Clock::time_point sentAt, nextAt = Clock::now();
    while (!stop_) {
      if (!waiting && Clock::now() >= nextAt) {
        Send(++stamp);
        sentAt = Clock::now();
        waiting = true;
      }
      if (waiting) worst_ = std::max(worst_, Clock::now() - sentAt);  // an unanswered ping counts too
      pollfd p{xcb_get_file_descriptor(c_), POLLIN, 0};
      ::poll(&p, 1, 10);
      while (xcb_generic_event_t* e = xcb_poll_for_event(c_)) {
        const auto* m = reinterpret_cast<const xcb_client_message_event_t*>(e);
        if ((e->response_type & 0x7f) == XCB_CLIENT_MESSAGE && m->type == protocols_ && m->data.data32[0] == ping_ &&
            waiting && m->data.data32[1] == stamp) {
          worst_ = std::max(worst_, Clock::now() - sentAt);
          waiting = false;
          ++answered_;
          nextAt = sentAt + std::chrono::milliseconds(100);
        }
        std::free(e);
      }
    }
  }

  xcb_connection_t* c_ = nullptr;
  xcb_window_t window_, root_ = 0;
  xcb_atom_t protocols_ = XCB_ATOM_NONE, ping_ = XCB_ATOM_NONE;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  int answered_ = 0;
  Clock::duration worst_{};
};

// Runs `then` once a label has been painted with `text`, from the next turn of the event loop
// (by then the painted picture has gone to the display).
class PaintedThen : public QObject {
 public:
  PaintedThen(QLabel* label, const char* text, std::function<void()> then)
      : label_(label), text_(QString::fromLatin1(text)), then_(std::move(then)) {
    label->installEventFilter(this);
  }
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint && !done_ && label_->text() == text_) {
      done_ = true;
      QMetaObject::invokeMethod(this, then_, Qt::QueuedConnection);
    }
    return false;
  }

 private:
  QLabel* label_;
  QString text_;
  std::function<void()> then_;
  bool done_ = false;
};

class WindowPing : public RunTest {};

TEST_F(WindowPing, pings_are_answered_within_a_second_through_a_slow_sequence) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) GTEST_SKIP() << "needs an X display";
  // Each probe is echoed only after its third send: the sequence waits 4 s for each of them.
  standin::ScriptedServer& server = StandIn();
  server.script = [sends = std::map<std::string, int>()](const standin::Datagram& d, size_t) mutable {
    standin::Echo e;
    e.text = d.text;
    e.send = !d.NatTest() && ++sends[std::to_string(d.port) + d.text.substr(0, d.text.find("\r\n"))] >= 3;
    return e;
  };
  Rig& rig = Window();
  TForm1& f = *rig.form;
  f.show();
  ASSERT_TRUE(rig.Spin([&] { return f.windowHandle() && f.windowHandle()->isExposed(); }, 10s));
  WmPinger pinger(static_cast<xcb_window_t>(f.winId()));
  ASSERT_TRUE(pinger.Announced()) << "the window does not take part in _NET_WM_PING";

  // The picture: the lines so far and the wait, taken while the window waits for it.
  const char* shotPath = std::getenv("NAT_SLOW_SEQUENCE_SHOT");
  const bool canShoot = shotPath && std::system("command -v import >/dev/null 2>&1") == 0;
  if (canShoot) std::filesystem::remove(shotPath);
  std::thread shooter;
  PaintedThen shoot(f.StatusBar1->Panel(1), "Waiting for the echo of the INVITE to port 5058 (send 2 of 3)", [&] {
    if (canShoot)
      shooter = std::thread([path = std::string(shotPath), window = f.winId()] {
        const std::string cmd = "import -window " + std::to_string(window) + " '" + path + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
      });
  });

  pinger.Start();
  rig.ClickStart();
  const bool ended = rig.WaitSequence(60s);
  pinger.Stop();
  if (shooter.joinable()) shooter.join();
  ASSERT_TRUE(ended);
  EXPECT_EQ(f.LastReport.Outcome, TSequenceReport::TOutcome::Completed);
  EXPECT_EQ(Verdicts(f.MemoSIP), (std::vector<std::string>{kNoAlg5060, kNoAlg5058, kNoAlg5060, kNoAlg5058}));
  EXPECT_GE(pinger.Answered(), 50);  // one every 100 ms through about 17 s
  EXPECT_LT(pinger.Worst(), std::chrono::seconds(1))
      << "a ping waited " << std::chrono::duration_cast<std::chrono::milliseconds>(pinger.Worst()).count() << " ms";
  if (canShoot) {
    EXPECT_GT(std::filesystem::file_size(shotPath), 0u);
  }
}

}  // namespace
