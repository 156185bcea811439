// Stacking changes the simulated window server makes on request: a raised window and a closed
// one.
#include <algorithm>

#include "desktop/sim/model.h"

namespace qcu::sim {

bool raiseWithinApp(Desktop& desktop, std::uint32_t number, std::int32_t pid) {
  auto& rows = desktop.windows;
  auto ownedBy = [pid](const json& row) { return rowInteger(row, "kCGWindowOwnerPID") == pid; };
  auto target = std::find_if(rows.begin(), rows.end(), [&](const json& row) {
    return ownedBy(row) && rowInteger(row, "kCGWindowNumber") == static_cast<std::int64_t>(number);
  });
  if (target == rows.end()) return false;
  auto first = std::find_if(rows.begin(), target, ownedBy);
  std::rotate(first, target, target + 1);
  return true;
}

void closeWindow(Desktop& desktop, std::size_t index) {
  json row = std::move(desktop.windows[index]);
  desktop.windows.erase(desktop.windows.begin() + static_cast<std::ptrdiff_t>(index));
  auto number = rowInteger(row, "kCGWindowNumber");
  auto owner = rowInteger(row, "kCGWindowOwnerPID");
  if (!number || !owner) return;
  auto app = desktop.apps.find(static_cast<std::int32_t>(*owner));
  if (app == desktop.apps.end()) return;
  auto& windows = app->second.root->windows;
  std::erase_if(windows, [&](const std::shared_ptr<Node>& window) {
    if (!window->window || *window->window != *number) return false;
    retire(app->second, window);
    return true;
  });
}

}  // namespace qcu::sim
