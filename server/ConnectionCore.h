#pragma once
// The transport-free heart of a connection to the control port: bytes in, bytes and actions
// out. The socket code (Sniffer, ControlSession, HttpSession) only moves bytes and runs timers;
// every decision about what the peer sent and what goes back is made here.
//
//   first bytes --SniffConnection--> Control: GreetingAnswer (BusyAnswer when the server is
//                                    full and the newcomer may not take another's place,
//                                    SessionPolicy.h), then TControlInput for what
//                                    follows; EchoFrame for each datagram of the session;
//                                    NatReportText for each report datagram; TextFrame
//                                    for the call's report
//                                --> Http: THttpCore
//                                --> Unknown: closed
//   a datagram on a SIP port      --TSessionRegister::Find--> the control session it belongs
//                                    to, or none (dropped, nothing sent back)
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "server/SipParse.h"

// The greeting that opens a control session: "GET 5060" and a zero byte. (Named apart from
// the tester's kGreeting: the tests link both into one program.)
extern const std::string_view kControlGreeting;

enum class TConnectionKind { Undecided, Control, Http, Unknown };

// What the first bytes of a connection say it is; Undecided while they are a proper prefix of
// something known.
TConnectionKind SniffConnection(std::string_view firstBytes);

// The answer to a greeting: the token, "@5060" and a zero byte, all scrambled.
std::string GreetingAnswer(std::string_view token);

// The answer to a greeting that the server cannot serve (it is full): an empty token, which it
// never sends otherwise and which an older tester reads as a failed greeting, then kBusyNotice
// and a zero byte as one more frame, all scrambled. The connection closes after it.
extern const std::string_view kBusyNotice;
std::string BusyAnswer();

// The answer to an HTTP request that the server cannot serve: 503, closing.
std::string HttpBusyAnswer(std::time_t now);

// What a control peer sends after its greeting. The tester sends nothing; anything more is
// counted, and past the bound the session ends.
class TControlInput {
 public:
  explicit TControlInput(size_t maxBytes) : max_(maxBytes) {}
  // Takes n more bytes; false once they are more than the bound.
  bool Take(size_t n) {
    taken_ += n;
    return taken_ <= max_;
  }

 private:
  size_t max_;
  size_t taken_ = 0;
};

// The longest text of one datagram echoed on the control connection: the largest a UDP datagram
// carries. A bigger message is cut here, and the server's line says so.
constexpr size_t kMaxEchoText = 65507;

// One echo frame, scrambled: the server's line (size, transport and port, sender, and whatever
// was cut) with CR LF, the datagram's (or TCP message's) text up to its first zero byte and at
// most kMaxEchoText bytes, and a zero byte.
std::string EchoFrame(std::string_view datagram, unsigned serverPort, std::string_view sender,
                      bool matchedByToken, bool overTcp = false);

// A text of the server's own on the control connection (the call's report), as one frame: the
// text and a zero byte, scrambled.
std::string TextFrame(std::string_view text);

// The greeted control sessions, by token and by peer address: what finds the session of a
// datagram. Session is the connection class; the register only keeps pointers to it.
template <typename Session>
class TSessionRegister {
 public:
  void Add(const std::string& token, uint32_t peer, Session* s) {
    byToken_[token] = s;
    byPeer_[peer].push_back(s);
  }
  void Remove(const std::string& token, uint32_t peer, const Session* s) {
    if (auto it = byToken_.find(token); it != byToken_.end() && it->second == s) byToken_.erase(it);
    if (auto it = byPeer_.find(peer); it != byPeer_.end()) {
      std::erase(it->second, s);
      if (it->second.empty()) byPeer_.erase(it);
    }
  }
  bool HasToken(const std::string& token) const { return byToken_.count(token) > 0; }
  // The session a datagram belongs to: the one whose token its Call-ID holds, else the only
  // session of its source address (a router may have rewritten the Call-ID). Null: none, and
  // nothing is ever sent back for it.
  Session* Find(std::string_view datagram, uint32_t from, bool& matchedByToken) const {
    matchedByToken = false;
    const std::string token = CallIdToken(datagram);
    if (auto it = byToken_.find(token); !token.empty() && it != byToken_.end()) {
      matchedByToken = true;
      return it->second;
    }
    if (auto it = byPeer_.find(from); it != byPeer_.end() && it->second.size() == 1)
      return it->second.front();
    return nullptr;
  }
  Session* FindByTokenText(const std::string& token) const {
    auto it = byToken_.find(token);
    return it == byToken_.end() ? nullptr : it->second;
  }
  // The session whose token the message's Call-ID holds; null: none.
  Session* FindByToken(std::string_view message) const {
    const std::string token = CallIdToken(message);
    auto it = byToken_.find(token);
    return token.empty() || it == byToken_.end() ? nullptr : it->second;
  }

 private:
  std::unordered_map<std::string, Session*> byToken_;
  std::unordered_map<uint32_t, std::vector<Session*>> byPeer_;
};

// The text of one NAT session report datagram.
std::string NatReportText(long long sentAfterMs, std::optional<int> nextMs);

// The vendor list as served: body, its time and its type.
struct TServedList {
  std::shared_ptr<const std::string> Body;  // null: none (404)
  std::time_t LastModified = 0;
};

// The content type of the vendor list.
extern const char kMacListContentType[];

// One answer of the HTTP side.
struct THttpAnswer {
  std::string Head;
  std::shared_ptr<const std::string> Body;  // null for HEAD
  bool CloseAfter = false;
  int Status = 0;
  std::string What;  // for the log: method, target and status, made printable
};

// The HTTP side of one connection: takes the bytes as they come and answers each complete
// request in turn.
class THttpCore {
 public:
  THttpCore(size_t maxHead, TServedList list) : maxHead_(maxHead), list_(std::move(list)) {}
  void Feed(std::string_view bytes) { in_.append(bytes); }
  // The answer to the next complete request, or nothing while the head is incomplete or after
  // an answer that ends the connection.
  std::optional<THttpAnswer> Next(std::time_t now);
  // No further request is read: the last answer ended the connection.
  bool Ended() const { return ended_; }
  size_t Buffered() const { return in_.size(); }

 private:
  THttpAnswer Answer(int status, const char* reason, std::string_view method, int minor,
                     bool keepAlive, std::string what, std::time_t now);
  size_t maxHead_;
  TServedList list_;
  std::string in_;
  bool ended_ = false;
};

// Text from a peer made fit for a log line: at most max bytes, anything but printable ASCII as
// "?", so that no peer can forge lines or drive a terminal.
std::string Printable(std::string_view text, size_t max = 80);
