// Decoding one line of the client's side into what the server does with it.
#include "mcp/jsonrpc.h"

#include <gtest/gtest.h>

#include <string>

namespace qcu::mcp {
namespace {

using Kind = Incoming::Kind;

struct Case {
  const char* why;
  std::string line;
  Kind kind;
  int code;  // for Invalid
  json id;   // the id answered with
};

TEST(DecodeMessage, EachLineIsARequestANotificationIgnoredOrRefusedWithItsCode) {
  const std::string deep = std::string(64, '[') + std::string(64, ']');
  const std::string tooDeep = std::string(65, '[') + std::string(65, ']');
  const Case cases[] = {
      {"request", R"({"jsonrpc":"2.0","id":7,"method":"ping"})", Kind::Request, 0, 7},
      {"string id", R"({"jsonrpc":"2.0","id":"a","method":"ping","params":{}})", Kind::Request, 0,
       "a"},
      {"null params count as none", R"({"jsonrpc":"2.0","id":1,"method":"x","params":null})",
       Kind::Request, 0, 1},
      {"notification", R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
       Kind::Notification, 0, nullptr},
      {"response from the client", R"({"jsonrpc":"2.0","id":3,"result":{}})", Kind::Ignored, 0,
       nullptr},
      {"notification with bad params", R"({"jsonrpc":"2.0","method":"x","params":[1]})",
       Kind::Ignored, 0, nullptr},
      {"not JSON", "{\"jsonrpc\":", Kind::Invalid, PARSE_ERROR, nullptr},
      {"invalid UTF-8 in a string", "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"\xC3\x28\"}",
       Kind::Invalid, PARSE_ERROR, nullptr},
      // The library reads a NUL byte as the end of its input: what follows must not hide.
      {"NUL then garbage", std::string(R"({"jsonrpc":"2.0","id":1,"method":"ping"})") + '\0' + "x",
       Kind::Invalid, PARSE_ERROR, nullptr},
      {"NUL then a second message",
       std::string(R"({"jsonrpc":"2.0","id":1,"method":"ping"})") + '\0' +
           R"({"jsonrpc":"2.0","id":2,"method":"ping"})",
       Kind::Invalid, PARSE_ERROR, nullptr},
      {"a bare scalar", "42", Kind::Invalid, INVALID_REQUEST, nullptr},
      {"a batch", R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", Kind::Invalid, INVALID_REQUEST,
       nullptr},
      {"64 levels", deep, Kind::Invalid, INVALID_REQUEST, nullptr},
      {"65 levels", tooDeep, Kind::Invalid, PARSE_ERROR, nullptr},
      {"wrong version keeps the id", R"({"jsonrpc":"1.0","id":5,"method":"ping"})", Kind::Invalid,
       INVALID_REQUEST, 5},
      {"no version", R"({"id":5,"method":"ping"})", Kind::Invalid, INVALID_REQUEST, 5},
      {"fractional id", R"({"jsonrpc":"2.0","id":1.5,"method":"ping"})", Kind::Invalid,
       INVALID_REQUEST, nullptr},
      {"null id", R"({"jsonrpc":"2.0","id":null,"method":"ping"})", Kind::Invalid, INVALID_REQUEST,
       nullptr},
      {"object id", R"({"jsonrpc":"2.0","id":{},"method":"ping"})", Kind::Invalid, INVALID_REQUEST,
       nullptr},
      {"no method", R"({"jsonrpc":"2.0","id":2})", Kind::Invalid, INVALID_REQUEST, 2},
      {"method not a string", R"({"jsonrpc":"2.0","id":2,"method":1})", Kind::Invalid,
       INVALID_REQUEST, 2},
      {"params an array", R"({"jsonrpc":"2.0","id":2,"method":"x","params":[]})", Kind::Invalid,
       INVALID_PARAMS, 2},
      {"params a string", R"({"jsonrpc":"2.0","id":2,"method":"x","params":"p"})", Kind::Invalid,
       INVALID_REQUEST, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    Incoming in = decodeMessage(c.line);
    EXPECT_EQ(in.kind, c.kind);
    EXPECT_EQ(in.id, c.id);
    if (c.kind == Kind::Invalid) {
      EXPECT_EQ(in.errorCode, c.code);
    } else if (c.kind != Kind::Ignored) {
      EXPECT_TRUE(in.params.is_object());
    }
  }
}

TEST(DecodeMessage, LargeIntegerIdsAreEchoedExactly) {
  Incoming in = decodeMessage(R"({"jsonrpc":"2.0","id":18446744073709551615,"method":"ping"})");
  ASSERT_EQ(in.kind, Kind::Request);
  EXPECT_EQ(resultMessage(in.id, json::object()).dump(),
            R"({"id":18446744073709551615,"jsonrpc":"2.0","result":{}})");
}

TEST(EncodeLine, IsOneLineAndReplacesInvalidUtf8InsteadOfThrowing) {
  const std::string line = encodeLine(errorMessage(1, INTERNAL_ERROR, "bad \xFF byte\nnext"));
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  EXPECT_NE(json::parse(line)["error"]["message"].get<std::string>().find("\xEF\xBF\xBD"),
            std::string::npos);
}

}  // namespace
}  // namespace qcu::mcp
