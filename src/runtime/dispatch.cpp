#include "runtime/dispatch.h"

#include <cmath>
#include <limits>
#include <mutex>

#include "actions/commit.h"
#include "actions/pasteboard.h"
#include "actions/prepare.h"
#include "binding/binding.h"
#include "binding/candidates.h"
#include "foundation/errors.h"
#include "foundation/json.h"
#include "foundation/limits.h"
#include "foundation/text.h"
#include "observation/observe.h"
#include "runtime/lifecycle.h"
#include "runtime/output.h"
#include "session/state.h"

namespace qcu {
namespace {

[[noreturn]] void fieldRequired(const std::string& key) {
  throw SafeError("bad_request", "field " + key + " required");
}

// Keys that name ways of running commands; a request carrying any of them is refused outright.
constexpr const char* FORBIDDEN_KEYS[] = {"shell",      "exec", "script",     "command",
                                          "powershell", "argv", "environment"};

// Routes a checked request to its handler. False when the type has no handler.
bool route(const std::string& type, const std::string& requestId, const Json& request) {
  if (type == "hello") {
    handleHello(requestId, request);
  } else if (type == "ping") {
    writeOk("ping", requestId);
  } else if (type == "clipboard_sequence") {
    writeOk("clipboard_sequence", requestId, {{"sequence", pasteboardSequence()}});
  } else if (type == "list_candidates") {
    handleListCandidates(requestId);
  } else if (type == "probe_binding") {
    handleProbe(requestId, request);
  } else if (type == "focus_binding") {
    handleFocus(requestId, request);
  } else if (type == "observe") {
    handleObserve(requestId, request);
  } else if (type == "prepare_action") {
    handlePrepare(requestId, request);
  } else if (type == "commit_action") {
    handleCommit(requestId, request);
  } else if (type == "cancel") {
    handleCancel(requestId, request);
  } else if (type == "stop") {
    handleStop(requestId);
  } else if (type == "shutdown") {
    handleShutdown(requestId);
  } else {
    return false;
  }
  return true;
}

}  // namespace

const Json* fieldValue(const Json& request, const std::string& key) {
  if (!request.is_object()) return nullptr;
  auto it = request.find(key);
  if (it == request.end() || it->is_null()) return nullptr;
  return &*it;
}

std::string requiredString(const Json& request, const std::string& key, std::size_t bound) {
  const Json* value = fieldValue(request, key);
  if (!value || !value->is_string()) fieldRequired(key);
  const auto& text = value->get_ref<const std::string&>();
  // Each character takes at least one byte, so a short string needs no grapheme count.
  if (text.empty() || (text.size() > bound && graphemeCount(text) > bound)) fieldRequired(key);
  return text;
}

const Json& requiredDictionary(const Json& request, const std::string& key) {
  const Json* value = fieldValue(request, key);
  if (!value || !value->is_object()) fieldRequired(key);
  return *value;
}

std::optional<std::int64_t> intValue(const Json* value) {
  if (!value) return std::nullopt;
  if (value->is_boolean()) return value->get<bool>() ? 1 : 0;
  if (value->is_number_integer() && !value->is_number_unsigned()) return value->get<std::int64_t>();
  if (value->is_number_unsigned()) {
    auto v = value->get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return {};
    return static_cast<std::int64_t>(v);
  }
  if (value->is_number_float()) {
    double v = std::trunc(value->get<double>());
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    if (!(v >= -9223372036854775808.0 && v < 9223372036854775808.0)) return {};
    return static_cast<std::int64_t>(v);
  }
  return std::nullopt;
}

bool requestIsDuplicate(const std::string& requestId) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  if (s.seenRequests.contains(requestId)) return true;
  s.seenRequests.insert(requestId);
  s.seenOrder.push_back(requestId);
  while (s.seenOrder.size() > MAX_SEEN_REQUESTS) {
    s.seenRequests.erase(s.seenOrder.front());
    s.seenOrder.pop_front();
  }
  return false;
}

void handleLine(std::string_view line) {
  std::string requestId = "none";  // the request's own id once it passed the duplicate check
  try {
    if (line.size() > MAX_MESSAGE_BYTES) throw SafeError("oversize", "message exceeds limit");
    std::optional<Json> decoded = decodeJson(line);
    if (!decoded || !(decoded->is_object() || decoded->is_array())) {
      throw SafeError("internal_error", "helper rejected request");
    }
    const Json& request = *decoded;
    if (!request.is_object()) throw SafeError("malformed", "object required");
    std::string id = requiredString(request, "requestId", 160);
    requestId = id;
    if (requestIsDuplicate(id)) throw SafeError("duplicate_request", "requestId already used");
    auto version = intValue(fieldValue(request, "v"));
    if (!version || *version != PROTOCOL_VERSION) {
      throw SafeError("bad_version", "protocol version mismatch");
    }
    std::string type = requiredString(request, "type", 64);
    for (const char* key : FORBIDDEN_KEYS) {
      if (request.contains(key)) throw SafeError("forbidden_field", "forbidden field");
    }
    cleanupExpired();
    if (!route(type, requestId, request)) {
      throw SafeError("unknown_type", "unknown request type");
    }
  } catch (const SafeError& error) {
    writeError(requestId, error.code(), error.message());
  } catch (...) {
    writeError(requestId, "internal_error", "helper rejected request");
  }
}

}  // namespace qcu
