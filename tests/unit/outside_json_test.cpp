// Every reader of JSON from outside the process takes its whole input: a NUL byte, which the
// JSON library reads as the end of its input, hides nothing that follows it.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "desktop/sim/sim.h"
#include "support/harness.h"

namespace qcu {
namespace {

using test::Json;

class OutsideJsonTest : public ::testing::Test {
 protected:
  void SetUp() override { test::resetHarness(); }
  void TearDown() override { test::resetHarness(); }
};

// Sends one line to the control descriptor and returns its reply, waiting at most 10 seconds.
Json controlReply(int fd, const std::string& line) {
  const std::string sent = line + "\n";
  EXPECT_EQ(write(fd, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
  std::string reply;
  char c = 0;
  pollfd ready{fd, POLLIN, 0};
  while (poll(&ready, 1, 10'000) > 0 && read(fd, &c, 1) == 1 && c != '\n')
    reply.push_back(c);
  EXPECT_EQ(c, '\n') << "no control reply within 10 s";
  return Json::parse(reply, nullptr, false);
}

TEST_F(OutsideJsonTest, AValidTextFollowedByANulByteIsRefusedByEveryReader) {
  const std::string path = ::testing::TempDir() + "outside-json-test.json";
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  sim::startControl(fds[1]);
  // Each reader with a valid text it accepts, telling whether it accepted a text.
  struct Reader {
    const char* name;
    std::string valid;
    std::function<bool(const std::string&)> accepts;
  } readers[] = {
      {"request line", R"({"v":1,"requestId":"x1","type":"ping"})",
       [](const std::string& text) {
         test::sendLine(text);
         const auto messages = test::takeMessages();
         EXPECT_EQ(messages.size(), 1u);
         return !messages.empty() && messages[0]["ok"] == true;
       }},
      {"desktop description", R"({"pasteboard": 3})",
       [&path](const std::string& text) {
         std::ofstream(path, std::ios::binary) << text;
         return sim::loadFile(path).empty();
       }},
      {"control command", R"({"op":"bump-pasteboard"})",
       [&fds](const std::string& text) { return controlReply(fds[0], text)["ok"] == true; }},
  };
  for (const auto& reader : readers) {
    SCOPED_TRACE(reader.name);
    const std::string nul(1, '\0');
    for (const std::string& tail : {std::string(), std::string("garbage"), reader.valid})
      EXPECT_FALSE(reader.accepts(reader.valid + nul + tail)) << "followed by " << tail;
    EXPECT_TRUE(reader.accepts(reader.valid));
  }
  close(fds[0]);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace qcu
