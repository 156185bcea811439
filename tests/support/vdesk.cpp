#include "support/vdesk.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <thread>

namespace qcu::test {
namespace {

using nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

SteadyClock::time_point deadlineAfter(double seconds) {
  return SteadyClock::now() +
         std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(seconds));
}

double secondsLeft(SteadyClock::time_point deadline) {
  return std::chrono::duration<double>(deadline - SteadyClock::now()).count();
}

// Polls fetch until ready holds for what it returned; throws naming what it waited for.
json poll(const std::string& what, double timeoutSeconds, const std::function<json()>& fetch,
          const std::function<bool(const json&)>& ready) {
  auto deadline = deadlineAfter(timeoutSeconds);
  json last;
  for (;;) {
    last = fetch();
    if (ready(last)) return last;
    if (secondsLeft(deadline) <= 0) {
      throw std::runtime_error("waited " + std::to_string(timeoutSeconds) + " s for " + what +
                               "; last seen: " + last.dump().substr(0, 2000));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void stopAtExit() {
  const char* runtime = std::getenv("QCU_VDESK");
  if (!runtime) return;
  Child stop = spawnChild(vdeskScript(), {"stop", runtime});
  stop.waitExit(60);
}

VirtualDesktop startDesktop() {
  Child start =
      spawnChild(vdeskScript(), {"start", "--json", "--watch-pid", std::to_string(getpid())});
  auto line = start.readLine(90);
  auto status = start.waitExit(10);
  if (!line || status != 0) {
    throw std::runtime_error("scripts/vdesk start failed (status " +
                             (status ? std::to_string(*status) : std::string("none")) +
                             "): " + start.drainErr(1));
  }
  json env = json::parse(*line);
  for (const auto& [name, value] : env.items()) {
    setenv(name.c_str(), value.get<std::string>().c_str(), 1);
  }
  for (const char* name : {"NO_AT_BRIDGE", "AT_SPI_BUS_ADDRESS", "WAYLAND_DISPLAY"}) {
    unsetenv(name);
  }
  std::atexit(stopAtExit);
  return {env.at("DISPLAY"), env.at("DBUS_SESSION_BUS_ADDRESS"), env.at("XDG_RUNTIME_DIR")};
}

}  // namespace

const VirtualDesktop& virtualDesktop() {
  static const VirtualDesktop desktop = startDesktop();
  return desktop;
}

std::string vdeskScript() {
  return QCU_SOURCE_DIR "/scripts/vdesk";
}

std::string fixturePath(const std::string& name) {
  return QCU_SOURCE_DIR "/tests/fixtures/" + name;
}

json probeDesktop(const std::vector<std::string>& arguments) {
  virtualDesktop();
  Child probe = spawnChild(QCU_DESK_PROBE, arguments);
  std::string out = probe.drainOut(30);
  auto status = probe.waitExit(5);
  if (status != 0 || out.empty()) {
    throw std::runtime_error("qcu-desk-probe failed: " + probe.drainErr(1));
  }
  return json::parse(out);
}

json TestApp::command(json request, double timeoutSeconds) {
  static int next = 0;
  int id = ++next;
  request["id"] = id;
  child.write(request.dump() + "\n");
  auto deadline = deadlineAfter(timeoutSeconds);
  while (secondsLeft(deadline) > 0) {
    auto answer = child.readMessage(secondsLeft(deadline));
    if (!answer) break;
    if (answer->value("id", -1) == id) return *answer;
  }
  throw std::runtime_error("no answer from the test application to " + request.dump());
}

TestApp startTestApp(const std::vector<std::string>& arguments, double timeoutSeconds) {
  virtualDesktop();
  TestApp app{spawnChild(QCU_TEST_APP, arguments)};
  auto ready = app.child.readMessage(timeoutSeconds);
  if (!ready || ready->value("event", "") != "ready") {
    throw std::runtime_error("the test application did not start: " + app.child.drainErr(1));
  }
  app.pid = ready->at("pid").get<pid_t>();
  app.windows = ready->at("windows");
  return app;
}

json waitForWindowsWhere(pid_t pid, const std::string& what,
                         const std::function<bool(const json&)>& ready, double timeoutSeconds) {
  auto fetch = [pid] {
    json mine = json::array();
    json all = probeDesktop({"windows"});
    for (const json& w : all["windows"]) {
      if (w["pid"] == pid) mine.push_back(w);
    }
    return mine;
  };
  return poll("the X11 windows of " + std::to_string(pid) + ": " + what, timeoutSeconds, fetch,
              ready);
}

json waitForWindows(pid_t pid, std::size_t count, double timeoutSeconds) {
  return waitForWindowsWhere(
      pid, std::to_string(count) + " listed",
      [count](const json& windows) { return windows.size() >= count; }, timeoutSeconds);
}

json waitForAccessibleApp(pid_t pid, double timeoutSeconds) {
  auto fetch = [pid] { return probeDesktop({"tree", std::to_string(pid)}); };
  auto ready = [](const json& found) {
    return found["found"] == true && !found["tree"]["children"].empty();
  };
  return poll("the accessibility registry to list " + std::to_string(pid) + " with a window",
              timeoutSeconds, fetch, ready)["tree"];
}

const json* findAccessible(const json& tree, const std::string& id) {
  if (tree.value("id", "") == id) return &tree;
  auto children = tree.find("children");
  if (children == tree.end()) return nullptr;
  for (const json& child : *children) {
    if (const json* found = findAccessible(child, id)) return found;
  }
  return nullptr;
}

}  // namespace qcu::test
