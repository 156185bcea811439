// JSON-RPC 2.0 on the client side of the server: one line decoded into a request, a
// notification, something to ignore or a refusal, and the shapes of what goes back.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qcu::mcp {

using json = nlohmann::json;

inline constexpr int PARSE_ERROR = -32700;
inline constexpr int INVALID_REQUEST = -32600;
inline constexpr int METHOD_NOT_FOUND = -32601;
inline constexpr int INVALID_PARAMS = -32602;
inline constexpr int INTERNAL_ERROR = -32603;

// Longest accepted line; the longest useful request (typing the most text the helper takes) is
// far below it.
inline constexpr std::size_t MAX_LINE_BYTES = 1024 * 1024;
// Deepest accepted nesting of arrays and objects; MCP messages need a handful of levels.
inline constexpr int MAX_NESTING = 64;

struct Incoming {
  enum class Kind {
    Request,       // answer exactly once
    Notification,  // never answered
    Ignored,       // a response to us (we send no requests) or a malformed notification
    Invalid,       // answer with the error below
  };
  Kind kind = Kind::Invalid;
  json id;  // the request's id; for Invalid the id when it could be read, else null
  std::string method;
  json params = json::object();  // always an object for requests and notifications
  int errorCode = 0;
  std::string errorMessage;
};

// Decodes one line. Never throws.
Incoming decodeMessage(std::string_view line);

json resultMessage(const json& id, json result);
json errorMessage(const json& id, int code, const std::string& message);
json notificationMessage(const std::string& method, json params);

// Compact encoding plus the line feed; invalid UTF-8 in strings is replaced, never thrown on.
std::string encodeLine(const json& message);

}  // namespace qcu::mcp
