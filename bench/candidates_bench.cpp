// "list_candidates" cost and size: 128 qualifying windows with 64-element accessibility trees,
// and a crowded screen of 1,000 rows whose listing must still fit in one message. Runs
// in-process on the simulated desktop, so the figures include the simulated platform calls and
// bound the helper's own cost from above.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include <nlohmann/json.hpp>

#include "desktop/platform.h"
#include "desktop/sim/sim.h"
#include "runtime/dispatch.h"
#include "runtime/output.h"
#include "session/state.h"

namespace qcu {
namespace {

using Json = nlohmann::json;

std::string lastLine;
std::size_t largestSize = 0;

void measure(std::string_view line) {
  lastLine.assign(line.substr(0, line.size() - (line.ends_with('\n') ? 1 : 0)));
  largestSize = std::max(largestSize, lastLine.size());
}

// The figures of the last listing: its size and how many candidates it carried.
void report(benchmark::State& bench, std::size_t bytes) {
  Json answer = Json::parse(lastLine, nullptr, false);
  bench.counters["bytes"] = static_cast<double>(bytes);
  bench.counters["candidates"] =
      answer.is_discarded() ? -1.0 : static_cast<double>(answer["candidates"].size());
}

Json app(std::int32_t pid, const std::string& name, Json windows) {
  return {{"pid", pid},
          {"executablePath", "/Applications/" + name + ".app/Contents/MacOS/" + name},
          {"bundleIdentifier", "com.example." + name},
          {"localizedName", name},
          {"windows", std::move(windows)}};
}

Json row(std::uint32_t number, std::int32_t pid, const std::string& title, Json extra = {}) {
  Json r = {{"number", number},
            {"pid", pid},
            {"title", title},
            {"bounds", {40 + number % 300, 30 + number % 200, 800, 600}}};
  if (extra.is_object()) r.update(extra);
  return r;
}

// A clean window tree of exactly 64 elements: the window, 7 groups, 56 controls.
Json windowTree(std::uint32_t number, const std::string& title) {
  Json groups = Json::array();
  for (int g = 0; g < 7; ++g) {
    Json controls = Json::array();
    for (int c = 0; c < 8; ++c) {
      switch (c % 4) {
        case 0:
          controls.push_back({{"role", "AXStaticText"}, {"value", "Label"}});
          break;
        case 1:
          controls.push_back({{"role", "AXButton"}, {"title", "Save"}});
          break;
        case 2:
          controls.push_back({{"role", "AXTextField"}, {"placeholder", "Search"}});
          break;
        default:
          controls.push_back({{"role", "AXCheckBox"}, {"title", "Bold"}});
          break;
      }
    }
    groups.push_back({{"role", "AXGroup"}, {"children", controls}});
  }
  return {{"window", number}, {"title", title}, {"children", groups}};
}

std::uint64_t requests = 0;

void listOnce() {
  handleLine(R"({"v":1,"type":"list_candidates","requestId":"bench-)" + std::to_string(requests++) +
             "\"}");
}

void prepare(const Json& description) {
  sim::reset();
  platformSetMessagingTimeout(1.0);
  resetSessionForTests();
  setOutputSink(&measure);
  std::string error = sim::load(description);
  if (!error.empty()) throw std::runtime_error(error);
}

void BM_ListCandidates128Windows(benchmark::State& bench) {
  // 16 applications with 8 windows each, every window with its 64-element tree.
  Json apps = Json::array();
  Json rows = Json::array();
  for (int a = 0; a < 16; ++a) {
    Json windows = Json::array();
    for (int w = 0; w < 8; ++w) {
      auto number = static_cast<std::uint32_t>(1000 + a * 8 + w);
      std::string title = "Document " + std::to_string(number);
      windows.push_back(windowTree(number, title));
      rows.push_back(row(number, 6000 + a, title));
    }
    apps.push_back(app(6000 + a, "Editor" + std::to_string(a), windows));
  }
  prepare({{"apps", apps}, {"windows", rows}});
  for (auto _ : bench)
    listOnce();
  report(bench, lastLine.size());
  setOutputSink(nullptr);
}
BENCHMARK(BM_ListCandidates128Windows)->Unit(benchmark::kMillisecond);

void BM_ListCandidatesThousandRows(benchmark::State& bench) {
  // 1,000 rows: 600 menu items and slivers, 40 applications without accessibility windows
  // (more skip keys than are kept), and 360 windows whose 300-unit titles and names are made of
  // characters JSON must escape, six bytes each: 128 such entries are far beyond one message.
  const std::string heavy(300, '\x01');
  const std::string heavyName(150, '\x02');
  Json apps = Json::array();
  Json rows = Json::array();
  std::uint32_t number = 1;
  for (int i = 0; i < 600; ++i, ++number) {
    rows.push_back(i % 2 ? row(number, 7000, "Menu", {{"layer", 25}})
                         : row(number, 7000, "Sliver", {{"bounds", {0, 0, 20, 600}}}));
  }
  for (int i = 0; i < 40; ++i, ++number) {
    apps.push_back(app(7100 + i, heavyName + std::to_string(i), Json::array()));
    rows.push_back(row(number, 7100 + i, "Window"));
  }
  Json windows = Json::array();
  for (int i = 0; i < 360; ++i, ++number) {
    windows.push_back({{"window", number}, {"title", "w"}});
    rows.push_back(row(number, 7200, heavy + std::to_string(i)));
  }
  Json writer = app(7200, "Writer", windows);
  writer["executablePath"] = "/Applications/" + heavyName;
  writer["localizedName"] = heavyName;
  apps.push_back(writer);
  prepare({{"apps", apps}, {"windows", rows}});
  largestSize = 0;
  for (auto _ : bench)
    listOnce();
  report(bench, largestSize);
  if (largestSize > 65536) bench.SkipWithError("a listing exceeded 65,536 bytes");
  setOutputSink(nullptr);
}
BENCHMARK(BM_ListCandidatesThousandRows)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qcu
