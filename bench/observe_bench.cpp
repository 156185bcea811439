// Cost of an observation on a responsive simulated window, and of the screenshot pipeline from
// a large capture. Targets: under 10 ms for 300 actionable elements without the screenshot;
// under 150 ms from a 2560 x 1600 capture to a PNG of at most 16384 bytes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "desktop/sim/sim.h"
#include "desktop/windows.h"
#include "foundation/clock.h"
#include "foundation/sync.h"
#include "observation/observe.h"
#include "observation/screenshot.h"
#include "runtime/dispatch.h"
#include "runtime/output.h"
#include "session/state.h"

namespace qcu {
namespace {

using Json = nlohmann::json;

constexpr std::int32_t APP = 4700;
constexpr std::uint32_t WIN = 101;

// A window of 300 buttons, each with a label and a frame, behind a small window of another
// application so that no screenshot is taken.
void loadButtons() {
  sim::reset();
  platformSetMessagingTimeout(1.0);
  resetSessionForTests();
  Json buttons = Json::array();
  for (int i = 0; i < 300; ++i) {
    buttons.push_back({{"role", "AXButton"},
                       {"title", "Button " + std::to_string(i)},
                       {"actions", {"AXPress"}},
                       {"position", {110 + (i % 20) * 30, 90 + (i / 20) * 30}},
                       {"size", {28, 28}}});
  }
  Json app = {{"pid", APP},
              {"executablePath", "/Applications/Notes.app/Contents/MacOS/Notes"},
              {"localizedName", "Notes"},
              {"bundleIdentifier", "com.example.notes"},
              {"windows", {{{"window", WIN}, {"title", "Draft"}, {"children", buttons}}}}};
  Json other = {
      {"pid", APP + 1}, {"localizedName", "Other"}, {"bundleIdentifier", "com.example.o"}};
  sim::load(
      {{"apps", {app, other}},
       {"windows",
        {{{"number", 300}, {"pid", APP + 1}, {"title", "Other"}, {"bounds", {0, 0, 50, 50}}},
         {{"number", WIN}, {"pid", APP}, {"title", "Draft"}, {"bounds", {100, 80, 640, 480}}}}}});
}

Ident buttonsIdent() {
  auto start = processStart100ns(APP);
  return Ident{APP, std::to_string(start.value_or(0)), WIN};
}

void BM_ExecuteObserve300Elements(benchmark::State& state) {
  loadButtons();
  const Ident ident = buttonsIdent();
  std::size_t elements = 0;
  for (auto _ : state) {
    CancelToken token;
    Observation result = executeObserve(ident, token);
    elements = result.entries.size();
    benchmark::DoNotOptimize(result);
  }
  state.counters["elements"] = static_cast<double>(elements);
  sim::reset();
}
BENCHMARK(BM_ExecuteObserve300Elements)->Unit(benchmark::kMillisecond);

std::mutex answerLock;  // guards answers
std::condition_variable answered;
int answers = 0;
void countAnswer(std::string_view) {
  std::lock_guard<std::mutex> guard(answerLock);
  ++answers;
  answered.notify_all();
}

// The whole request: the dispatcher, the queue hop, the walk, the size control and the answer.
void BM_ObserveRequest300Elements(benchmark::State& state) {
  loadButtons();
  setOutputSink(&countAnswer);
  const Json identity = buttonsIdent().object();
  int sent = 0;
  for (auto _ : state) {
    int expected = 0;
    {
      std::lock_guard<std::mutex> guard(answerLock);
      expected = answers + 1;
    }
    Json request = {{"v", 1},
                    {"requestId", "bench-" + std::to_string(sent++)},
                    {"type", "observe"},
                    {"identity", identity}};
    handleLine(request.dump());
    std::unique_lock<std::mutex> guard(answerLock);
    answered.wait(guard, [expected] { return answers >= expected; });
  }
  setOutputSink(nullptr);
  // Let the last worker unregister before the desktop goes.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  sim::reset();
}
BENCHMARK(BM_ObserveRequest300Elements)->Unit(benchmark::kMillisecond);

// windowPNG from a 2560 x 1600 capture: the capture's file (or its pixels, handed over),
// decoding, shrinking and encoding.
void BM_WindowPNG2560x1600(benchmark::State& state, const char* content, const char* delivery) {
  sim::reset();
  sim::load({{"windows",
              {{{"number", WIN}, {"pid", APP}, {"title", "Draft"}, {"bounds", {0, 0, 1280, 800}}}}},
             {"captures",
              {{{"window", WIN},
                {"width", 2560},
                {"height", 1600},
                {"content", content},
                {"delivery", delivery}}}}});
  WinRec window;
  window.id = WIN;
  window.pid = APP;
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto url = windowPNG(window, wallAfter(5));
    if (!url) {
      state.SkipWithError("no picture");
      break;
    }
    bytes = url->size();
  }
  state.counters["dataUrlBytes"] = static_cast<double>(bytes);
  sim::reset();
}
BENCHMARK_CAPTURE(BM_WindowPNG2560x1600, gradient, "gradient", "file")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WindowPNG2560x1600, busy, "busy", "file")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WindowPNG2560x1600, gradient_pixels, "gradient", "pixels")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WindowPNG2560x1600, busy_pixels, "busy", "pixels")
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qcu
