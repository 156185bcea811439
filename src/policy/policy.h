// The safety policy: applications refused by who they are, and windows refused by what their
// title or accessibility content shows. Every decision fails closed and none of them throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "desktop/platform.h"
#include "desktop/signals.h"

namespace qcu {

// ---- Protected applications ----

// True when windows of the process must not be operated: this process, the owner, every process
// of the owner's bundle, and the applications of the blocked tables. Unknown processes are
// refused.
bool isBlockedApplication(std::int32_t pid);
// The part of isBlockedApplication decided by the process's metadata, given the owner's bundle
// identifier (empty when the owner has none).
bool isBlockedProcess(const ProcMeta& meta, std::string_view ownerBundle);

// ---- Sensitive surfaces ----

inline constexpr std::string_view SURFACE_TIMEOUT = "ax-timeout";
inline constexpr std::string_view SURFACE_ELEMENT_LIMIT = "ax-element-limit";
inline constexpr std::string_view SURFACE_PASSWORD = "ax-password";
inline constexpr std::string_view SURFACE_AUTH_CONTROL = "ax-auth-control";

// Whether the token (lower case) occurs in the lower-cased text with no letter, mark or digit
// immediately before or after it.
bool containsStandaloneToken(std::string_view text, std::string_view token);
// Whether the descriptive text of a control reads as a login, verification or credential
// control.
bool isAuthenticationText(std::string_view text);
// Whether a window title names a verification, credential, sign-in or developer surface.
bool titleMarkerHit(std::string_view title);
// The non-empty string values of the marker attributes, in table order, joined by one space.
std::string elementMarkerText(const AXElement& element);
// Whether the element's role or subrole is a secure text field.
bool isPasswordElement(const AXElement& element);
// A bounded breadth-first walk of the tree under root: the reason the surface is unsafe, or
// none when every element was seen and found clean. Running out of elements or of time (in
// seconds) is unsafe.
std::optional<std::string> unsafeSurfaceReason(const AXElement& root, int limit, double budget);

}  // namespace qcu
