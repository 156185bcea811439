// Request dispatch: the checks every request passes, in their fixed order, the routing by
// type, and the field readers every handler uses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qcu {

using Json = nlohmann::json;

// Decodes, checks and routes one request line; every outcome is a written message (or, for
// "shutdown", the end of the process). Runs only on the reader thread.
void handleLine(std::string_view line);

// True when the id was seen among the remembered ids; otherwise remembers it.
bool requestIsDuplicate(const std::string& requestId);

// The string value of key: non-empty, at most bound user-perceived characters. Fails with
// "bad_request" / "field <key> required".
std::string requiredString(const Json& request, const std::string& key, std::size_t bound);
// The object value of key. Fails like requiredString.
const Json& requiredDictionary(const Json& request, const std::string& key);
// The integer reading of a JSON value: numbers truncated toward zero, true/false as 1/0;
// nothing for strings, null, arrays, objects and numbers outside the 64-bit range.
std::optional<std::int64_t> intValue(const Json* value);
// The value of key in an object, or nullptr when absent or null.
const Json* fieldValue(const Json& request, const std::string& key);

}  // namespace qcu
