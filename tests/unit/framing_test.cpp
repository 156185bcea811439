// Cutting input into lines, and the shape and size limit of outgoing messages.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "runtime/framing.h"
#include "runtime/output.h"
#include "support/harness.h"

namespace qcu {
namespace {

using test::Json;

struct Framed {
  std::vector<std::string> lines;
  int oversize = 0;
  LineFramer framer{[this](std::string_view line) { lines.emplace_back(line); },
                    [this] { ++oversize; }};
  void feed(const std::string& bytes) { framer.feed(bytes.data(), bytes.size()); }
};

TEST(LineFramer, CarriageReturnsAndEmptyLines) {
  Framed f;
  f.feed("a\r\nb\n\r\n\n\r\r\nc\rd\n");
  // One trailing CR is removed; a line of one CR is empty; other CRs stay.
  EXPECT_EQ(f.lines, (std::vector<std::string>{"a", "b", "\r", "c\rd"}));
  EXPECT_EQ(f.oversize, 0);
}

TEST(LineFramer, LinesSplitAcrossChunksAreDispatchedOnceAndPartialTailsWait) {
  Framed f;
  f.feed("{\"x\":");
  f.feed("1}\n{\"y\"");
  EXPECT_EQ(f.lines, (std::vector<std::string>{"{\"x\":1}"}));
  f.feed(":2}\nz\ny");
  EXPECT_EQ(f.lines, (std::vector<std::string>{"{\"x\":1}", "{\"y\":2}", "z"}));
}

TEST(LineFramer, SizeLimitCountsBytesBeforeTheCarriageReturnIsRemoved) {
  Framed f;
  f.feed(std::string(65536, 'a') + "\n");
  ASSERT_EQ(f.lines.size(), 1u);
  EXPECT_EQ(f.lines[0].size(), 65536u);
  f.feed(std::string(65537, 'b') + "\nnext\n");
  EXPECT_EQ(f.oversize, 1);
  EXPECT_EQ(f.lines.back(), "next");
  f.feed(std::string(65536, 'c') + "\r\n");
  EXPECT_EQ(f.oversize, 2);
  // An oversize line split over many chunks is reported once, at its line feed.
  for (int i = 0; i < 40; ++i)
    f.feed(std::string(4096, 'd'));
  EXPECT_EQ(f.oversize, 2);
  f.feed("tail\nafter\n");
  EXPECT_EQ(f.oversize, 3);
  EXPECT_EQ(f.lines.back(), "after");
}

class OutputTest : public ::testing::Test {
 protected:
  void SetUp() override { test::resetHarness(); }
};

TEST_F(OutputTest, OkMergesResultKeysOverTheEnvelope) {
  writeOk("hello", "r", {{"extra", 1}, {"ok", "overridden"}});
  auto messages = test::takeMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(
      messages[0],
      (Json{{"v", 1}, {"type", "hello"}, {"requestId", "r"}, {"ok", "overridden"}, {"extra", 1}}));
  writeOk("ping", "");
  EXPECT_EQ(test::takeMessages()[0]["requestId"], "");
  writeError("", "c", "m");
  EXPECT_EQ(test::takeMessages()[0]["requestId"], "none");
}

TEST_F(OutputTest, MessagesAreCompactSingleLines) {
  writeOk("x", "r", {{"text", "line\nbreak"}, {"list", {1, 2}}});
  auto lines = test::takeLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].find('\n'), std::string::npos);
  EXPECT_EQ(lines[0].find(": "), std::string::npos);
  EXPECT_EQ(lines[0].find(", "), std::string::npos);
}

TEST_F(OutputTest, OversizeOrUnserialisableResponsesAreReplacedUnderTheSameId) {
  Json substitute = {{"v", 1},
                     {"type", "error"},
                     {"requestId", "big"},
                     {"ok", false},
                     {"code", "response_oversize"},
                     {"message", "response exceeds limit"}};
  writeOk("observe", "big", {{"blob", std::string(70000, 'x')}});
  EXPECT_EQ(test::takeMessages()[0], substitute);
  writeOk("observe", "big", {{"bad", std::string("\xC3\x28")}});
  EXPECT_EQ(test::takeMessages()[0], substitute);
  // Exactly at the limit passes.
  std::string fitted = serializeMessage({{"v", 1}, {"type", "x"}, {"requestId", "r"}, {"p", ""}});
  std::size_t room = 65536 - fitted.size();
  writeOk("x", "r", {{"p", std::string(room - 10, 'y')}});  // "ok":true adds 10 bytes
  auto lines = test::takeLines();
  EXPECT_EQ(lines[0].size(), 65536u);
  EXPECT_EQ(Json::parse(lines[0])["ok"], true);
  Json noId = {{"requestId", 5}, {"blob", std::string(70000, 'x')}};
  writeMessage(noId);
  EXPECT_EQ(test::takeMessages()[0]["requestId"], "none");
}

TEST_F(OutputTest, EventsCarryFreshIdsAndTheIdentityOnlyWhenGiven) {
  emitEvent("hardware-input", Ident{42, "17000000000000000", 123}, "input epoch changed");
  emitEvent("focus-lost", std::nullopt, "d");
  auto messages = test::takeMessages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(
      messages[0]["event"],
      (Json{{"type", "hardware-input"},
            {"detail", "input epoch changed"},
            {"identity",
             {{"pid", 42}, {"processStartTime100ns", "17000000000000000"}, {"hwnd", "123"}}}}));
  EXPECT_EQ(messages[1]["event"], (Json{{"type", "focus-lost"}, {"detail", "d"}}));
  std::regex id("event:[0-9a-f]{32}");
  std::set<std::string> ids;
  for (const auto& message : messages) {
    EXPECT_EQ(message.size(), 4u);
    EXPECT_EQ(message["type"], "event");
    std::string value = message["requestId"];
    EXPECT_TRUE(std::regex_match(value, id)) << value;
    ids.insert(value);
  }
  EXPECT_EQ(ids.size(), 2u);
}

}  // namespace
}  // namespace qcu
