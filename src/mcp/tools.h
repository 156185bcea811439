// The tools this server offers: their names, one-line descriptions and parameters, the JSON
// schemas published from those parameters, and the argument check that enforces the same
// schemas before a call runs.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace qcu::mcp {

using json = nlohmann::json;

enum class ParamType { Integer, Number, String };

struct Param {
  std::string name;
  ParamType type = ParamType::String;
  std::string description;
  bool required = false;
  std::vector<std::string> choices;  // a string limited to these values when not empty
  double minimum = 0;                // numbers and integers
  double maximum = 1e6;              // numbers and integers; keeps conversions exact
  std::size_t maxBytes = 0;          // strings: longest accepted UTF-8 length, 0 for no bound
};

// How a tool names where it acts: an element of the latest observation or a point "x", "y".
enum class TargetRule {
  None,
  ElementOrPoint,          // exactly one of the two
  OptionalElementOrPoint,  // at most one of the two
  OptionalElement,
};

struct ToolSpec {
  std::string name;
  std::string title;
  std::string description;
  std::vector<Param> params;
  TargetRule target = TargetRule::None;
  bool readOnly = false;
  bool destructive = false;
  bool idempotent = false;
  bool acts = false;  // sends input to the window; refused when a stop came after the call
};

const std::vector<ToolSpec>& toolSpecs();
const ToolSpec* findTool(std::string_view name);

// The "tools/list" result for a client speaking the given protocol version: fields introduced
// by later versions are left out for earlier ones.
json toolListing(std::string_view protocolVersion);

// The first fault of the arguments (an object or null), or none when they satisfy the tool's
// schema and target rule.
std::optional<std::string> checkArguments(const ToolSpec& tool, const json& arguments);

}  // namespace qcu::mcp
