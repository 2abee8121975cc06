#include <string>

#include "relay.h"
#include "test_support.h"

namespace karvo::safari {
namespace {

class TraceLog : public test::SafariTest {
 protected:
  // The line traced for the request and reply given as JSON text; "" when nothing was logged.
  std::string traced(const char* requestText, const char* replyText) {
    log_->clear();
    Relay::trace(Json::parse(requestText), Json::parse(replyText));
    const auto entries = log_->entries();
    EXPECT_LE(entries.size(), 1U);
    return entries.empty() ? std::string() : entries.front();
  }
};

TEST_F(TraceLog, WritesOneInfoLinePerRequest) {
  struct Case {
    const char* request;
    const char* reply;
    const char* line;
  };
  const Case cases[] = {
      // The three lines the trace is known by.
      {R"({"op":"send","msg":{"type":"T","source":"S","id":"I","other":"x"},"hello":{"type":"hello"}})",
       R"({"ok":true,"messages":[{"type":"U","id":"J","accepted":true},
                                 {"type":"V","accepted":false,"reason":"R"}]})",
       "info: send [T S I] → ok [U J accepted, V declined(R)]"},
      {R"({"op":"send","msg":{"type":"T"}})", R"({"ok":false,"error":"E","messages":[]})",
       "info: send [T] → failed(E) []"},
      {R"({"op":"poll"})", R"({"ok":true,"messages":[{"type":"U"}]})", "info: poll [] → ok [U]"},
      // Without a string "op" a request is traced as a send.
      {R"({})", R"({"ok":true,"messages":[]})", "info: send [] → ok []"},
      {R"({"op":5,"msg":{"id":"7"}})", R"({"ok":true,"messages":[]})", "info: send [7] → ok []"},
      // Label: only the strings among "type", "source" and "id", in that order.
      {R"({"msg":{"id":"i","source":"s","type":3}})", R"({"ok":true,"messages":[]})",
       "info: send [s i] → ok []"},
      {R"({"msg":{"type":"","source":"s"}})", R"({"ok":true,"messages":[]})", "info: send [ s] → ok []"},
      {R"({"msg":"text"})", R"({"ok":true,"messages":[]})", "info: send [] → ok []"},
      // Summary entries.
      {R"({"op":"send"})", R"({"ok":true,"messages":[{"id":"x"},{"type":"a","accepted":false}]})",
       "info: send [] → ok [? x, a declined()]"},
      {R"({"op":"send"})",
       R"({"ok":true,"messages":[{"type":"a","accepted":1},{"type":"b","accepted":0,"reason":5},
                                 {"type":"c","accepted":"yes"},{"type":"d","id":9,"accepted":2}]})",
       "info: send [] → ok [a accepted, b declined(), c, d]"},
      // A "messages" array with anything but objects counts as none.
      {R"({"op":"send"})", R"({"ok":true,"messages":[{"type":"a"},3]})", "info: send [] → ok []"},
      // Result.
      {R"({"op":"close"})", R"({"ok":1,"messages":[]})", "info: close [] → ok []"},
      {R"({"op":"close"})", R"({"ok":false,"messages":[]})", "info: close [] → failed() []"},
      {R"({"op":"close"})", R"({"messages":[]})", "info: close [] → failed() []"},
      {R"({"op":"close"})", R"({"ok":"true","error":7})", "info: close [] → failed() []"},
      // Control characters in any value are written escaped: one request is always one line.
      {R"({"op":"se\nnd","msg":{"type":"T\ninfo: send [x] → ok []","id":"\u001b[2K\u007f"}})",
       R"({"ok":false,"error":"E\r","messages":[{"type":"U\t","accepted":false,"reason":"\u0000"}]})",
       R"(info: se\nnd [T\ninfo: send [x] → ok [] \x1b[2K\x7f] → failed(E\r) [U\t declined(\x00)])"},
  };
  for (const Case& c : cases) EXPECT_EQ(traced(c.request, c.reply), c.line) << c.request << " " << c.reply;
}

TEST_F(TraceLog, IdlePollsAreNotTraced) {
  struct Case {
    const char* request;
    const char* reply;
    bool logged;
  };
  const Case cases[] = {
      {R"({"op":"poll"})", R"({"ok":true,"messages":[]})", false},
      {R"({"op":"poll"})", R"({"ok":true})", false},
      {R"({})", R"({})", true},  // not a poll
      {R"({"op":"poll"})", R"({})", false},
      {R"({"op":"poll"})", R"({"ok":"no","messages":"none"})", false},
      {R"({"op":"poll"})", R"({"ok":true,"messages":[3]})", false},
      {R"({"op":"poll"})", R"({"ok":true,"messages":[{"type":"U"}]})", true},
      {R"({"op":"poll"})", R"({"ok":false,"error":"E","messages":[]})", true},
      {R"({"op":"poll"})", R"({"ok":0,"messages":[]})", true},
      {R"({"op":"Poll"})", R"({"ok":true,"messages":[]})", true},
      {R"({"op":"poll "})", R"({"ok":true,"messages":[]})", true},
      {R"({"op":"fetch"})", R"({"ok":true,"messages":[]})", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(!traced(c.request, c.reply).empty(), c.logged) << c.request << " " << c.reply;
  }
  EXPECT_EQ(traced(R"({"op":"poll"})", R"({"ok":false,"error":"E","messages":[]})"),
            "info: poll [] → failed(E) []");
}

}  // namespace
}  // namespace karvo::safari
