// SIP over TCP as the echo server frames it: the messages are the same however the stream is
// cut into pieces, each is bounded and has the length its Content-Length names, and together
// they are the stream less the empty lines between them.
#include <string>
#include <vector>

#include "server/SipStream.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

struct TFramed {
  std::vector<std::string> messages;
  bool error = false;
  size_t left = 0;
};

TFramed Frame(const std::vector<std::string>& pieces, size_t bound) {
  TFramed out;
  TSipStreamFramer framer(bound);
  for (const std::string& piece : pieces) {
    framer.Feed(piece);
    std::string m;
    for (;;) {
      const auto next = framer.Next(m);
      if (next == TSipStreamFramer::TNext::Need) break;
      if (next == TSipStreamFramer::TNext::Error) {
        out.error = true;
        return out;
      }
      out.messages.push_back(m);
    }
  }
  out.left = framer.Buffered();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first byte picks the bound, the second where pieces are cut; the rest is the stream.
  const size_t bound = 64 + data[0] * 40;
  const size_t step = 1 + data[1] % 97;
  const std::string stream = fuzz::Text(data + 2, size - 2);

  const TFramed whole = Frame({stream}, bound);
  std::vector<std::string> pieces;
  for (size_t at = 0; at < stream.size(); at += step) pieces.push_back(stream.substr(at, step));
  const TFramed cut = Frame(pieces, bound);

  FUZZ_CHECK(whole.messages == cut.messages && whole.error == cut.error && whole.left == cut.left,
             "the pieces change nothing: the messages, the error, what waits");
  size_t pos = 0;
  for (const std::string& m : whole.messages) {
    FUZZ_CHECK(m.size() <= bound, "a message within the bound");
    const size_t head = m.find("\r\n\r\n");
    FUZZ_CHECK(head != std::string::npos, "a message has its empty line");
    const long long length = SipContentLength(std::string_view(m).substr(0, head + 2));
    FUZZ_CHECK(length >= -1, "a framed message has a readable length");
    FUZZ_CHECK(m.size() == head + 4 + static_cast<size_t>(length < 0 ? 0 : length), "the body is as long as named");
    while (pos < stream.size() && (stream[pos] == '\r' || stream[pos] == '\n')) ++pos;
    FUZZ_CHECK(stream.compare(pos, m.size(), m) == 0, "a message is the stream's next bytes");
    pos += m.size();
  }
  return 0;
}
