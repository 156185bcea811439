// Cost of a whole prepare + commit of a click on a simulated window whose check box shows the
// press's effect at once, so no verification wait is included. Target: under 5 ms.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "binding/probe.h"
#include "desktop/sim/sim.h"
#include "desktop/windows.h"
#include "foundation/clock.h"
#include "observation/element.h"
#include "runtime/dispatch.h"
#include "runtime/output.h"
#include "session/state.h"

namespace qcu {
namespace {

using Json = nlohmann::json;

constexpr std::int32_t APP = 4800;
constexpr std::uint32_t WIN = 101;

// A window of 63 labelled buttons and one check box that turns on when pressed.
void loadCheckBox() {
  sim::reset();
  platformSetMessagingTimeout(1.0);
  resetSessionForTests();
  Json children = Json::array();
  for (int i = 0; i < 63; ++i) {
    children.push_back({{"role", "AXButton"},
                        {"title", "Button " + std::to_string(i)},
                        {"actions", {"AXPress"}},
                        {"position", {110 + (i % 16) * 30, 90 + (i / 16) * 30}},
                        {"size", {28, 28}}});
  }
  children.push_back({{"id", "box"},
                      {"identifier", "box"},
                      {"role", "AXCheckBox"},
                      {"title", "Wrap"},
                      {"value", 0},
                      {"actions", {"AXPress"}},
                      {"position", {200, 400}},
                      {"size", {80, 20}}});
  Json app = {{"pid", APP},
              {"executablePath", "/Applications/Notes.app/Contents/MacOS/Notes"},
              {"localizedName", "Notes"},
              {"bundleIdentifier", "com.example.notes"},
              {"windows", {{{"window", WIN}, {"title", "Draft"}, {"children", children}}}}};
  Json turnOn = {{"op", "set-attribute"},
                 {"pid", APP},
                 {"node", "box"},
                 {"attribute", "AXValue"},
                 {"value", 1}};
  sim::load(
      {{"apps", {app}},
       {"windows",
        {{{"number", WIN}, {"pid", APP}, {"title", "Draft"}, {"bounds", {100, 80, 640, 480}}}}},
       {"effects",
        {{{"on", {{"press", {{"pid", APP}, {"node", "box"}}}}}, {"commands", {turnOn}}}}}});
}

// Registers the check box as an observation would.
void registerBox(const Ident& ident) {
  AXElement box;
  auto app = platformApplicationElement(APP);
  auto windows = app ? platformCopyAttribute(*app, "AXWindows") : std::nullopt;
  if (windows && std::holds_alternative<std::vector<AXElement>>(*windows)) {
    auto children =
        platformCopyAttribute(std::get<std::vector<AXElement>>(*windows).at(0), "AXChildren");
    if (children && std::holds_alternative<std::vector<AXElement>>(*children)) {
      box = std::get<std::vector<AXElement>>(*children).back();
    }
  }
  auto entry = std::make_shared<ElementEntry>();
  entry->backendRef = "element:box";
  entry->identity = ident;
  entry->element = box;
  entry->role = "AXCheckBox";
  entry->label = elementLabel(box, entry->role);
  entry->stateKind = "toggle";
  entry->expires = wallAfter(30);
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.elements[entry->backendRef] = entry;
}

std::mutex answerLock;  // guards answers and lastAnswer
std::condition_variable answered;
int answers = 0;
std::string lastAnswer;
void keepAnswer(std::string_view line) {
  std::lock_guard<std::mutex> guard(answerLock);
  ++answers;
  lastAnswer = line;
  answered.notify_all();
}

// Sends one request line and waits for its answer.
Json exchange(const Json& request) {
  int expected = 0;
  {
    std::lock_guard<std::mutex> guard(answerLock);
    expected = answers + 1;
  }
  handleLine(request.dump());
  std::unique_lock<std::mutex> guard(answerLock);
  answered.wait(guard, [expected] { return answers >= expected; });
  return Json::parse(lastAnswer);
}

void BM_PrepareAndCommitProvenPress(benchmark::State& state) {
  loadCheckBox();
  setOutputSink(&keepAnswer);
  const Ident ident{APP, std::to_string(processStart100ns(APP).value_or(0)), WIN};
  drainForegroundEvents();
  const Json expected = probeExact(ident, true).object();
  int sent = 0;
  for (auto _ : state) {
    state.PauseTiming();
    sim::control({{"op", "set-attribute"},
                  {"pid", APP},
                  {"node", "box"},
                  {"attribute", "AXValue"},
                  {"value", 0}});
    registerBox(ident);
    state.ResumeTiming();
    const std::string attempt = "bench-" + std::to_string(sent++);
    Json prepared = exchange(
        {{"v", 1},
         {"requestId", attempt + "-p"},
         {"type", "prepare_action"},
         {"attemptId", attempt},
         {"identity", ident.object()},
         {"action", {{"kind", "click"}}},
         {"resolvedElement",
          {{"backendRef", "element:box"},
           {"expectedTransition", {{"kind", "toggle"}, {"before", "off"}, {"after", "on"}}}}},
         {"expected", expected}});
    Json committed = exchange({{"v", 1},
                               {"requestId", attempt + "-c"},
                               {"type", "commit_action"},
                               {"preparedId", prepared.value("preparedId", "")},
                               {"attemptId", attempt}});
    if (committed["readback"]["effectMatched"] != true) {
      state.SkipWithError(("effect not proven: " + committed.dump()).c_str());
      break;
    }
  }
  setOutputSink(nullptr);
  // Let the last worker unregister before the desktop goes.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  sim::reset();
}
BENCHMARK(BM_PrepareAndCommitProvenPress)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace qcu
