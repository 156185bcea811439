// The dispatcher's checks in their order, the duplicate memory, and the field readers.
#include <gtest/gtest.h>

#include <string>

#include "foundation/errors.h"
#include "runtime/dispatch.h"
#include "support/harness.h"

namespace qcu {
namespace {

using test::Json;

// A request whose id holds a raw NUL byte, which JSON does not allow unescaped.
std::string withNul() {
  std::string line = R"({"v":1,"requestId":"a)";
  line.push_back('\0');
  return line + R"(b","type":"ping"})";
}

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override { test::resetHarness(); }

  // Sends one line and returns the one message it produced.
  Json answer(const std::string& line) {
    test::sendLine(line);
    auto messages = test::takeMessages();
    EXPECT_EQ(messages.size(), 1u) << line;
    return messages.empty() ? Json() : messages.front();
  }

  static void expectError(const Json& message, const std::string& requestId,
                          const std::string& code, const std::string& text) {
    EXPECT_EQ(message, (Json{{"v", 1},
                             {"type", "error"},
                             {"requestId", requestId},
                             {"ok", false},
                             {"code", code},
                             {"message", text}}));
  }
};

TEST_F(DispatchTest, PingAnswersWithOnlyTheEnvelopeAndItsIdIsThenUsedUp) {
  std::string line = R"({"v":1,"requestId":"r1","type":"ping"})";
  EXPECT_EQ(answer(line), (Json{{"v", 1}, {"type", "ping"}, {"requestId", "r1"}, {"ok", true}}));
  expectError(answer(line), "r1", "duplicate_request", "requestId already used");
}

TEST_F(DispatchTest, UndecodableLinesAreRejectedWithoutAnId) {
  for (const std::string& line : std::vector<std::string>{
           "not json", "42", "\"ping\"", "true", "null", "{\"v\":1", withNul(),
           std::string("{\"requestId\":\"\xff\xfe\",\"v\":1,\"type\":\"ping\"}"),
           std::string("{\"v\":1e400,\"requestId\":\"x\",\"type\":\"ping\"}")}) {
    expectError(answer(line), "none", "internal_error", "helper rejected request");
  }
}

TEST_F(DispatchTest, ArraysAreMalformedHoweverDeep) {
  expectError(answer("[]"), "none", "malformed", "object required");
  std::string deep(20000, '[');
  deep += std::string(20000, ']');
  expectError(answer(deep), "none", "malformed", "object required");
}

TEST_F(DispatchTest, DeeplyNestedObjectsAreHandledWithoutHarm) {
  std::string nested;
  for (int i = 0; i < 10000; ++i)
    nested += "{\"a\":";  // 60,000 bytes in all
  nested += "1" + std::string(10000, '}');
  std::string line = R"({"v":1,"requestId":"deep","type":"ping","x":)" + nested + "}";
  EXPECT_EQ(answer(line)["type"], "ping");
}

TEST_F(DispatchTest, RequestIdMustBeANonEmptyStringOfAtMost160Characters) {
  expectError(answer(R"({"v":1,"type":"ping"})"), "none", "bad_request",
              "field requestId required");
  expectError(answer(R"({"v":1,"requestId":"","type":"ping"})"), "none", "bad_request",
              "field requestId required");
  expectError(answer(R"({"v":1,"requestId":7,"type":"ping"})"), "none", "bad_request",
              "field requestId required");
  expectError(answer(R"({"v":1,"requestId":null,"type":"ping"})"), "none", "bad_request",
              "field requestId required");
  std::string tooLong(161, 'a');
  expectError(answer(R"({"v":1,"requestId":")" + tooLong + R"(","type":"ping"})"), "none",
              "bad_request", "field requestId required");
  // 160 characters of four bytes each pass: the bound counts characters, not bytes.
  std::string wide;
  for (int i = 0; i < 160; ++i)
    wide += "\xF0\x9F\x98\x80";
  EXPECT_EQ(answer(R"({"v":1,"requestId":")" + wide + R"(","type":"ping"})")["ok"], true);
  // One character made of a letter and a combining accent counts once.
  std::string combined;
  for (int i = 0; i < 160; ++i)
    combined += "e\xCC\x81";
  EXPECT_EQ(answer(R"({"v":1,"requestId":")" + combined + R"(","type":"ping"})")["ok"], true);
}

TEST_F(DispatchTest, ChecksRunInOrderAndTheIdIsUsedUpByLaterFailures) {
  expectError(answer(R"({"v":2,"requestId":"a","type":"ping"})"), "a", "bad_version",
              "protocol version mismatch");
  expectError(answer(R"({"v":1,"requestId":"a","type":"ping"})"), "a", "duplicate_request",
              "requestId already used");
  expectError(answer(R"({"requestId":"b","type":"ping"})"), "b", "bad_version",
              "protocol version mismatch");
  expectError(answer(R"({"v":"1","requestId":"c","type":"ping"})"), "c", "bad_version",
              "protocol version mismatch");
  expectError(answer(R"({"v":1,"requestId":"d"})"), "d", "bad_request", "field type required");
  expectError(answer(R"({"v":1,"requestId":"e","type":")" + std::string(65, 't') + "\"}"), "e",
              "bad_request", "field type required");
  // A forbidden key is checked before the type is looked up.
  expectError(answer(R"({"v":1,"requestId":"f","type":"nope","command":null})"), "f",
              "forbidden_field", "forbidden field");
  expectError(answer(R"({"v":1,"requestId":"g","type":"PING"})"), "g", "unknown_type",
              "unknown request type");
  // 1.9 reads as 1 and true as 1.
  EXPECT_EQ(answer(R"({"v":1.9,"requestId":"h","type":"ping"})")["ok"], true);
  EXPECT_EQ(answer(R"({"v":true,"requestId":"i","type":"ping"})")["ok"], true);
}

TEST_F(DispatchTest, EveryForbiddenKeyIsRefusedOnlyAtTheTopLevel) {
  int n = 0;
  for (const char* key :
       {"shell", "exec", "script", "command", "powershell", "argv", "environment"}) {
    std::string id = "k" + std::to_string(n++);
    Json request = {{"v", 1}, {"requestId", id}, {"type", "ping"}, {key, false}};
    expectError(answer(request.dump()), id, "forbidden_field", "forbidden field");
  }
  Json nested = {{"v", 1}, {"requestId", "nested"}, {"type", "ping"}, {"x", {{"command", 1}}}};
  EXPECT_EQ(answer(nested.dump())["ok"], true);
  Json upper = {{"v", 1}, {"requestId", "upper"}, {"type", "ping"}, {"Command", 1}};
  EXPECT_EQ(answer(upper.dump())["ok"], true);
}

TEST_F(DispatchTest, DuplicateMemoryForgetsOnlyTheOldestBeyond2048Ids) {
  for (int i = 0; i <= 2048; ++i)
    test::sendRequest("ping", "id" + std::to_string(i));
  test::takeMessages();
  EXPECT_EQ(answer(R"({"v":1,"requestId":"id0","type":"ping"})")["ok"], true);
  // Re-admitting id0 pushed out id1; id2 .. id2048 are still remembered.
  EXPECT_EQ(answer(R"({"v":1,"requestId":"id2","type":"ping"})")["code"], "duplicate_request");
  EXPECT_EQ(answer(R"({"v":1,"requestId":"id2048","type":"ping"})")["code"], "duplicate_request");
  EXPECT_EQ(answer(R"({"v":1,"requestId":"id1","type":"ping"})")["ok"], true);
}

TEST_F(DispatchTest, OversizeLineHandedDirectlyIsRefused) {
  std::string line(65537, ' ');
  expectError(answer(line), "none", "oversize", "message exceeds limit");
}

TEST(FieldReaders, IntValueReadsNumbersAndBooleansOnly) {
  auto read = [](const Json& value) { return intValue(&value); };
  EXPECT_EQ(read(10.9), 10);
  EXPECT_EQ(read(-3.7), -3);
  EXPECT_EQ(read(true), 1);
  EXPECT_EQ(read(false), 0);
  EXPECT_EQ(read(Json::parse("18446744073709551615")), std::nullopt);
  EXPECT_EQ(read(1e300), std::nullopt);
  EXPECT_EQ(read(-9223372036854775807LL - 1), -9223372036854775807LL - 1);
  EXPECT_EQ(read("5"), std::nullopt);
  EXPECT_EQ(read(Json::array()), std::nullopt);
  EXPECT_EQ(read(Json::object()), std::nullopt);
  EXPECT_EQ(intValue(nullptr), std::nullopt);
}

TEST(FieldReaders, RequiredStringCountsUserPerceivedCharacters) {
  Json request = {{"k", std::string(300, 'x')}, {"cyr", ""}, {"n", 5}};
  EXPECT_EQ(requiredString(request, "k", 300).size(), 300u);
  EXPECT_THROW(requiredString(request, "k", 299), SafeError);
  std::string cyrillic;
  for (int i = 0; i < 300; ++i)
    cyrillic += "\xD0\x96";  // 600 bytes, 300 characters
  request["cyr"] = cyrillic;
  EXPECT_EQ(requiredString(request, "cyr", 300), cyrillic);
  test::expectSafeError([&] { requiredString(request, "n", 10); }, "bad_request",
                        "field n required");
  EXPECT_THROW(requiredDictionary(request, "k"), SafeError);
  EXPECT_THROW(requiredDictionary(request, "absent"), SafeError);
}

}  // namespace
}  // namespace qcu
