// The simulated helper driven black-box: a desktop description on the command line decides what
// the helper sees.
#include <gtest/gtest.h>

#include <string>

#include "process/child.h"

namespace qcu::test {
namespace {

TEST(SimProcess, TheDescriptionDecidesPermissionsCounterAndPasteboard) {
  TempDir dir;
  const std::string desk =
      dir.write("desk.json", R"({"permissions": {"accessibility": true, "screenCapture": false},
                                 "eventCounter": {"available": false},
                                 "pasteboard": 4294967301})");
  Child helper = spawnOwnedHelper(QCU_HELPER_SIM, {"--sim-desktop", desk});
  helper.write(requestLine("hello", "h", {{"protocolVersion", 1}}) +
               requestLine("clipboard_sequence", "c"));
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
  TempDir dir;
  const std::string desk = dir.write("desk.json", R"({"apps": [{"pid": "nope"}]})");
  Child helper = spawnOwnedHelper(QCU_HELPER_SIM, {"--sim-desktop", desk});
  EXPECT_EQ(helper.waitExit(), 2);
  std::string error = helper.drainErr(1);
  EXPECT_EQ(error.rfind("simulated desktop: ", 0), 0u) << error;
  EXPECT_NE(error.find("apps[0].pid"), std::string::npos) << error;
  EXPECT_EQ(helper.drainOut(1), "");
}

// What one helper process says about a window with a text field holding "draft".
struct Sighting {
  Json candidate;
  Json observation;  // the first of two
  Json field;        // the field's element in the first observation
  Json fieldAgain;   // and in the second
};

Sighting sight(SimHelper& helper) {
  Sighting seen;
  Json listing = helper.ask("list_candidates", "l");
  seen.candidate = listing["candidates"][0];
  const Json identity = {{"identity", seen.candidate["identity"]}};
  seen.observation = helper.ask("observe", "o1", identity)["observation"];
  Json again = helper.ask("observe", "o2", identity)["observation"];
  seen.field = seen.observation["elements"][0];
  seen.fieldAgain = again["elements"][0];
  return seen;
}

TEST(SimProcess, FingerprintsAreStableAndSaltedOnesDifferBetweenProcesses) {
  const Json field = {{"role", "AXTextField"},   {"title", "Name"},        {"value", "draft"},
                      {"settable", {"AXValue"}}, {"position", {120, 100}}, {"size", {200, 20}}};
  const Json description = {
      {"apps",
       {{{"pid", 9004242},
         {"localizedName", "Notes"},
         {"windows", {{{"window", 101}, {"title", "Draft"}, {"children", {field}}}}}}}},
      {"windows",
       {{{"number", 101}, {"pid", 9004242}, {"title", "Draft"}, {"bounds", {100, 80, 640, 480}}}}}};
  SimHelper one(description);
  SimHelper two(description);
  const Sighting first = sight(one);
  const Sighting second = sight(two);
  ASSERT_TRUE(first.field.is_object()) << first.observation;
  ASSERT_TRUE(second.field.is_object()) << second.observation;

  // The right format.
  EXPECT_TRUE(isLowerHex(first.candidate["titleFingerprint"].get<std::string>(), 64));
  EXPECT_TRUE(isOpaqueId(first.candidate["candidateToken"].get<std::string>(), "candidate-lease"));
  EXPECT_TRUE(isOpaqueId(first.observation["observationId"].get<std::string>(), "observation"));
  EXPECT_TRUE(isOpaqueId(first.field["backendRef"].get<std::string>(), "element"));
  EXPECT_TRUE(isLowerHex(first.field["semanticFingerprint"].get<std::string>(), 64));
  EXPECT_TRUE(isLowerHex(first.field["valueState"]["fingerprint"].get<std::string>(), 64));

  // Unsalted: the same window and element give the same fingerprints in every process.
  EXPECT_EQ(first.candidate["titleFingerprint"], second.candidate["titleFingerprint"]);
  EXPECT_EQ(first.field["semanticFingerprint"], second.field["semanticFingerprint"]);
  // Deterministic within a process: the unchanged value has the same value state each time.
  EXPECT_EQ(first.field["valueState"], first.fieldAgain["valueState"]);
  EXPECT_EQ(first.field["semanticFingerprint"], first.fieldAgain["semanticFingerprint"]);
  // Salted per process: the same value, window and counts give other values in another one.
  EXPECT_NE(first.field["valueState"]["fingerprint"], second.field["valueState"]["fingerprint"]);
  EXPECT_EQ(first.field["valueState"]["scalarLength"], 5);
  EXPECT_NE(first.candidate["candidateToken"], second.candidate["candidateToken"]);
  EXPECT_EQ(first.observation["observationVersion"], second.observation["observationVersion"]);
  EXPECT_NE(first.observation["observationId"], second.observation["observationId"]);
  EXPECT_NE(first.field["backendRef"], second.field["backendRef"]);
}

}  // namespace
}  // namespace qcu::test
