#include "desktop/windows.h"

#include <cmath>
#include <limits>
#include <mutex>

#include "session/state.h"

namespace qcu {
namespace {

using nlohmann::json;

// The value of a JSON number that is whole and lies within [low, high]. A number written with
// a fraction part of zero (5.0) is whole; 5.5 is not. A value outside the field's range is not
// read as that field at all rather than cut to fit, so it can never alias another window or
// process. Booleans are not numbers.
std::optional<std::int64_t> wholeNumber(const json& value, std::int64_t low, std::int64_t high) {
  if (value.is_number_unsigned()) {
    auto number = value.get<std::uint64_t>();
    if (number > static_cast<std::uint64_t>(high)) return std::nullopt;
    auto signedNumber = static_cast<std::int64_t>(number);
    if (signedNumber < low) return std::nullopt;
    return signedNumber;
  }
  if (value.is_number_integer()) {
    auto number = value.get<std::int64_t>();
    if (number < low || number > high) return std::nullopt;
    return number;
  }
  if (value.is_number_float()) {
    double number = value.get<double>();
    if (!std::isfinite(number) || number != std::trunc(number)) return std::nullopt;
    // 2^63 is exactly representable and already out of range for a 64-bit integer.
    if (number < -9223372036854775808.0 || number >= 9223372036854775808.0) return std::nullopt;
    auto whole = static_cast<std::int64_t>(number);
    if (whole < low || whole > high) return std::nullopt;
    return whole;
  }
  return std::nullopt;
}

std::optional<double> finiteNumber(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return std::nullopt;
  double value = it->get<double>();
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

// A bounds dictionary {"X","Y","Width","Height"} of finite numbers; anything else is the zero
// rectangle.
Rect readBounds(const json& row) {
  auto it = row.find("kCGWindowBounds");
  if (it == row.end() || !it->is_object()) return Rect{};
  auto x = finiteNumber(*it, "X");
  auto y = finiteNumber(*it, "Y");
  auto width = finiteNumber(*it, "Width");
  auto height = finiteNumber(*it, "Height");
  if (!x || !y || !width || !height) return Rect{};
  return Rect{*x, *y, *width, *height};
}

std::string readString(const json& row, const char* key) {
  auto it = row.find(key);
  if (it == row.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

std::optional<WinRec> readRow(const json& row) {
  auto number = row.find("kCGWindowNumber");
  if (number == row.end()) return std::nullopt;
  auto id = wholeNumber(*number, 0, std::numeric_limits<std::uint32_t>::max());
  if (!id) return std::nullopt;
  auto owner = row.find("kCGWindowOwnerPID");
  if (owner == row.end()) return std::nullopt;
  auto pid = wholeNumber(*owner, std::numeric_limits<std::int32_t>::min(),
                         std::numeric_limits<std::int32_t>::max());
  if (!pid) return std::nullopt;

  WinRec rec;
  rec.id = static_cast<std::uint32_t>(*id);
  rec.pid = static_cast<std::int32_t>(*pid);
  rec.bounds = readBounds(row);
  rec.owner = readString(row, "kCGWindowOwnerName");
  rec.name = readString(row, "kCGWindowName");
  auto layer = row.find("kCGWindowLayer");
  if (layer != row.end()) {
    rec.layer = wholeNumber(*layer, std::numeric_limits<std::int64_t>::min(),
                            std::numeric_limits<std::int64_t>::max())
                    .value_or(0);
  }
  auto alpha = row.find("kCGWindowAlpha");
  if (alpha != row.end() && alpha->is_number()) rec.alpha = alpha->get<double>();
  return rec;
}

bool ordinaryVisible(const WinRec& rec) {
  return rec.layer == 0 && rec.alpha > 0.01;
}

// Nearest whole number, halves away from zero, clamped to the 64-bit range.
std::int64_t roundedPoints(double value) {
  double rounded = std::round(value);
  if (std::isnan(rounded)) return 0;
  if (rounded >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (rounded < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(rounded);
}

// Half-open containment. A rectangle with a negative extent covers the same area as its
// standardised form, as the window server's own rectangle tests treat it.
bool contains(const Rect& rect, Point point) {
  double left = rect.width < 0 ? rect.x + rect.width : rect.x;
  double top = rect.height < 0 ? rect.y + rect.height : rect.y;
  double right = left + std::fabs(rect.width);
  double bottom = top + std::fabs(rect.height);
  return point.x >= left && point.x < right && point.y >= top && point.y < bottom;
}

}  // namespace

std::vector<WinRec> cgWindows() {
  std::vector<WinRec> snapshot;
  auto list = platformWindowList();
  if (!list || !list->is_array()) return snapshot;
  // A list holding anything but dictionaries is not a window list at all.
  for (const auto& row : *list) {
    if (!row.is_object()) return {};
  }
  snapshot.reserve(list->size());
  for (const auto& row : *list) {
    if (auto rec = readRow(row)) snapshot.push_back(std::move(*rec));
  }
  return snapshot;
}

json geometryObject(const Rect& rect) {
  json object = json::object();
  object["left"] = roundedPoints(rect.x);
  object["top"] = roundedPoints(rect.y);
  object["width"] = roundedPoints(rect.width);
  object["height"] = roundedPoints(rect.height);
  return object;
}

bool sameGeometry(const Rect& a, const Rect& b) {
  return roundedPoints(a.x) == roundedPoints(b.x) && roundedPoints(a.y) == roundedPoints(b.y) &&
         roundedPoints(a.width) == roundedPoints(b.width) &&
         roundedPoints(a.height) == roundedPoints(b.height);
}

std::uint32_t frontWindowID(const std::vector<WinRec>& snapshot) {
  for (const auto& rec : snapshot) {
    if (ordinaryVisible(rec) && rec.bounds.width > 1 && rec.bounds.height > 1) return rec.id;
  }
  return 0;
}

std::uint32_t topWindowAt(const std::vector<WinRec>& snapshot, Point point) {
  for (const auto& rec : snapshot) {
    if (ordinaryVisible(rec) && contains(rec.bounds, point)) return rec.id;
  }
  return 0;
}

std::optional<WinRec> findWindow(const std::vector<WinRec>& snapshot, const Ident& ident) {
  for (const auto& rec : snapshot) {
    if (rec.id == ident.win && rec.pid == ident.pid) return rec;
  }
  return std::nullopt;
}

void drainForegroundEvents() {
  // The window list is read before any lock: no window-server call happens under a lock.
  std::uint32_t front = frontWindowID(cgWindows());
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  if (front != s.lastFrontWindow) {
    s.lastFrontWindow = front;
    foregroundEpoch().update([](std::int64_t& epoch) { ++epoch; });
  }
}

}  // namespace qcu
