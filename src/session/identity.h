// The exact identity of a target window, process start times, and the permission checks that
// gate every piece of window work.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace qcu {

// Process id, that process's start time (100-ns units since 1970 as decimal text, compared as
// text) and window number.
struct Ident {
  std::int32_t pid = 0;
  std::string start;
  std::uint32_t win = 0;

  bool operator==(const Ident&) const = default;
  // {"pid": number, "processStartTime100ns": string, "hwnd": string}
  nlohmann::json object() const;
};

// Start time of a process in 100-ns units since 1970-01-01 UTC; none when the process does not
// exist or its start time cannot be read, and for ids below 1, which name no process.
std::optional<std::uint64_t> processStart100ns(std::int32_t pid);

// Reads the "identity" object of a request; fails with "bad_identity".
Ident parseIdentity(const nlohmann::json& object);

// Standard decimal parse of an unsigned 32-bit integer: optional "+" (or "-" for zero), digits
// only.
std::optional<std::uint32_t> parseUInt32(const std::string& text);

bool permissionsForcedOff();
bool accessibilityTrusted();
bool screenRecordingAllowed();
// Fails with the first missing permission.
void requirePermissions();

}  // namespace qcu
