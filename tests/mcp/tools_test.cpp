// The tools' argument check, which must refuse whatever the published schemas refuse.
#include "mcp/tools.h"

#include <gtest/gtest.h>

#include <string>

namespace qcu::mcp {
namespace {

struct Case {
  const char* tool;
  json arguments;
  bool accepted;
};

TEST(CheckArguments, RefusesWrongTypesUnknownKeysMissingKeysAndBadTargets) {
  const Case cases[] = {
      {"list_windows", nullptr, true},
      {"list_windows", json::object(), true},
      {"list_windows", {{"window", 1}}, false},
      {"list_windows", json::array(), false},
      {"bind_window", {{"window", 1}}, true},
      {"bind_window", {{"window", 2.0}}, true},
      {"bind_window", {{"window", 2.5}}, false},
      {"bind_window", {{"window", 0}}, false},
      {"bind_window", {{"window", "1"}}, false},
      {"bind_window", {{"window", true}}, false},
      {"bind_window", {{"window", 1e300}}, false},
      {"bind_window", json::object(), false},
      {"click", {{"element", 3}}, true},
      {"click", {{"x", 10}, {"y", 20.5}}, true},
      {"click", {{"x", 10}}, false},
      {"click", {{"element", 3}, {"x", 1}, {"y", 2}}, false},
      {"click", json::object(), false},
      {"click", {{"x", -1}, {"y", 2}}, false},
      {"click", {{"x", "10"}, {"y", 2}}, false},
      {"type_text", {{"element", 1}, {"text", "hello"}}, true},
      {"type_text", {{"element", 1}, {"text", ""}}, false},
      {"type_text", {{"text", "hello"}}, false},
      {"type_text", {{"element", 1}, {"text", 5}}, false},
      {"press_key", {{"key", "Enter"}}, true},
      {"press_key", {{"key", "Ctrl+C"}, {"element", 2}}, true},
      {"press_key", {{"key", "enter"}}, false},
      {"press_key", {{"key", "Ctrl+Alt+Delete"}}, false},
      {"scroll", {{"direction", "down"}}, true},
      {"scroll", {{"direction", "up"}, {"element", 4}}, true},
      {"scroll", {{"direction", "left"}, {"x", 1}, {"y", 1}}, true},
      {"scroll", {{"direction", "left"}, {"element", 4}, {"x", 1}, {"y", 1}}, false},
      {"scroll", {{"direction", "sideways"}}, false},
      {"stop", json::object(), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.tool) + " " + c.arguments.dump());
    const ToolSpec* tool = findTool(c.tool);
    ASSERT_NE(tool, nullptr);
    auto fault = checkArguments(*tool, c.arguments);
    EXPECT_EQ(!fault.has_value(), c.accepted) << fault.value_or("");
  }
}

TEST(CheckArguments, TextIsBoundedInUtf8BytesAsTheHelperCountsIt) {
  const ToolSpec* tool = findTool("type_text");
  ASSERT_NE(tool, nullptr);
  std::string text(32766, 'a');
  text += "\xC3\xA9";  // one character, two bytes: 32768 bytes in all
  EXPECT_FALSE(checkArguments(*tool, {{"element", 1}, {"text", text}}));
  text += "a";
  EXPECT_TRUE(checkArguments(*tool, {{"element", 1}, {"text", text}}));
}

TEST(ToolListing, EveryToolHasAClosedObjectSchemaAndLaterFieldsOnlyForLaterVersions) {
  for (const char* version : {"2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25"}) {
    SCOPED_TRACE(version);
    const json listing = toolListing(version);
    ASSERT_EQ(listing["tools"].size(), toolSpecs().size());
    for (const auto& tool : listing["tools"]) {
      EXPECT_EQ(tool["inputSchema"]["type"], "object");
      EXPECT_EQ(tool["inputSchema"]["additionalProperties"], false);
      EXPECT_EQ(tool["description"].get<std::string>().find('\n'), std::string::npos);
      EXPECT_EQ(tool.contains("annotations"), std::string(version) >= "2025-03-26");
      EXPECT_EQ(tool.contains("title"), std::string(version) >= "2025-06-18");
      for (const auto& required : tool["inputSchema"].value("required", json::array())) {
        EXPECT_TRUE(tool["inputSchema"]["properties"].contains(required)) << required;
      }
    }
  }
}

}  // namespace
}  // namespace qcu::mcp
