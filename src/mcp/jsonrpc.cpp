#include "mcp/jsonrpc.h"

#include <optional>

#include "foundation/json.h"

namespace qcu::mcp {
namespace {

struct TooDeep {};

Incoming invalid(json id, int code, std::string message) {
  Incoming in;
  in.kind = Incoming::Kind::Invalid;
  in.id = std::move(id);
  in.errorCode = code;
  in.errorMessage = std::move(message);
  return in;
}

Incoming ignored() {
  Incoming in;
  in.kind = Incoming::Kind::Ignored;
  return in;
}

// MCP ids are strings or integers; JSON-RPC's fractional numbers and null are refused.
bool validId(const json& id) {
  return id.is_string() || id.is_number_integer();
}

}  // namespace

Incoming decodeMessage(std::string_view line) {
  // The parser itself is iterative; the limit keeps every later walk of the value shallow.
  json::parser_callback_t limit = [](int depth, json::parse_event_t event, json&) {
    if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
        depth >= MAX_NESTING) {
      throw TooDeep{};
    }
    return true;
  };
  std::optional<json> decoded;
  try {
    decoded = decodeJson(line, limit);
  } catch (const TooDeep&) {
    return invalid(nullptr, PARSE_ERROR, "Parse error: nesting deeper than 64 levels");
  }
  if (!decoded) return invalid(nullptr, PARSE_ERROR, "Parse error: not a JSON text in UTF-8");
  json message = std::move(*decoded);
  if (message.is_array()) return invalid(nullptr, INVALID_REQUEST, "Batches are not supported");
  if (!message.is_object()) return invalid(nullptr, INVALID_REQUEST, "A message is an object");

  const bool hasId = message.contains("id");
  json id = hasId ? message["id"] : json();
  if (hasId && !validId(id)) {
    return invalid(nullptr, INVALID_REQUEST, "id must be a string or an integer");
  }
  if (message.value("jsonrpc", json()) != "2.0") {
    return invalid(id, INVALID_REQUEST, "jsonrpc must be \"2.0\"");
  }
  auto method = message.find("method");
  if (method == message.end()) {
    // A response from the client: this server sends no requests, so nothing awaits it.
    if (hasId && (message.contains("result") || message.contains("error"))) return ignored();
    return invalid(id, INVALID_REQUEST, "method required");
  }
  if (!method->is_string()) {
    return hasId ? invalid(id, INVALID_REQUEST, "method must be a string") : ignored();
  }
  Incoming in;
  in.kind = hasId ? Incoming::Kind::Request : Incoming::Kind::Notification;
  in.id = id;
  in.method = method->get<std::string>();
  auto params = message.find("params");
  if (params != message.end() && !params->is_null()) {
    if (!params->is_object()) {
      if (!hasId) return ignored();
      return invalid(id, params->is_array() ? INVALID_PARAMS : INVALID_REQUEST,
                     "params must be an object");
    }
    in.params = std::move(*params);
  }
  return in;
}

json resultMessage(const json& id, json result) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

json errorMessage(const json& id, int code, const std::string& message) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

json notificationMessage(const std::string& method, json params) {
  return {{"jsonrpc", "2.0"}, {"method", method}, {"params", std::move(params)}};
}

std::string encodeLine(const json& message) {
  std::string line = message.dump(-1, ' ', false, json::error_handler_t::replace);
  line.push_back('\n');
  return line;
}

}  // namespace qcu::mcp
