#include "binding/binding.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <string_view>

#include "binding/probe.h"
#include "desktop/accessibility.h"
#include "desktop/platform.h"
#include "desktop/windows.h"
#include "foundation/clock.h"
#include "foundation/errors.h"
#include "foundation/limits.h"
#include "runtime/dispatch.h"
#include "runtime/output.h"
#include "session/identity.h"
#include "session/state.h"

namespace qcu {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::string_view TOKEN_PREFIX = "candidate-lease:";
// How long focus waits for the window server to show the window in front, and how often it
// looks.
constexpr auto FOCUS_WAIT = std::chrono::milliseconds(1500);
constexpr double FOCUS_POLL_SECONDS = 0.025;

Ident requestIdentity(const nlohmann::json& request) {
  return parseIdentity(requiredDictionary(request, "identity"));
}

// The presented candidate token: none when absent or null. Anything but a string with the
// token prefix is refused before any lease is looked at.
std::optional<std::string> candidateToken(const nlohmann::json& request) {
  const nlohmann::json* value = fieldValue(request, "candidateToken");
  if (!value) return std::nullopt;
  if (!value->is_string() || !value->get_ref<const std::string&>().starts_with(TOKEN_PREFIX)) {
    throw SafeError("bad_candidate_token", "fresh helper candidate token required");
  }
  return value->get<std::string>();
}

// With a token: takes its lease out of the store (whatever happens next) and returns it when it
// is alive and names this window. Without one: accepts only the current binding.
std::optional<Lease> admit(const Ident& ident, const std::optional<std::string>& token) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  if (!token) {
    if (s.selected != ident) {
      throw SafeError("candidate_token_required",
                      "binding requires a fresh listed candidate token");
    }
    return std::nullopt;
  }
  auto node = s.leases.extract(*token);
  if (node.empty() || !(node.mapped().expires > wallNow()) || node.mapped().identity != ident) {
    throw SafeError("bad_candidate_token", "candidate lease expired, used or mismatched");
  }
  return std::move(node.mapped());
}

ProbeData fullProbe(const Ident& ident) {
  return probeExact(ident, /*blockUnsafe=*/true, /*inspectSurface=*/true, SURFACE_BUDGET);
}

// Asks the window to come forward within its application: raise it and make it the main window.
// Both answers are ignored; the wait and the final probe decide.
void raiseWindow(const Ident& ident) {
  auto row = findWindow(cgWindows(), ident);
  if (!row) return;
  auto window = axWindowElement(*row);
  if (!window) return;
  platformPerformAction(*window, "AXRaise");
  platformSetAttribute(*window, "AXMain", AXValue{true});
}

// Polls the window list until the window is in front or the wait is over. Measured on the
// steady clock, so a change of the wall clock neither cuts the wait short nor stretches it.
void waitForFront(std::uint32_t win) {
  const auto deadline = SteadyClock::now() + FOCUS_WAIT;
  while (SteadyClock::now() < deadline) {
    if (frontWindowID(cgWindows()) == win) return;
    sleepSeconds(FOCUS_POLL_SECONDS);
  }
}

}  // namespace

void handleProbe(const std::string& requestId, const nlohmann::json& request) {
  requirePermissions();
  Ident ident = requestIdentity(request);
  auto token = candidateToken(request);
  auto lease = admit(ident, token);

  ProbeData probe = fullProbe(ident);
  if (lease && (probe.title != lease->title || probe.titleFingerprint != lease->titleFingerprint)) {
    throw SafeError("target_title_changed", "selected window title changed during binding");
  }
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.selected = ident;
  }
  writeOk("probe_binding", requestId, {{"probe", probe.object()}});
}

void handleFocus(const std::string& requestId, const nlohmann::json& request) {
  requirePermissions();
  Ident ident = requestIdentity(request);
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (s.selected != ident) {
      throw SafeError("binding_required", "exact selected binding required before focus");
    }
  }

  ProbeData before = fullProbe(ident);
  if (before.locked) throw SafeError("screen_locked", "interactive desktop unavailable");

  // Without a running application there is nothing to activate; the raise may still help.
  platformActivateApplication(ident.pid);
  raiseWindow(ident);
  waitForFront(ident.win);
  drainForegroundEvents();

  ProbeData after = fullProbe(ident);
  if (!after.foreground) throw SafeError("focus_lost", "macOS rejected foreground activation");
  writeOk("focus_binding", requestId, {{"probe", after.object()}});
}

}  // namespace qcu
