// Decoding of JSON texts that come from outside the process.
#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qcu {

// The value of a whole JSON text; none when the text is not exactly one valid JSON text (bad
// syntax, invalid UTF-8, anything after the value, a NUL byte anywhere).
std::optional<nlohmann::json> decodeJson(std::string_view text);

}  // namespace qcu
