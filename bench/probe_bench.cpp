// The exact probe's own cost on a responsive simulated window with a clean 512-element tree.
#include <benchmark/benchmark.h>

#include "binding/probe.h"
#include "desktop/platform.h"
#include "desktop/sim/sim.h"
#include "session/state.h"

namespace qcu {
namespace {

using Json = nlohmann::json;

constexpr std::int32_t PID = 4200;
constexpr std::uint32_t WIN = 101;

// A window whose tree holds 511 clean elements below it, 512 with the window itself.
Json cleanDesktop() {
  Json groups = Json::array();
  int made = 0;
  while (made < 511) {
    Json children = Json::array();
    for (int i = 0; i < 15 && made + 1 + i < 511; ++i) {
      children.push_back({{"role", "AXStaticText"}, {"title", "Row " + std::to_string(i)}});
    }
    made += 1 + static_cast<int>(children.size());
    groups.push_back({{"role", "AXGroup"}, {"children", children}});
  }
  Json window = {{"title", "Ledger"}, {"window", WIN}, {"children", groups}};
  return {{"apps",
           {{{"pid", PID},
             {"executablePath", "/Applications/Ledger.app/Contents/MacOS/Ledger"},
             {"localizedName", "Ledger"},
             {"bundleIdentifier", "com.example.ledger"},
             {"windows", {window}}}}},
          {"windows",
           {{{"number", WIN}, {"pid", PID}, {"title", "Ledger"}, {"bounds", {0, 0, 800, 600}}}}}};
}

void BM_ProbeExactWithSurfaceWalk(benchmark::State& bench) {
  sim::reset();
  resetSessionForTests();
  if (auto error = sim::load(cleanDesktop()); !error.empty()) {
    bench.SkipWithError(error.c_str());
    return;
  }
  platformSetMessagingTimeout(1.0);
  auto start = platformProcessStart(PID);
  Ident ident{PID, std::to_string(start->seconds * 10'000'000 + start->microseconds * 10), WIN};
  for (auto _ : bench)
    benchmark::DoNotOptimize(probeExact(ident, true, true));
}
BENCHMARK(BM_ProbeExactWithSurfaceWalk)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace qcu
