#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "desktop/accessibility.h"
#include "foundation/clock.h"
#include "foundation/text.h"
#include "policy/policy.h"
#include "policy/tables.h"

namespace qcu {
namespace {

constexpr std::string_view SECURE_TEXT_FIELD = "AXSecureTextField";

// Standalone search in text already folded for matching. Both are well-formed UTF-8, so a byte
// occurrence of the token starts and ends on scalar boundaries.
bool standaloneIn(std::string_view folded, std::string_view token) {
  if (token.empty()) return false;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(folded.data());
  const std::int64_t length = static_cast<std::int64_t>(folded.size());
  for (std::size_t at = folded.find(token); at != std::string_view::npos;
       at = folded.find(token, at + 1)) {
    if (at > 0) {
      // A scalar takes at most four bytes; decode backwards from a window of them.
      const std::int32_t back = static_cast<std::int32_t>(std::min<std::size_t>(at, 4));
      std::int32_t i = back;
      UChar32 before;
      U8_PREV_OR_FFFD(bytes + at - back, 0, i, before);
      if (isLetterOrDigit(static_cast<char32_t>(before))) continue;
    }
    std::int64_t i = static_cast<std::int64_t>(at + token.size());
    if (i < length) {
      UChar32 after;
      U8_NEXT_OR_FFFD(bytes, i, length, after);
      if (isLetterOrDigit(static_cast<char32_t>(after))) continue;
    }
    return true;
  }
  return false;
}

template <typename Table>
bool anyMarkerIn(std::string_view folded, const Table& markers) {
  return std::any_of(markers.begin(), markers.end(), [folded](std::string_view marker) {
    return folded.find(marker) != std::string_view::npos;
  });
}

bool anyStandaloneToken(std::string_view folded) {
  return std::any_of(STANDALONE_TOKENS.begin(), STANDALONE_TOKENS.end(),
                     [folded](std::string_view token) { return standaloneIn(folded, token); });
}

bool isMarkedRole(std::string_view role) {
  return role == "AXButton" || std::find(TEXT_INPUT_ROLES.begin(), TEXT_INPUT_ROLES.end(), role) !=
                                   TEXT_INPUT_ROLES.end();
}

}  // namespace

bool containsStandaloneToken(std::string_view text, std::string_view token) {
  return standaloneIn(foldForMatch(text), token);
}

bool isAuthenticationText(std::string_view text) {
  const std::string folded = foldForMatch(text);
  return anyStandaloneToken(folded) || anyMarkerIn(folded, CREDENTIAL_MARKERS) ||
         anyMarkerIn(folded, CONTROL_MARKERS);
}

bool titleMarkerHit(std::string_view title) {
  const std::string folded = foldForMatch(title);
  return anyMarkerIn(folded, CREDENTIAL_MARKERS) || anyStandaloneToken(folded) ||
         anyMarkerIn(folded, TITLE_MARKERS);
}

std::string elementMarkerText(const AXElement& element) {
  std::string text;
  for (std::string_view attribute : MARKER_ATTRIBUTES) {
    const std::optional<std::string> value = axString(element, attribute);
    if (!value || value->empty()) continue;
    if (!text.empty()) text.push_back(' ');
    text.append(*value);
  }
  return text;
}

bool isPasswordElement(const AXElement& element) {
  return axString(element, "AXRole") == SECURE_TEXT_FIELD ||
         axString(element, "AXSubrole") == SECURE_TEXT_FIELD;
}

std::optional<std::string> unsafeSurfaceReason(const AXElement& root, int limit, double budget) {
  const TimePoint start = wallNow();
  // An empty handle gives nothing to inspect, which must not pass as a clean surface.
  if (!root) return std::string(SURFACE_ELEMENT_LIMIT);
  const std::size_t cap = limit < 0 ? 0 : static_cast<std::size_t>(limit);
  // Only the first cap + 1 queued elements can ever matter: cap of them are visited, and one more
  // tells a tree larger than the limit from one that fits exactly.
  std::vector<AXElement> queue{root};
  std::size_t position = 0;
  // Also true for a NaN budget.
  const auto outOfTime = [&] { return !(Seconds(wallNow() - start).count() <= budget); };
  for (;;) {
    if (outOfTime()) return std::string(SURFACE_TIMEOUT);
    if (position == cap) return std::string(SURFACE_ELEMENT_LIMIT);
    const AXElement element = queue[position];
    // Every element has a role and a child list, so one that cannot be read means the
    // application did not answer: what it would have said is unknown, and the surface with it.
    // The password test of isPasswordElement, reading the role once for both tests.
    const std::optional<std::string> role = axString(element, "AXRole");
    if (!role) return std::string(SURFACE_TIMEOUT);
    if (*role == SECURE_TEXT_FIELD || axString(element, "AXSubrole") == SECURE_TEXT_FIELD) {
      return std::string(SURFACE_PASSWORD);
    }
    if (isMarkedRole(*role) && isAuthenticationText(elementMarkerText(element))) {
      return std::string(SURFACE_AUTH_CONTROL);
    }
    const std::optional<AXValue> children = axAttr(element, "AXChildren");
    if (!children) return std::string(SURFACE_TIMEOUT);
    if (const auto* list = std::get_if<std::vector<AXElement>>(&*children)) {
      for (const AXElement& child : *list) {
        if (queue.size() > cap) break;
        if (child) queue.push_back(child);
      }
    }
    ++position;
    if (position == queue.size()) {
      // Other reads that fail (a title, a placeholder) look like absent values. A walk that
      // overran its budget is not trusted, since reads that waited out their timeout may have
      // hidden something; nor is one whose application no longer answers at its end, since a
      // platform may have answered the walk's last reads from facts it fetched before.
      if (outOfTime() || !axAttr(root, "AXChildren")) return std::string(SURFACE_TIMEOUT);
      return std::nullopt;
    }
  }
}

}  // namespace qcu
