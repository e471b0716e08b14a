// SIP over TCP as the echo server frames it: by Content-Length, in pieces or several at once,
// bounded, and a Content-Length that lies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/SipStream.h"

namespace {

std::string Message(const std::string& body, const std::string& lengthLine) {
  return "INVITE sip:1@example.net SIP/2.0\r\nCall-ID:tok@10.0.0.2\r\n" + lengthLine + "\r\n\r\n" + body;
}
std::string Message(const std::string& body) {
  return Message(body, "Content-Length: " + std::to_string(body.size()));
}

TEST(SipStream, frames_messages_by_their_content_length) {
  const std::string a = Message("v=0\r\nm=audio 7006 RTP/AVP 8\r\n");
  const std::string b = Message("");
  const std::string compact = Message("xyz", "l:3");
  const std::string noLength = "REGISTER sip:example.net SIP/2.0\r\nCall-ID:t@h\r\n\r\n";
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    std::vector<std::string> messages;
    bool error;
    size_t left;  // bytes still waiting afterwards
  };
  const Case cases[] = {
      {"one message in one piece", {a}, {a}, false, 0},
      {"two in one piece", {a + b}, {a, b}, false, 0},
      {"a message in pieces, cut in its head and in its body",
       {a.substr(0, 10), a.substr(10, 40), a.substr(50, 20), a.substr(70)}, {a}, false, 0},
      {"keep-alive line ends before and between messages", {"\r\n\r\n" + b + "\r\n", a}, {b, a}, false, 0},
      {"compact name, any letter case", {compact, Message("", "CONTENT-LENGTH :  0 ")}, {compact, Message("", "CONTENT-LENGTH :  0 ")}, false, 0},
      {"no Content-Length: no body", {noLength}, {noLength}, false, 0},
      {"a Content-Length that promises more waits for it", {Message("ab", "Content-Length: 5")}, {}, false,
       Message("ab", "Content-Length: 5").size()},
      {"a Content-Length that promises less leaves the rest as the next message's start",
       {Message("abcdef", "Content-Length: 2")}, {Message("ab", "Content-Length: 2")}, false, 4},
      {"a Content-Length past the bound", {Message("", "Content-Length: 9000")}, {}, true, 0},
      {"a Content-Length that is no number", {Message("", "Content-Length: 1x")}, {}, true, 0},
      {"two Content-Lengths that differ", {Message("", "Content-Length: 0\r\nl: 4")}, {}, true, 0},
      {"a head past the bound without its end", {std::string(8193, 'a')}, {}, true, 0},
      {"a message of exactly the bound", {Message(std::string(8192 - Message("", "Content-Length: 8xxx").size(), 'b'))},
       {Message(std::string(8192 - Message("", "Content-Length: 8xxx").size(), 'b'))}, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TSipStreamFramer framer;
    std::vector<std::string> got;
    bool error = false;
    for (const std::string& piece : c.pieces) {
      framer.Feed(piece);
      std::string m;
      for (int i = 0; i < 10; ++i) {
        const auto next = framer.Next(m);
        if (next == TSipStreamFramer::TNext::Need) break;
        if (next == TSipStreamFramer::TNext::Error) {
          error = true;
          EXPECT_FALSE(framer.Why().empty());
          break;
        }
        got.push_back(m);
      }
    }
    EXPECT_EQ(got, c.messages);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(framer.Buffered(), c.left);
  }
}

}  // namespace
