#include "desktop/sim/model.h"

#include <algorithm>
#include <cmath>

#include "desktop/procfs.h"

namespace qcu::sim {
namespace {

std::shared_ptr<const Hook>& hookSlot() {
  static auto* slot = new std::shared_ptr<const Hook>();
  return *slot;
}

// Set while a hook runs on this thread, so the hook's own platform calls don't run it again.
thread_local bool inHook = false;

void retireAll(Desktop& desktop) {
  for (auto& [pid, app] : desktop.apps)
    retire(app, app.root);
}

}  // namespace

json defaultSession() {
  return json{{"kCGSSessionOnConsoleKey", true}};
}

std::mutex& modelLock() {
  static auto* lock = new std::mutex();
  return *lock;
}

Desktop& model() {
  static auto* desktop = [] {
    auto* made = new Desktop();
    made->session = defaultSession();
    return made;
  }();
  return *desktop;
}

double& messagingTimeout() {
  static double seconds = DEFAULT_MESSAGING_TIMEOUT;
  return seconds;
}

void applyDue(Desktop& desktop) {
  if (desktop.scheduled.empty()) return;
  auto now = SteadyClock::now();
  std::vector<Scheduled> due;
  std::erase_if(desktop.scheduled, [&](Scheduled& item) {
    if (item.due > now) return false;
    due.push_back(std::move(item));
    return true;
  });
  std::stable_sort(due.begin(), due.end(),
                   [](const Scheduled& a, const Scheduled& b) { return a.due < b.due; });
  for (auto& item : due)
    item.apply(desktop);
}

void callHook(std::string_view function, std::int32_t pid, std::string_view name,
              std::string_view node) {
  if (inHook) return;
  std::shared_ptr<const Hook> hook;
  {
    std::lock_guard<std::mutex> guard(modelLock());
    hook = hookSlot();
  }
  if (!hook || !*hook) return;
  inHook = true;
  try {
    (*hook)(Call{function, pid, name, node});
  } catch (...) {
    inHook = false;
    throw;
  }
  inHook = false;
}

bool appRunning(const Desktop& desktop, const App& app) {
  if (app.realProcess) return procfsProcessAlive(app.pid);
  auto process = desktop.processes.find(app.pid);
  return process != desktop.processes.end() && process->second.alive;
}

const App* runningApp(const Desktop& desktop, std::int32_t pid) {
  auto it = desktop.apps.find(pid);
  if (it == desktop.apps.end() || !appRunning(desktop, it->second)) return nullptr;
  return &it->second;
}

std::optional<std::int64_t> rowInteger(const json& row, const char* key) {
  auto it = row.find(key);
  if (it == row.end()) return std::nullopt;
  if (it->is_number_integer()) return it->get<std::int64_t>();
  if (it->is_number_float()) {
    double value = it->get<double>();
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9.0e18) {
      return static_cast<std::int64_t>(value);
    }
  }
  return std::nullopt;
}

json* findRow(Desktop& desktop, std::uint32_t number) {
  for (auto& row : desktop.windows) {
    auto value = rowInteger(row, "kCGWindowNumber");
    if (value && *value == static_cast<std::int64_t>(number)) return &row;
  }
  return nullptr;
}

void bringToFront(Desktop& desktop, std::int32_t pid) {
  std::vector<json> own;
  std::vector<json> others;
  for (auto& row : desktop.windows) {
    auto owner = rowInteger(row, "kCGWindowOwnerPID");
    (owner && *owner == pid ? own : others).push_back(std::move(row));
  }
  auto firstOrdinary = std::find_if(others.begin(), others.end(), [](const json& row) {
    return rowInteger(row, "kCGWindowLayer").value_or(0) == 0;
  });
  others.insert(firstOrdinary, own.begin(), own.end());
  desktop.windows = std::move(others);
}

void retire(App& app, const std::shared_ptr<Node>& node) {
  if (!node) return;
  node->alive = false;
  if (!node->id.empty()) app.ids.erase(node->id);
  for (auto& window : node->windows)
    retire(app, window);
  for (auto& child : node->children)
    retire(app, child);
}

void reset() {
  std::lock_guard<std::mutex> guard(modelLock());
  Desktop& desktop = model();
  retireAll(desktop);
  desktop = Desktop();
  desktop.session = defaultSession();
  messagingTimeout() = DEFAULT_MESSAGING_TIMEOUT;
  hookSlot().reset();
}

std::string load(const json& description) {
  std::lock_guard<std::mutex> guard(modelLock());
  Desktop& desktop = model();
  retireAll(desktop);
  desktop = Desktop();
  desktop.session = defaultSession();
  try {
    loadDescription(desktop, description);
  } catch (const DescriptionError& error) {
    retireAll(desktop);
    desktop = Desktop();
    desktop.session = defaultSession();
    return error.what();
  }
  return {};
}

void setHook(Hook hook) {
  std::lock_guard<std::mutex> guard(modelLock());
  if (hook) {
    hookSlot() = std::make_shared<const Hook>(std::move(hook));
  } else {
    hookSlot().reset();
  }
}

double messagingTimeoutSeconds() {
  std::lock_guard<std::mutex> guard(modelLock());
  return messagingTimeout();
}

}  // namespace qcu::sim
