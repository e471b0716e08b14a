// What arrives on the echo server's control port as an HTTP request: the request head, as a
// whole and as the pieces in which it may arrive, under the server's limit and a small one.
#include <cctype>
#include <string>
#include <string_view>

#include "server/HttpMessage.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

void CheckHead(std::string_view buffer, size_t maxHead) {
  THttpRequest request;
  size_t length = 0;
  const THttpParse result = ParseHttpRequest(buffer, maxHead, request, &length);
  if (result == THttpParse::TooLarge) FUZZ_CHECK(buffer.size() >= maxHead, "too large only past the limit");
  if (result == THttpParse::Incomplete) FUZZ_CHECK(buffer.size() < maxHead, "waiting only below the limit");
  if (result != THttpParse::Complete) return;

  FUZZ_CHECK(length >= 1 && length <= buffer.size() && length <= maxHead, "a head lies within the bytes and the limit");
  FUZZ_CHECK(buffer[length - 1] == '\n', "a head ends with a line end");
  FUZZ_CHECK(!request.Method.empty() && request.Method.find(' ') == std::string::npos, "a method is one word");
  FUZZ_CHECK(!request.Target.empty() && request.Target[0] == '/' &&
                 request.Target.find_first_of(" ?#") == std::string::npos,
             "a target is a path: " + request.Target);
  FUZZ_CHECK(request.Minor >= 0 && request.Minor <= 9, "HTTP/1.x");
  if (request.Minor == 0 && request.KeepAlive) {
    std::string head(buffer.substr(0, length));
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    FUZZ_CHECK(fuzz::Contains(head, "keep-alive"), "HTTP/1.0 keeps the connection only when asked to");
  }

  // The head alone decides, and every shorter piece of it waits for more.
  THttpRequest again;
  size_t againLength = 0;
  FUZZ_CHECK(ParseHttpRequest(buffer.substr(0, length), maxHead, again, &againLength) == THttpParse::Complete &&
                 againLength == length && again.Method == request.Method && again.Target == request.Target &&
                 again.Minor == request.Minor && again.KeepAlive == request.KeepAlive && again.HasBody == request.HasBody,
             "what follows a head changes nothing in it");
  for (size_t piece : {length - 1, length / 2}) {
    THttpRequest part;
    size_t partLength = 0;
    FUZZ_CHECK(ParseHttpRequest(buffer.substr(0, piece), maxHead, part, &partLength) == THttpParse::Incomplete,
               "a head cut short waits for the rest");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view buffer(reinterpret_cast<const char*>(data), size);
  CheckHead(buffer, 8192);
  CheckHead(buffer, 64);
  return 0;
}
