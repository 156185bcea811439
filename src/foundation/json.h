// Decoding of JSON texts that come from outside the process.
#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qcu {

// The value of a whole JSON text; none when the text is not exactly one valid JSON text (bad
// syntax, invalid UTF-8, anything after the value, a NUL byte anywhere). A callback sees the
// parse as the library's own does; an exception it throws reaches the caller.
std::optional<nlohmann::json> decodeJson(
    std::string_view text, const nlohmann::json::parser_callback_t& callback = nullptr);

}  // namespace qcu
