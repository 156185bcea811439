// The simulated window server: the window list, the console session and screen capture access.
#include "desktop/sim/model.h"

namespace qcu {

using namespace sim;

std::optional<nlohmann::json> platformWindowList() {
  callHook("platformWindowList");
  std::lock_guard<std::mutex> guard(modelLock());
  Desktop& desktop = model();
  applyDue(desktop);
  if (!desktop.windowListAvailable) return std::nullopt;
  if (desktop.windowListReplacement) return *desktop.windowListReplacement;
  return json(desktop.windows);
}

std::optional<nlohmann::json> platformSessionDictionary() {
  callHook("platformSessionDictionary");
  std::lock_guard<std::mutex> guard(modelLock());
  Desktop& desktop = model();
  applyDue(desktop);
  return desktop.session;
}

bool platformScreenCaptureAllowed() {
  callHook("platformScreenCaptureAllowed");
  std::lock_guard<std::mutex> guard(modelLock());
  return model().screenCaptureAllowed;
}

}  // namespace qcu
