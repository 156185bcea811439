#include "foundation/json.h"

namespace qcu {

std::optional<nlohmann::json> decodeJson(std::string_view text,
                                         const nlohmann::json::parser_callback_t& callback) {
  // The parser takes a NUL byte for the end of its input and would ignore whatever follows it.
  // No JSON text holds one (inside a string it must be escaped), so such a text is refused.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  nlohmann::json value = nlohmann::json::parse(text, callback, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

}  // namespace qcu
