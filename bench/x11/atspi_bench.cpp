// Accessibility on the desktop named by DISPLAY (run inside scripts/vdesk), side by side:
//   - AtspiListCandidates20Windows: "list_candidates" over 20 GTK windows of 5 applications
//     (target: at most 100 ms);
//   - AtspiPyatspiDump300Buttons: the reference, a pyatspi dump (role, name, states, extents and
//     actions of every node) of a GTK window of 300 buttons, each walk in a fresh interpreter;
//   - AtspiObserve300Buttons: "observe" of the same window through the helper's own code, and
//     its ratio to the reference (target: at most 0.3 and at most 100 ms);
//   - AtspiFingerprint300Buttons: the surface fingerprint taken around every action.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

// The test helpers come before the X11 headers, whose macros (None, Bool) clash with GoogleTest.
#include "process/child.h"

#include "desktop/accessibility.h"
#include "desktop/platform.h"
#include "desktop/windows.h"
#include "desktop/x11/atspi_tree.h"
#include "desktop/x11/display.h"
#include "foundation/sync.h"
#include "observation/observe.h"
#include "observation/surface.h"
#include "runtime/dispatch.h"
#include "runtime/output.h"
#include "session/identity.h"
#include "session/state.h"

namespace {

using nlohmann::json;
using qcu::test::Child;

constexpr int BUTTONS = 300;

struct App {
  Child child;
  pid_t pid = 0;
  json windows;
  json command(const json& request) {
    child.write(request.dump() + "\n");
    auto answer = child.readMessage(30.0);
    return answer ? *answer : json();
  }
};

std::unique_ptr<App> startApp() {
  auto app = std::make_unique<App>();
  app->child = qcu::test::spawnChild(QCU_TEST_APP, {});
  auto ready = app->child.readMessage(30.0);
  if (!ready || ready->value("event", "") != "ready") return nullptr;
  app->pid = ready->at("pid").get<pid_t>();
  app->windows = ready->at("windows");
  return app;
}

// Polls for up to 20 s.
template <typename Condition>
bool eventually(Condition condition) {
  for (int tries = 0; tries < 400; ++tries) {
    if (condition()) return true;
    usleep(50000);
  }
  return false;
}

// Whether the window has at least count descendants, through the seam.
bool treeHolds(std::int32_t pid, std::size_t count) {
  auto application = qcu::platformApplicationElement(pid);
  if (!application) return false;
  std::vector<qcu::AXElement> queue{*application};
  for (std::size_t i = 0; i < queue.size(); ++i) {
    auto children = qcu::platformCopyAttribute(queue[i], "AXChildren");
    if (!children) continue;
    for (const auto& child : std::get<std::vector<qcu::AXElement>>(*children))
      queue.push_back(child);
  }
  return queue.size() > count;
}

// The application with one window of 300 buttons, kept for the whole run; null when the
// desktop cannot show it.
App* buttons() {
  static App* made = []() -> App* {
    if (!qcu::x11::displayUsable()) return nullptr;
    qcu::platformSetMessagingTimeout(1.0);
    auto app = startApp();
    if (!app) return nullptr;
    if (app->command(
            {{"op", "add-buttons"}, {"number", 1}, {"count", BUTTONS}, {"columns", 12}})["ok"] !=
        true) {
      return nullptr;
    }
    const auto xid = app->windows[0]["xid"].get<std::uint32_t>();
    const pid_t pid = app->pid;
    if (!eventually([&] {
          for (const auto& row : qcu::cgWindows()) {
            if (row.id == xid) return true;
          }
          return false;
        }) ||
        !eventually([&] { return treeHolds(pid, BUTTONS); }) || !eventually([&] {
          // Until the window has settled where the window list shows it.
          for (const auto& row : qcu::cgWindows()) {
            if (row.id == xid) return qcu::axWindowElement(row).has_value();
          }
          return false;
        })) {
      return nullptr;
    }
    return app.release();
  }();
  return made;
}

qcu::Ident identOf(App& app, std::size_t window = 0) {
  const auto start = qcu::processStart100ns(app.pid);
  return qcu::Ident{app.pid, std::to_string(start.value_or(0)),
                    app.windows[window]["xid"].get<std::uint32_t>()};
}

std::string lastListing;
void keepListing(std::string_view line) {
  lastListing.assign(line);
}

// 5 applications with 4 windows each, every window with a few controls. Listed first, before the
// window of 300 buttons is made.
std::vector<std::unique_ptr<App>>* listingApps() {
  static auto* made = []() -> std::vector<std::unique_ptr<App>>* {
    auto* apps = new std::vector<std::unique_ptr<App>>;
    for (int a = 0; a < 5; ++a) {
      auto app = startApp();
      if (!app) return nullptr;
      for (int w = 2; w <= 4; ++w) {
        const json bounds = {40 + 60 * a + 15 * w, 40 + 30 * a + 20 * w, 420, 320};
        const json children = {{{"role", "AXTextField"}, {"placeholder", "Search"}},
                               {{"role", "AXButton"}, {"title", "Save"}},
                               {{"role", "AXCheckBox"}, {"title", "Bold"}}};
        if (app->command({{"op", "open-window"},
                          {"number", w},
                          {"title", "Document " + std::to_string(a) + "." + std::to_string(w)},
                          {"bounds", bounds},
                          {"children", children}})["ok"] != true) {
          return nullptr;
        }
      }
      apps->push_back(std::move(app));
    }
    const bool listed = eventually([&] {
      std::size_t count = 0;
      for (const auto& row : qcu::cgWindows()) {
        for (const auto& app : *apps)
          count += row.pid == app->pid;
      }
      return count >= 20;
    });
    return listed ? apps : nullptr;
  }();
  return made;
}

void AtspiListCandidates20Windows(benchmark::State& state) {
  if (!qcu::x11::displayUsable() || !listingApps()) {
    return state.SkipWithError("no desktop with the test applications (DISPLAY unset?)");
  }
  qcu::resetSessionForTests();
  qcu::setOutputSink(&keepListing);
  std::uint64_t request = 0;
  for (auto _ : state) {
    qcu::handleLine(R"({"v":1,"type":"list_candidates","requestId":"bench-)" +
                    std::to_string(request++) + "\"}");
  }
  qcu::setOutputSink(nullptr);
  json answer = json::parse(lastListing, nullptr, false);
  state.counters["candidates"] =
      answer.is_discarded() ? -1.0 : static_cast<double>(answer["candidates"].size());
}
BENCHMARK(AtspiListCandidates20Windows)->Unit(benchmark::kMillisecond)->UseRealTime();

double pyatspiSeconds = 0;

void AtspiPyatspiDump300Buttons(benchmark::State& state) {
  App* app = buttons();
  if (!app) return state.SkipWithError("no desktop with the test application (DISPLAY unset?)");
  const std::string script = std::string(QCU_SOURCE_DIR) + "/bench/x11/pyatspi_dump.py";
  std::vector<double> walks;
  double nodes = 0;
  for (auto _ : state) {
    Child dump = qcu::test::spawnChild("/usr/bin/python3", {script, std::to_string(app->pid), "1"});
    auto line = dump.readMessage(60.0);
    dump.waitExit(10.0);
    if (!line || !line->contains("seconds")) return state.SkipWithError("the pyatspi dump failed");
    const double seconds = (*line)["seconds"][0].get<double>();
    nodes = (*line)["nodes"].get<double>();
    walks.push_back(seconds);
    state.SetIterationTime(seconds);
  }
  std::sort(walks.begin(), walks.end());
  pyatspiSeconds = walks[walks.size() / 2];
  state.counters["nodes"] = nodes;
}
BENCHMARK(AtspiPyatspiDump300Buttons)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(5);

void AtspiObserve300Buttons(benchmark::State& state) {
  App* app = buttons();
  if (!app) return state.SkipWithError("no desktop with the test application (DISPLAY unset?)");
  qcu::resetSessionForTests();
  const qcu::Ident ident = identOf(*app);
  std::vector<double> walks;
  std::size_t elements = 0;
  const auto callsBefore = qcu::x11::atspi::counters().calls;
  const auto servedBefore = qcu::x11::atspi::counters().served;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    qcu::CancelToken token;
    qcu::Observation result = qcu::executeObserve(ident, token);
    walks.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    elements = result.entries.size();
    benchmark::DoNotOptimize(result);
  }
  std::sort(walks.begin(), walks.end());
  state.counters["elements"] = static_cast<double>(elements);
  state.counters["served"] =
      static_cast<double>(qcu::x11::atspi::counters().served - servedBefore) /
      static_cast<double>(state.iterations());
  state.counters["calls"] = static_cast<double>(qcu::x11::atspi::counters().calls - callsBefore) /
                            static_cast<double>(state.iterations());
  if (pyatspiSeconds > 0) state.counters["x_pyatspi"] = walks[walks.size() / 2] / pyatspiSeconds;
}
BENCHMARK(AtspiObserve300Buttons)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void AtspiFingerprint300Buttons(benchmark::State& state) {
  App* app = buttons();
  if (!app) return state.SkipWithError("no desktop with the test application (DISPLAY unset?)");
  const qcu::Ident ident = identOf(*app);
  for (auto _ : state) {
    qcu::CancelToken token;
    benchmark::DoNotOptimize(qcu::surfaceFingerprint(ident, token));
  }
}
BENCHMARK(AtspiFingerprint300Buttons)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
