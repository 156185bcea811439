// Simulated processes and applications, the pasteboard, the input counter and the
// accessibility trust answer. Process ids without a simulated process are real processes and
// are answered from /proc: the owner is always one.
#include "desktop/procfs.h"
#include "desktop/sim/model.h"

namespace qcu {

using namespace sim;

namespace {
// The hardware event source state; the simulated counter models only hardware events.
constexpr std::uint32_t HID_SYSTEM_STATE = 1;
}  // namespace

std::optional<ProcessStart> platformProcessStart(std::int32_t pid) {
  callHook("platformProcessStart", pid);
  {
    std::lock_guard<std::mutex> guard(modelLock());
    Desktop& desktop = model();
    applyDue(desktop);
    auto it = desktop.processes.find(pid);
    if (it != desktop.processes.end()) {
      const Process& process = it->second;
      if (!process.alive || !process.startReadable) return std::nullopt;
      return ProcessStart{process.startSeconds, process.startMicroseconds};
    }
  }
  return procfsProcessStart(pid);
}

bool platformProcessAlive(std::int32_t pid) {
  callHook("platformProcessAlive", pid);
  {
    std::lock_guard<std::mutex> guard(modelLock());
    Desktop& desktop = model();
    applyDue(desktop);
    auto it = desktop.processes.find(pid);
    if (it != desktop.processes.end()) return it->second.alive;
  }
  return procfsProcessAlive(pid);
}

bool platformAccessibilityTrusted() {
  callHook("platformAccessibilityTrusted");
  std::lock_guard<std::mutex> guard(modelLock());
  return model().accessibilityTrusted;
}

std::optional<RunningApp> platformRunningApplication(std::int32_t pid) {
  callHook("platformRunningApplication", pid);
  std::lock_guard<std::mutex> guard(modelLock());
  Desktop& desktop = model();
  applyDue(desktop);
  const App* app = runningApp(desktop, pid);
  if (!app) return std::nullopt;
  return RunningApp{app->executablePath, app->localizedName, app->bundleIdentifier};
}

bool platformActivateApplication(std::int32_t pid) {
  callHook("platformActivateApplication", pid);
  std::lock_guard<std::mutex> guard(modelLock());
  Desktop& desktop = model();
  applyDue(desktop);
  const App* app = runningApp(desktop, pid);
  if (!app) return false;
  switch (app->activation) {
    case Activation::Honoured:
      bringToFront(desktop, pid);
      return true;
    case Activation::Late: {
      auto delay = std::chrono::duration_cast<SteadyClock::duration>(
          std::chrono::duration<double>(app->activationDelay));
      desktop.scheduled.push_back(Scheduled{SteadyClock::now() + delay, [pid](Desktop& later) {
                                              // Only an application still running comes forward.
                                              if (runningApp(later, pid)) bringToFront(later, pid);
                                            }});
      return true;
    }
    case Activation::Ignored:
      return true;
    case Activation::Refused:
      return false;
  }
  return false;
}

std::int64_t platformPasteboardChangeCount() {
  callHook("platformPasteboardChangeCount");
  std::lock_guard<std::mutex> guard(modelLock());
  Desktop& desktop = model();
  applyDue(desktop);
  return desktop.pasteboard;
}

bool platformEventCounterAvailable() {
  callHook("platformEventCounterAvailable");
  std::lock_guard<std::mutex> guard(modelLock());
  return model().counterAvailable;
}

std::uint32_t platformEventCount(std::uint32_t sourceState, std::uint32_t eventType) {
  callHook("platformEventCount");
  std::lock_guard<std::mutex> guard(modelLock());
  Desktop& desktop = model();
  applyDue(desktop);
  if (!desktop.counterAvailable || sourceState != HID_SYSTEM_STATE) return 0;
  auto it = desktop.counts.find(eventType);
  return it == desktop.counts.end() ? 0 : it->second;
}

}  // namespace qcu
