#include "runtime/lifecycle.h"

#include <mutex>

#include "desktop/platform.h"
#include "desktop/signals.h"
#include "foundation/clock.h"
#include "foundation/errors.h"
#include "foundation/limits.h"
#include "runtime/dispatch.h"
#include "runtime/output.h"
#include "session/identity.h"
#include "session/state.h"

namespace qcu {
namespace {

constexpr double STOP_DRAIN_SECONDS = 0.45;
constexpr double STOP_POLL_SECONDS = 0.005;

bool workDrained() {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  return s.activeObservations.empty() && s.activeActions.empty();
}

}  // namespace

void handleHello(const std::string& requestId, const nlohmann::json& request) {
  auto version = intValue(fieldValue(request, "protocolVersion"));
  if (!version || *version != PROTOCOL_VERSION) {
    throw SafeError("bad_version", "protocol version mismatch");
  }
  const Json* appVersion = fieldValue(request, "appVersion");
  if (appVersion && appVersion->is_string()) {
    const auto& text = appVersion->get_ref<const std::string&>();
    if (!text.empty() && text != APP_VERSION) {
      throw SafeError("bad_app_version", "app version mismatch");
    }
  }
  writeOk("hello", requestId,
          {{"protocolVersion", PROTOCOL_VERSION},
           {"helperVersion", HELPER_VERSION},
           {"appVersion", APP_VERSION},
           {"inputMonitorReady", inputCounterAvailable()},
           {"platform", platformName()},
           {"permissions",
            {{"accessibility", accessibilityTrusted()},
             {"screenRecording", screenRecordingAllowed()}}}});
}

void handleCancel(const std::string& requestId, const nlohmann::json& request) {
  std::string attemptId = requiredString(request, "attemptId", 160);
  bool cancelled = false;
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    auto removed = std::erase_if(
        s.prepared, [&](const auto& item) { return item.second->attemptId == attemptId; });
    if (removed > 0) cancelled = true;
    auto active = s.activeActions.find(attemptId);
    if (active != s.activeActions.end()) {
      active->second.cancel();  // the commit removes its own entry when it ends
      cancelled = true;
    }
  }
  writeOk("cancel", requestId, {{"cancelled", cancelled}});
}

void cancelEverything() {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.leases.clear();
  s.prepared.clear();
  for (auto& [id, token] : s.activeObservations)
    token.cancel();
  for (auto& [id, token] : s.activeActions)
    token.cancel();
}

void handleStop(const std::string& requestId) {
  stopEpoch().update([](std::int64_t& epoch) { ++epoch; });
  cancelEverything();
  TimePoint deadline = wallAfter(STOP_DRAIN_SECONDS);
  while (wallNow() < deadline) {
    if (workDrained()) break;
    sleepSeconds(STOP_POLL_SECONDS);
  }
  if (!workDrained()) throw SafeError("stop_timeout", "active helper work did not drain");
  writeOk("stop", requestId, {{"stopped", true}});
}

void handleShutdown(const std::string& requestId) {
  stopEpoch().update([](std::int64_t& epoch) { ++epoch; });
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.selected.reset();
  }
  cancelEverything();
  writeOk("shutdown", requestId);
  exitProcess(0);
}

}  // namespace qcu
