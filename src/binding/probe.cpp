#include "binding/probe.h"

#include "desktop/accessibility.h"
#include "desktop/signals.h"
#include "desktop/windows.h"
#include "foundation/errors.h"
#include "foundation/text.h"
#include "policy/policy.h"

namespace qcu {

nlohmann::json ProbeData::object() const {
  return {{"identity", identity.object()},
          {"title", title},
          {"titleFingerprint", titleFingerprint},
          {"geometry", geometryObject(geometry)},
          {"dpi", dpi},
          {"foreground", foreground},
          {"screenLocked", locked},
          {"userInputEpoch", epoch},
          {"occluded", occluded},
          {"hitTestOwnWindow", hitOwn},
          {"elevated", false},
          {"protectedProcess", false},
          {"secureSurface", false}};
}

ProbeData probeExact(const Ident& ident, bool blockUnsafe, bool inspectSurface, double budget) {
  drainForegroundEvents();

  auto started = processStart100ns(ident.pid);
  if (!started) throw SafeError("target_destroyed", "process no longer exists");
  if (std::to_string(*started) != ident.start) {
    throw SafeError("target_changed", "PID/start/window identity changed");
  }

  auto snapshot = cgWindows();
  auto row = findWindow(snapshot, ident);
  if (!row) throw SafeError("target_destroyed", "window no longer exists");

  auto window = axWindowElement(*row);
  std::string title = resolveTitle(*row, window);
  if (title.empty()) throw SafeError("title_unavailable", "bounded window title unavailable");

  if (isBlockedApplication(ident.pid)) {
    throw SafeError("forbidden_target",
                    "Quorvel, terminal, shell, browser or development surface blocked");
  }
  if (blockUnsafe) {
    if (titleMarkerHit(title)) {
      throw SafeError("protected_target", "secure, credential or verification surface blocked");
    }
    if (inspectSurface) {
      if (!window) throw SafeError("ax_unavailable", "Accessibility window unavailable");
      if (auto reason = unsafeSurfaceReason(*window, SURFACE_MAX_ELEMENTS, budget)) {
        throw SafeError("protected_target",
                        "secure, credential or verification surface blocked (" + *reason + ")");
      }
    }
  }

  ProbeData probe;
  probe.identity = ident;
  probe.geometry = row->bounds;
  Point centre{row->bounds.x + row->bounds.width / 2, row->bounds.y + row->bounds.height / 2};
  probe.hitOwn = topWindowAt(snapshot, centre) == ident.win;
  probe.occluded = !probe.hitOwn;
  probe.foreground = frontWindowID(snapshot) == ident.win;
  probe.titleFingerprint = titleFingerprint(title);
  probe.title = displayTitle(title);
  probe.locked = screenLocked();
  probe.epoch = userInputEpoch();
  probe.dpi = 96;
  return probe;
}

}  // namespace qcu
