// The simulated helper driven black-box: a desktop description on the command line decides what
// the helper sees.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "process/child.h"

namespace qcu::test {
namespace {

using Json = nlohmann::json;

const std::string SIM = QCU_HELPER_SIM;

// A description file in the temporary directory, removed with the object.
struct DescriptionFile {
  std::string path;
  explicit DescriptionFile(const std::string& text) {
    char name[] = "/tmp/qcu-desktop-XXXXXX";
    int fd = mkstemp(name);
    path = name;
    std::ofstream(path) << text;
    close(fd);
  }
  ~DescriptionFile() { std::remove(path.c_str()); }
};

std::string request(const std::string& type, const std::string& id, Json fields = Json::object()) {
  fields["v"] = 1;
  fields["requestId"] = id;
  fields["type"] = type;
  return fields.dump() + "\n";
}

TEST(SimProcess, TheDescriptionDecidesPermissionsCounterAndPasteboard) {
  DescriptionFile desk(R"({"permissions": {"accessibility": true, "screenCapture": false},
                           "eventCounter": {"available": false},
                           "pasteboard": 4294967301})");
  Child helper = spawnOwnedHelper(SIM, {"--sim-desktop", desk.path});
  helper.write(request("hello", "h", {{"protocolVersion", 1}}) +
               request("clipboard_sequence", "c"));
  auto hello = helper.readMessage();
  ASSERT_TRUE(hello.has_value());
  EXPECT_EQ((*hello)["platform"], "darwin");
  EXPECT_EQ((*hello)["inputMonitorReady"], false);
  EXPECT_EQ((*hello)["permissions"], (Json{{"accessibility", true}, {"screenRecording", false}}));
  auto sequence = helper.readMessage();
  ASSERT_TRUE(sequence.has_value());
  EXPECT_EQ((*sequence)["sequence"], 5);  // the low 32 bits of the change count
}

TEST(SimProcess, ABadDescriptionStopsStartUpWithAClearMessage) {
  DescriptionFile desk(R"({"apps": [{"pid": "nope"}]})");
  Child helper = spawnOwnedHelper(SIM, {"--sim-desktop", desk.path});
  EXPECT_EQ(helper.waitExit(), 2);
  std::string error = helper.drainErr(1);
  EXPECT_EQ(error.rfind("simulated desktop: ", 0), 0u) << error;
  EXPECT_NE(error.find("apps[0].pid"), std::string::npos) << error;
  EXPECT_EQ(helper.drainOut(1), "");
}

}  // namespace
}  // namespace qcu::test
