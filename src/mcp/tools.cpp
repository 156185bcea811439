#include "mcp/tools.h"

#include <cmath>

#include "actions/keys.h"
#include "foundation/limits.h"

namespace qcu::mcp {
namespace {

Param elementParam(std::string description) {
  return {"element", ParamType::Integer, std::move(description), false, {}, 1, 1e6, 0};
}

Param coordinate(std::string name, std::string description) {
  return {std::move(name), ParamType::Number, std::move(description), false, {}, 0, 1e6, 0};
}

std::vector<ToolSpec> makeSpecs() {
  const std::string pointNote = " (window-relative, in pixels of the latest screenshot)";
  std::vector<std::string> keys(allowedKeys().begin(), allowedKeys().end());
  return {
      {"list_windows",
       "List windows",
       "List the windows that may be operated, numbered; protected or sensitive windows are "
       "withheld. Call before bind_window.",
       {},
       TargetRule::None,
       true,
       false,
       true,
       false},
      {"bind_window",
       "Bind a window",
       "Bind one window from the latest list_windows result and bring it to the front; needed "
       "before observe and every action.",
       {{"window",
         ParamType::Integer,
         "Number of the window in the latest list_windows result",
         true,
         {},
         1,
         1e6,
         0}},
       TargetRule::None,
       false,
       false,
       false,
       false},
      {"observe",
       "Observe the window",
       "Describe the bound window: its numbered actionable elements and visible text as JSON, "
       "and a screenshot. Actions use the element numbers of the latest observation.",
       {},
       TargetRule::None,
       true,
       false,
       false,
       false},
      {"click",
       "Click",
       "Click an element of the latest observation, or a point x, y of the bound window in "
       "pixels of the latest screenshot.",
       {elementParam("Number of the element in the latest observation"),
        coordinate("x", "Horizontal position" + pointNote),
        coordinate("y", "Vertical position" + pointNote)},
       TargetRule::ElementOrPoint,
       false,
       true,
       false,
       true},
      {"type_text",
       "Type text",
       "Append text at the end of a text field of the latest observation (its current value is "
       "kept).",
       {{"element",
         ParamType::Integer,
         "Number of a text field in the latest observation",
         true,
         {},
         1,
         1e6,
         0},
        {"text", ParamType::String, "The text to append", true, {}, 0, 0, MAX_COMPUTER_TEXT_BYTES}},
       TargetRule::OptionalElement,
       false,
       true,
       false,
       true},
      {"press_key",
       "Press a key",
       "Press one allowlisted key or chord in the bound window, optionally focusing an element "
       "of the latest observation first.",
       {{"key", ParamType::String, "The key or chord", true, keys, 0, 0, 0},
        elementParam("Number of the element to focus first, from the latest observation")},
       TargetRule::OptionalElement,
       false,
       true,
       false,
       true},
      {"scroll",
       "Scroll",
       "Scroll the bound window one step, over an element of the latest observation, a point, "
       "or the window's centre.",
       {{"direction",
         ParamType::String,
         "Which way the content moves into view",
         true,
         {"up", "down", "left", "right"},
         0,
         0,
         0},
        elementParam("Number of the element to scroll in, from the latest observation"),
        coordinate("x", "Horizontal position" + pointNote),
        coordinate("y", "Vertical position" + pointNote)},
       TargetRule::OptionalElementOrPoint,
       false,
       false,
       false,
       true},
      {"stop",
       "Stop",
       "Stop at once: cancel every running and prepared action; waiting actions are refused.",
       {},
       TargetRule::None,
       false,
       false,
       true,
       false},
  };
}

json paramSchema(const Param& param) {
  json schema = {{"description", param.description}};
  switch (param.type) {
    case ParamType::Integer:
      schema["type"] = "integer";
      schema["minimum"] = param.minimum;
      schema["maximum"] = param.maximum;
      break;
    case ParamType::Number:
      schema["type"] = "number";
      schema["minimum"] = param.minimum;
      schema["maximum"] = param.maximum;
      break;
    case ParamType::String:
      schema["type"] = "string";
      if (!param.choices.empty()) {
        schema["enum"] = param.choices;
      } else {
        schema["minLength"] = 1;
      }
      break;
  }
  return schema;
}

json inputSchema(const ToolSpec& tool) {
  json properties = json::object();
  json required = json::array();
  for (const auto& param : tool.params) {
    properties[param.name] = paramSchema(param);
    if (param.required) required.push_back(param.name);
  }
  json schema = {{"type", "object"}, {"properties", properties}, {"additionalProperties", false}};
  if (!required.empty()) schema["required"] = required;
  return schema;
}

std::optional<std::string> checkValue(const Param& param, const json& value) {
  const std::string name = "\"" + param.name + "\"";
  switch (param.type) {
    case ParamType::Integer: {
      // JSON Schema integers include numbers like 3.0.
      const bool integral = value.is_number_integer() ||
                            (value.is_number_float() && std::isfinite(value.get<double>()) &&
                             std::trunc(value.get<double>()) == value.get<double>());
      if (!integral) return name + " must be an integer";
      if (value.get<double>() < param.minimum || value.get<double>() > param.maximum) {
        return name + " must be from " + std::to_string(static_cast<long>(param.minimum)) + " to " +
               std::to_string(static_cast<long>(param.maximum));
      }
      return std::nullopt;
    }
    case ParamType::Number:
      if (!value.is_number() || !std::isfinite(value.get<double>())) {
        return name + " must be a number";
      }
      if (value.get<double>() < param.minimum || value.get<double>() > param.maximum) {
        return name + " must be from 0 to " + std::to_string(static_cast<long>(param.maximum));
      }
      return std::nullopt;
    case ParamType::String: {
      if (!value.is_string()) return name + " must be a string";
      const auto& text = value.get_ref<const std::string&>();
      if (!param.choices.empty()) {
        for (const auto& choice : param.choices) {
          if (choice == text) return std::nullopt;
        }
        return name + " must be one of the listed values";
      }
      if (text.empty()) return name + " must not be empty";
      if (param.maxBytes && text.size() > param.maxBytes) {
        return name + " must be at most " + std::to_string(param.maxBytes) + " bytes of UTF-8";
      }
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<std::string> checkTarget(TargetRule rule, const json& arguments) {
  const bool element = arguments.contains("element");
  const bool x = arguments.contains("x");
  const bool y = arguments.contains("y");
  if (x != y) return "\"x\" and \"y\" go together";
  switch (rule) {
    case TargetRule::ElementOrPoint:
      if (element == x) return "give either \"element\" or both \"x\" and \"y\"";
      break;
    case TargetRule::OptionalElementOrPoint:
      if (element && x) return "give \"element\" or \"x\" and \"y\", not both";
      break;
    case TargetRule::None:
    case TargetRule::OptionalElement:
      break;
  }
  return std::nullopt;
}

}  // namespace

const std::vector<ToolSpec>& toolSpecs() {
  // Built once and never destroyed: the worker thread may still read it while the process ends.
  static const auto* specs = new std::vector<ToolSpec>(makeSpecs());
  return *specs;
}

const ToolSpec* findTool(std::string_view name) {
  for (const auto& tool : toolSpecs()) {
    if (tool.name == name) return &tool;
  }
  return nullptr;
}

json toolListing(std::string_view protocolVersion) {
  // Protocol versions are dates, so they order as text.
  const bool annotations = protocolVersion >= "2025-03-26";
  const bool titles = protocolVersion >= "2025-06-18";
  json tools = json::array();
  for (const auto& tool : toolSpecs()) {
    json entry = {
        {"name", tool.name}, {"description", tool.description}, {"inputSchema", inputSchema(tool)}};
    if (titles) entry["title"] = tool.title;
    if (annotations) {
      entry["annotations"] = {{"title", tool.title},
                              {"readOnlyHint", tool.readOnly},
                              {"destructiveHint", tool.destructive},
                              {"idempotentHint", tool.idempotent},
                              {"openWorldHint", false}};
    }
    tools.push_back(std::move(entry));
  }
  return {{"tools", std::move(tools)}};
}

std::optional<std::string> checkArguments(const ToolSpec& tool, const json& arguments) {
  if (arguments.is_null()) return checkArguments(tool, json::object());
  if (!arguments.is_object()) return "arguments must be an object";
  for (const auto& [key, value] : arguments.items()) {
    const Param* param = nullptr;
    for (const auto& candidate : tool.params) {
      if (candidate.name == key) param = &candidate;
    }
    if (!param) return "unknown argument \"" + key + "\"";
    if (auto fault = checkValue(*param, value)) return fault;
  }
  for (const auto& param : tool.params) {
    if (param.required && !arguments.contains(param.name)) {
      return "\"" + param.name + "\" is required";
    }
  }
  return checkTarget(tool.target, arguments);
}

}  // namespace qcu::mcp
