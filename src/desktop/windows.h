// The window server's on-screen window list and the questions asked of one snapshot.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "desktop/platform.h"
#include "session/identity.h"

namespace qcu {

struct WinRec {
  std::uint32_t id = 0;
  std::int32_t pid = 0;  // below 1: no process (a window whose process the desktop cannot tell)
  std::string owner;
  std::string name;
  std::int64_t layer = 0;
  Rect bounds;
  double alpha = 1.0;
};

// A snapshot, front to back. Never fails: no list reads as an empty snapshot.
std::vector<WinRec> cgWindows();
// {"left","top","width","height"}, each rounded to nearest with halves away from zero.
nlohmann::json geometryObject(const Rect& rect);
bool sameGeometry(const Rect& a, const Rect& b);
// Frontmost ordinary visible window wider and taller than 1 point; 0 when none.
std::uint32_t frontWindowID(const std::vector<WinRec>& snapshot);
// Frontmost ordinary visible window whose bounds contain the point (half-open); 0 when none.
std::uint32_t topWindowAt(const std::vector<WinRec>& snapshot, Point point);
std::optional<WinRec> findWindow(const std::vector<WinRec>& snapshot, const Ident& ident);
// Folds a change of the front window into foregroundEpoch.
void drainForegroundEvents();

}  // namespace qcu
