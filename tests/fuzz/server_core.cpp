// The echo server's connection core driven the way its peers drive it: connections whose bytes
// arrive in pieces of any size (sniffed, then greeted into a control session or served as HTTP
// with pipelined requests), interleaved with datagrams on the SIP ports from the sessions' peers
// and from strangers, with or without a session's token. Connections are admitted as the server
// admits them, to a server with room for kCapacity, and each step takes kStepMs.
//
// The input is a script of steps separated by '|', so that seeds stay readable:
//   t K bytes      bytes from the peer of connection slot K, read 4 KiB at a time as the socket
//                  reads them (a slot that is empty or closed gets a new connection from peer K)
//   f K B N        N * 32 copies of the byte B on slot K (reaches the read bounds from a short input)
//   n K P          a new connection from peer P in slot K; its peer closes the one there
//   x K            the peer of slot K closes it
//   d P S T bytes  a datagram on SIP port P (even 5060, odd 5058) from source S (0-3 the peers,
//                  4-7 strangers); its first '$' becomes the token of the T-th session greeted
//                  so far, open or closed
//   D P S T N bytes  the same, its bytes repeated to N * 256 bytes (past the echo's cap)
//   w N            N more steps of time pass (N modulo 16)
// K, P, S and T are taken modulo their range, so any byte will do.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "proto/XorUnit.h"
#include "server/ConnectionCore.h"
#include "server/ServerContext.h"
#include "server/SessionPolicy.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

constexpr size_t kSlots = 6;
constexpr uint32_t kPeers = 4, kSources = 8;
constexpr uint32_t kFirstPeer = 0x7F000001;      // 127.0.0.1: the peers' addresses follow it
constexpr uint32_t kFirstStranger = 0xC6336401;  // 198.51.100.1: no connection comes from these
constexpr size_t kReadSize = 4096;               // the most one read of a connection takes
constexpr size_t kMaxServerLine = 200;           // the server's line of an echo, at most
constexpr std::time_t kNow = 1700000000;
constexpr size_t kCapacity = 4;   // fewer than the slots: the server fills up
constexpr int kPrefixBits = 31;   // the peers .1, .2-.3 and .4 are three networks
constexpr size_t kProtectedPerNetwork = 1;
constexpr int kStepMs = 250;
const TEchoServerConfig kConfig;

const TServedList& List() {
  static const TServedList list{
      std::make_shared<const std::string>("Registry,Assignment,Organization Name\r\n"
                                          "MA-L,001122,Example Org\r\n"),
      kNow - 86400};
  return list;
}

uint32_t Address(uint32_t source) {
  return source < kPeers ? kFirstPeer + source : kFirstStranger + source - kPeers;
}

// One answer, everything in it that the cutting of the bytes must not change.
std::string Summary(const THttpAnswer& a) {
  return a.Head + "#" + (a.Body ? std::to_string(a.Body->size()) : "none") + "#" + a.What +
         (a.CloseAfter ? "#close" : "");
}

enum class TPhase { Sniffing, Control, Http, Closed };

struct TConn {
  TPhase Stage = TPhase::Sniffing;
  TAdmission::TId Id = 0;
  TServerTime Since;       // admitted
  bool Protected = false;  // as the admission register granted
  uint32_t Peer = 0;
  std::string In;  // every byte the peer sent while the server read
  std::string Token;
  std::optional<TControlInput> Input;
  size_t AfterGreeting = 0;
  std::optional<THttpCore> Http;
  std::vector<std::string> Answers;  // Summary of each HTTP answer
  TAddressFallback<std::string> Fallback{kConfig.AddressHoldMs, 8};
  bool HeardToken = false;  // a datagram with its token came
};

class THarness {
 public:
  void Step(const std::string& record);
  void Finish();

 private:
  TConn& Open(size_t slot, uint32_t peer);
  void Bytes(size_t slot, const std::string& bytes);
  void Read(TConn& c, std::string_view bytes);
  void Greet(TConn& c);
  void Serve(TConn& c);
  void Close(TConn& c);
  void Datagram(unsigned port, uint32_t source, std::string datagram);
  void Protect(TConn& c, bool want);
  void CheckAdmission(uint32_t peer, const TAdmission::TVerdict& verdict) const;
  void ReleaseHeld();
  void CheckRegister();

  TServerTime Now() const { return TServerTime() + std::chrono::milliseconds(step_ * kStepMs); }

  long step_ = 0;
  TAdmission::TId nextId_ = 1;
  TAdmission admission_{kCapacity, 0, kPrefixBits, kProtectedPerNetwork};
  std::unique_ptr<TConn> slots_[kSlots];
  std::vector<std::string> tokens_;  // every session's, in the order of their greetings
  std::vector<std::string> closedTokens_;  // of the sessions closed since the last check
  TSessionRegister<TConn> register_;
};

// A control connection's bytes, unscrambled, when they make exactly one zero-terminated frame.
std::string Frame(const std::string& sent) {
  const std::string frame = Scramble(sent);
  FUZZ_CHECK(!frame.empty() && frame.find('\0') == frame.size() - 1,
             "a frame ends with its only zero byte: " + Printable(frame));
  return frame;
}

void CheckAnswer(const THttpAnswer& a, const THttpCore& core) {
  const std::string& h = a.Head;
  const std::string status = std::to_string(a.Status);
  const size_t lineEnd = h.find("\r\n");
  FUZZ_CHECK(h.compare(0, 7, "HTTP/1.") == 0 && h.size() > 13 && h[8] == ' ' &&
                 h.compare(9, 3, status) == 0 && h[12] == ' ' && lineEnd != std::string::npos,
             "an answer opens with its status line: " + Printable(h));
  FUZZ_CHECK(h.find("\r\n\r\n") == h.size() - 4, "a head ends at its first empty line");
  FUZZ_CHECK(a.Status == 200 || a.Status == 400 || a.Status == 404 || a.Status == 405 ||
                 a.Status == 431,
             "a status the server knows: " + status);

  const std::string field = "\r\nContent-Length: ";
  const size_t at = h.find(field);
  FUZZ_CHECK(at != std::string::npos && h.find(field, at + 1) == std::string::npos,
             "one Content-Length: " + Printable(h));
  const std::string length = h.substr(at + field.size(), h.find("\r\n", at + 2) - at - field.size());
  const bool head = a.What.compare(0, 5, "HEAD ") == 0;
  FUZZ_CHECK(!a.Body == head, "a body exactly for a GET: " + a.What);
  const std::string errorText = h.substr(9, lineEnd - 9) + "\r\n";
  if (a.Status == 200) {
    FUZZ_CHECK(a.What == (head ? "HEAD" : "GET") + std::string(" /download/MAC.CSV 200"),
               "only the list is found: " + a.What);
    FUZZ_CHECK(!a.Body || a.Body == List().Body, "the list as served");
  } else if (a.Body) {
    FUZZ_CHECK(*a.Body == errorText, "an error's body is its status: " + Printable(*a.Body));
  }
  const size_t bodySize = a.Status == 200 ? List().Body->size() : errorText.size();
  FUZZ_CHECK(length == std::to_string(bodySize), "Content-Length " + Printable(length) +
                                                     " for a body of " + std::to_string(bodySize));

  FUZZ_CHECK(a.CloseAfter == fuzz::Contains(h, "\r\nConnection: close\r\n"),
             "the head says whether the connection ends");
  if (a.Status == 400 || a.Status == 431) FUZZ_CHECK(a.CloseAfter, "a request not understood ends it");
  if (a.Status == 431) FUZZ_CHECK(core.Buffered() >= kConfig.MaxHttpHead, "too large only past the bound");
}

// What a newcomer from `peer` meets, against the open connections themselves: while there is
// room it is admitted; when the server is full, it takes the place held longest among the
// unprotected ones of the fullest networks that have one, if that network holds more than its
// own; else it is refused. No network holds more protected places than its share.
void THarness::CheckAdmission(uint32_t peer, const TAdmission::TVerdict& verdict) const {
  auto network = [](uint32_t address) { return address >> (32 - kPrefixBits); };
  std::map<uint32_t, size_t> perNetwork;
  size_t open = 0;
  const TConn* victim = nullptr;
  for (const auto& c : slots_) {
    if (!c || c->Stage == TPhase::Closed) continue;
    ++open;
    ++perNetwork[network(c->Peer)];
    if (verdict.Evict && c->Id == *verdict.Evict) victim = c.get();
  }
  FUZZ_CHECK(open == admission_.Size() && open <= kCapacity, "no more connections than there is room for");
  std::map<uint32_t, size_t> protectedPerNetwork;
  for (const auto& c : slots_)
    if (c && c->Stage != TPhase::Closed && c->Protected) ++protectedPerNetwork[network(c->Peer)];
  for (const auto& [net, n] : protectedPerNetwork) FUZZ_CHECK(n <= kProtectedPerNetwork, "protection within the share");
  // The fullest of the networks with a place that may be taken.
  size_t fullest = 0;
  for (const auto& c : slots_)
    if (c && c->Stage != TPhase::Closed && !c->Protected) fullest = std::max(fullest, perNetwork[network(c->Peer)]);
  const size_t own = perNetwork[network(peer)];
  if (open < kCapacity) {
    FUZZ_CHECK(verdict.Admit && !verdict.Evict, "admitted while there is room");
    return;
  }
  if (!verdict.Admit) {
    FUZZ_CHECK(own >= fullest, "refused only when its own network holds the most takeable");
    return;
  }
  FUZZ_CHECK(victim != nullptr, "a full server makes room by closing an open connection");
  FUZZ_CHECK(!victim->Protected, "a protected place is never taken");
  const size_t victims = perNetwork[network(victim->Peer)];
  FUZZ_CHECK(victims == fullest && victims > own, "the room comes from a fullest network, fuller than its own");
  for (const auto& c : slots_) {
    if (!c || c->Stage == TPhase::Closed || c->Protected || perNetwork[network(c->Peer)] != fullest) continue;
    FUZZ_CHECK(c->Since >= victim->Since, "the place held longest of the fullest networks gives way");
  }
}

TConn& THarness::Open(size_t slot, uint32_t peer) {
  if (slots_[slot]) Close(*slots_[slot]);
  const TAdmission::TVerdict verdict = admission_.Decide(peer);
  CheckAdmission(peer, verdict);
  if (verdict.Evict)
    for (auto& c : slots_)
      if (c && c->Stage != TPhase::Closed && c->Id == *verdict.Evict) Close(*c);
  slots_[slot] = std::make_unique<TConn>();
  TConn& c = *slots_[slot];
  c.Peer = peer;
  if (verdict.Admit) {
    c.Id = nextId_++;
    c.Since = Now();
    admission_.Add(c.Id, peer, c.Since);
  } else {
    c.Stage = TPhase::Closed;  // told that the server is busy, and closed
    FUZZ_CHECK(Scramble(BusyAnswer()) == std::string("@5060\0busy\0", 11), "the busy answer");
  }
  return c;
}

void THarness::Protect(TConn& c, bool want) { c.Protected = admission_.Protect(c.Id, want); }

// Datagrams held by address come out after their hold, and only to a session that has not heard
// its token.
void THarness::ReleaseHeld() {
  for (auto& c : slots_) {
    if (!c || c->Stage != TPhase::Control) continue;
    const auto released = c->Fallback.TakeDue(Now());
    FUZZ_CHECK(released.empty() || !c->HeardToken, "nothing by address after the token");
  }
}

void THarness::Bytes(size_t slot, const std::string& bytes) {
  TConn* c = slots_[slot].get();
  if (!c || c->Stage == TPhase::Closed) c = &Open(slot, kFirstPeer + slot % kPeers);
  if (c->Stage == TPhase::Closed) return;  // refused
  for (size_t at = 0; at < bytes.size() && c->Stage != TPhase::Closed; at += kReadSize)
    Read(*c, std::string_view(bytes).substr(at, kReadSize));
}

void THarness::Read(TConn& c, std::string_view bytes) {
  c.In.append(bytes);
  switch (c.Stage) {
    case TPhase::Sniffing: {
      const TConnectionKind kind = SniffConnection(c.In);
      if (kind == TConnectionKind::Undecided) {
        FUZZ_CHECK(c.In.size() < kControlGreeting.size(), "undecided within a greeting's bytes");
        return;
      }
      // What the first bytes decided, the bytes after them do not change.
      for (size_t n = 1; n <= c.In.size(); n = n < 16 ? n + 1 : c.In.size()) {
        const TConnectionKind early = SniffConnection(std::string_view(c.In).substr(0, n));
        FUZZ_CHECK(early == TConnectionKind::Undecided || early == kind, "one decision per connection");
        if (n == c.In.size()) break;
      }
      if (kind == TConnectionKind::Unknown) {
        Close(c);
      } else if (kind == TConnectionKind::Control) {
        Greet(c);
      } else {
        c.Stage = TPhase::Http;
        c.Http.emplace(kConfig.MaxHttpHead, List());
        c.Http->Feed(c.In);
        Serve(c);
      }
      return;
    }
    case TPhase::Control: {
      c.AfterGreeting += bytes.size();
      const bool kept = c.Input->Take(bytes.size());
      FUZZ_CHECK(kept == (c.AfterGreeting <= kConfig.MaxInputAfterGreeting),
                 "cut off exactly past the bound after the greeting");
      if (!kept) {
        FUZZ_CHECK(!c.Input->Take(0), "a peer cut off stays cut off");
        Close(c);
      }
      return;
    }
    case TPhase::Http:
      c.Http->Feed(bytes);
      Serve(c);
      return;
    case TPhase::Closed:
      return;
  }
}

void THarness::Greet(TConn& c) {
  c.Stage = TPhase::Control;
  Protect(c, true);  // through its checks
  const unsigned n = static_cast<unsigned>(tokens_.size()) + 1;
  char token[33];
  std::snprintf(token, sizeof token, "%08x%08x%08x%08x", n, n * 2654435761u, ~n, n ^ 0x5a5a5a5au);
  c.Token = token;
  tokens_.push_back(c.Token);
  register_.Add(c.Token, c.Peer, &c);
  FUZZ_CHECK(Frame(GreetingAnswer(c.Token)) == c.Token + "@5060" + '\0', "the greeting's answer");
  c.Input.emplace(kConfig.MaxInputAfterGreeting);
  const std::string rest = c.In.substr(kControlGreeting.size());
  c.In.resize(kControlGreeting.size());
  Read(c, rest);
}

void THarness::Serve(TConn& c) {
  while (auto a = c.Http->Next(kNow)) {
    CheckAnswer(*a, *c.Http);
    c.Answers.push_back(Summary(*a));
    if (a->CloseAfter) {
      FUZZ_CHECK(c.Http->Ended(), "the core knows it ended the connection");
      c.Http->Feed("GET /download/MAC.CSV HTTP/1.1\r\n\r\n");
      FUZZ_CHECK(!c.Http->Next(kNow), "nothing answered after the end, pipelined or not");
      Close(c);
      return;
    }
  }
  FUZZ_CHECK(c.Http->Buffered() < kConfig.MaxHttpHead, "an unfinished head held within the bound");
}

void THarness::Close(TConn& c) {
  if (c.Stage != TPhase::Closed) admission_.Remove(c.Id);
  if (c.Stage == TPhase::Control) {
    register_.Remove(c.Token, c.Peer, &c);
    closedTokens_.push_back(c.Token);
  }
  if (c.Stage == TPhase::Http) {
    // The same bytes in one piece get the same answers.
    THttpCore whole(kConfig.MaxHttpHead, List());
    whole.Feed(c.In);
    std::vector<std::string> answers;
    while (auto a = whole.Next(kNow)) answers.push_back(Summary(*a));
    FUZZ_CHECK(answers == c.Answers, "the answers do not depend on how the bytes were cut");
  }
  c.Stage = TPhase::Closed;
}

void THarness::Datagram(unsigned port, uint32_t source, std::string datagram) {
  const uint32_t from = Address(source);
  // Which session the datagram belongs to, from the open connections themselves.
  const std::string token = CallIdToken(datagram);
  TConn* expected = nullptr;
  bool expectedByToken = false;
  size_t fromPeer = 0;
  TConn* ofPeer = nullptr;
  for (const auto& c : slots_) {
    if (!c || c->Stage != TPhase::Control) continue;
    if (!token.empty() && c->Token == token) {
      expected = c.get();
      expectedByToken = true;
    }
    if (c->Peer == from) ++fromPeer, ofPeer = c.get();
  }
  if (!expected && fromPeer == 1) expected = ofPeer;

  bool byToken = false;
  TConn* found = register_.Find(datagram, from, byToken);
  FUZZ_CHECK(found == expected && byToken == expectedByToken,
             "the datagram's session: open, by its token, else the only one of its source");
  if (!found) return;  // dropped: nothing goes back, by UDP or otherwise
  if (byToken) {
    found->Fallback.OnToken();
    found->HeardToken = true;
  } else if (!found->Fallback.Offer(datagram, Now())) {
    return;  // the session heard its token, or holds enough: dropped
  } else {
    FUZZ_CHECK(!found->HeardToken, "a session that heard its token takes nothing by address");
  }
  if (!found->Protected) Protect(*found, true);  // asked again as its test goes on

  const std::string sender = EndpointText(from, static_cast<uint16_t>(5062 + source));
  const std::string frame = Frame(EchoFrame(datagram, port, sender, byToken));
  const size_t lineEnd = frame.find("\r\n");
  FUZZ_CHECK(lineEnd != std::string::npos && lineEnd <= kMaxServerLine, "the server's line");
  const std::string line = frame.substr(0, lineEnd);
  FUZZ_CHECK(line.substr(0, line.find(" (")) == "Received " + std::to_string(datagram.size()) +
                                                     " bytes on UDP port " + std::to_string(port) +
                                                     " from " + sender,
             "the server's line says size, port and sender: " + line);
  const std::string text = datagram.substr(0, datagram.find('\0'));
  const bool cut = text.size() > kMaxEchoText;
  FUZZ_CHECK(frame.substr(lineEnd + 2, frame.size() - lineEnd - 3) == text.substr(0, kMaxEchoText),
             "the echo is the datagram's text up to its first zero byte and the cap");
  FUZZ_CHECK(fuzz::Contains(line, "(echo cut at") == cut, "the line says when the echo was cut");
  FUZZ_CHECK(fuzz::Contains(line, "(Call-ID not recognised") == !byToken, "the line says how it matched");
}

// The register holds exactly the open control sessions: a closed one is found by nothing.
void THarness::CheckRegister() {
  for (const auto& c : slots_)
    if (c && c->Stage == TPhase::Control) FUZZ_CHECK(register_.HasToken(c->Token), "an open session's token");
  for (const std::string& token : closedTokens_)
    FUZZ_CHECK(!register_.HasToken(token), "a closed session's token is nobody's");
  closedTokens_.clear();
}

void THarness::Step(const std::string& record) {
  if (record.size() < 2) return;
  auto arg = [&](size_t i) { return static_cast<unsigned char>(record[i]); };
  const size_t slot = arg(1) % kSlots;
  switch (record[0]) {
    case 't':
      Bytes(slot, record.substr(2));
      break;
    case 'f':
      if (record.size() >= 4) Bytes(slot, std::string(arg(3) * 32u, record[2]));
      break;
    case 'n':
      if (record.size() >= 3) Open(slot, kFirstPeer + arg(2) % kPeers);
      break;
    case 'x':
      if (slots_[slot]) Close(*slots_[slot]);
      break;
    case 'w':
      step_ += arg(1) % 16;  // time passes
      break;
    case 'd':
    case 'D': {
      const size_t start = record[0] == 'd' ? 4 : 5;
      if (record.size() <= start) break;
      std::string datagram = record.substr(start);
      if (const size_t at = datagram.find('$'); at != std::string::npos && !tokens_.empty())
        datagram.replace(at, 1, tokens_[arg(3) % tokens_.size()]);
      if (const size_t size = record[0] == 'D' ? arg(4) * 256u : 0; size > 0) {
        while (datagram.size() < size) datagram += datagram;
        datagram.resize(size);
      }
      Datagram(arg(1) % 2 ? 5058 : 5060, arg(2) % kSources, std::move(datagram));
      break;
    }
  }
  ++step_;
  ReleaseHeld();
  CheckRegister();
}

void THarness::Finish() {
  for (auto& c : slots_)
    if (c) Close(*c);
  CheckRegister();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  THarness harness;
  for (const std::string& record : fuzz::Split(fuzz::Text(data, size), '|', size + 1)) harness.Step(record);
  harness.Finish();
  return 0;
}
