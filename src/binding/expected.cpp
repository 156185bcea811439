#include "binding/expected.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "desktop/windows.h"
#include "foundation/errors.h"
#include "foundation/text.h"
#include "runtime/dispatch.h"

namespace qcu {
namespace {

// Bounds of the echoed title and fingerprint, in user-perceived characters.
constexpr std::size_t TITLE_CHARACTERS = 300;
constexpr std::size_t FINGERPRINT_LENGTH = 64;

// Exactly 64 lower-case hexadecimal digits, as titleFingerprint writes them. All of them are
// ASCII, so counting bytes counts characters.
bool isFingerprint(const std::string& text) {
  if (text.size() != FINGERPRINT_LENGTH) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::optional<bool> boolValue(const nlohmann::json* value) {
  if (!value || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

}  // namespace

ProbeData parseExpected(const nlohmann::json& object, const Ident& ident) {
  const auto& geometry = requiredDictionary(object, "geometry");
  auto left = intValue(fieldValue(geometry, "left"));
  auto top = intValue(fieldValue(geometry, "top"));
  auto width = intValue(fieldValue(geometry, "width"));
  auto height = intValue(fieldValue(geometry, "height"));
  if (!left || !top || !width || !height || *width < 1 || *height < 1) {
    throw SafeError("bad_geometry", "positive geometry required");
  }

  std::string title = requiredString(object, "title", TITLE_CHARACTERS);
  std::string fingerprint = requiredString(object, "titleFingerprint", FINGERPRINT_LENGTH);
  if (!isFingerprint(fingerprint)) {
    throw SafeError("bad_title", "complete window title fingerprint required");
  }

  // The owner's decoder keeps booleans and numbers alike, so the two numbers read as intValue
  // does; the two flags must be JSON booleans.
  auto dpi = intValue(fieldValue(object, "dpi"));
  auto epoch = intValue(fieldValue(object, "userInputEpoch"));
  auto foreground = boolValue(fieldValue(object, "foreground"));
  auto locked = boolValue(fieldValue(object, "screenLocked"));
  if (!dpi || !epoch || !foreground || !locked) {
    throw SafeError("bad_request", "expected state incomplete");
  }

  ProbeData expected;
  expected.identity = ident;
  expected.title = std::move(title);
  expected.titleFingerprint = std::move(fingerprint);
  expected.geometry = Rect{static_cast<double>(*left), static_cast<double>(*top),
                           static_cast<double>(*width), static_cast<double>(*height)};
  expected.dpi = *dpi;
  expected.foreground = *foreground;
  expected.locked = *locked;
  expected.epoch = *epoch;
  expected.occluded = false;
  expected.hitOwn = true;
  return expected;
}

void requireExpected(const ProbeData& expected, const ProbeData& current) {
  if (!(expected.identity == current.identity) ||
      !sameGeometry(expected.geometry, current.geometry) || expected.dpi != current.dpi) {
    throw SafeError("stale_snapshot", "target identity, geometry or DPI changed");
  }
  // Titles are equal when canonically equivalent; fingerprints are plain hexadecimal text.
  if (!canonicalEquals(expected.title, current.title) ||
      expected.titleFingerprint != current.titleFingerprint) {
    throw SafeError("target_title_changed", "selected window title changed");
  }
  if (expected.locked || current.locked) {
    throw SafeError("screen_locked", "interactive desktop unavailable");
  }
  if (!expected.foreground || !current.foreground) {
    throw SafeError("stale_focus", "exact target must remain foreground");
  }
  if (expected.epoch != current.epoch) {
    throw SafeError("hardware_input", "input epoch changed after observation");
  }
}

}  // namespace qcu
