// The protocol as a test sees it, shared by the in-process and the process tests: request
// builders, the refusal check and the shape of opaque values.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qcu::test {

using Json = nlohmann::json;

// The request {"v":1,"requestId":id,"type":type,...fields}.
inline Json request(const std::string& type, const std::string& id,
                    const Json& fields = Json::object()) {
  Json built = fields.is_object() ? fields : Json::object();
  built["v"] = 1;
  built["requestId"] = id;
  built["type"] = type;
  return built;
}

// The same request as one line of input, line feed included.
inline std::string requestLine(const std::string& type, const std::string& id,
                               const Json& fields = Json::object()) {
  return request(type, id, fields).dump() + "\n";
}

// The answer is a refusal with exactly this code and message.
inline void expectRefusal(const Json& answer, const std::string& code, const std::string& message) {
  EXPECT_EQ(answer["ok"], false) << answer;
  EXPECT_EQ(answer["code"], code) << answer;
  EXPECT_EQ(answer["message"], message) << answer;
}

// Exactly digits lower-case hexadecimal digits.
inline bool isLowerHex(std::string_view text, std::size_t digits) {
  return text.size() == digits &&
         text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// An opaque id of the given kind: the kind, a colon and 24 lower-case hexadecimal digits.
inline bool isOpaqueId(std::string_view text, std::string_view kind) {
  return text.size() > kind.size() && text.substr(0, kind.size()) == kind &&
         text[kind.size()] == ':' && isLowerHex(text.substr(kind.size() + 1), 24);
}

}  // namespace qcu::test
