// Cost of the policy's text decisions on typical inputs. Each is made for every window of a
// listing and on every probe, so each should stay within a few microseconds.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "desktop/sim/sim.h"
#include "policy/policy.h"

namespace qcu {
namespace {

const std::vector<ProcMeta>& typicalProcesses() {
  static const std::vector<ProcMeta> processes = {
      {"TextEdit", "com.apple.TextEdit", "TextEdit"},               // allowed, checked to the end
      {"notes", "com.example.notes", "Notes"},                      // allowed
      {"Google Chrome", "com.google.Chrome", "Google Chrome"},      // refused by prefix
      {"Tor Browser", "org.torproject.torbrowser", "Tor Browser"},  // refused by product word
      {"Калькулятор", "ru.example.calc", "Калькулятор"},            // allowed, not ASCII
  };
  return processes;
}

const std::vector<std::string>& typicalTitles() {
  static const std::vector<std::string> titles = {
      "Quarterly Report.xlsx - Numbers", "Shopping list",
      "Sign in \u2013 Example",          "Отчёт за квартал — Документ",
      "Untitled 3 \u2014 Edited",
  };
  return titles;
}

const std::vector<std::string>& typicalControlTexts() {
  static const std::vector<std::string> texts = {
      "Search",    "Save Document save-button Saves the document", "Password", "Поиск по документу",
      "Font size",
  };
  return texts;
}

void BM_isBlockedProcess(benchmark::State& state) {
  const auto& processes = typicalProcesses();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(isBlockedProcess(processes[i], "com.quorvel.app"));
    i = (i + 1) % processes.size();
  }
}
BENCHMARK(BM_isBlockedProcess);

// The whole decision from a process id, with the metadata read from a simulated desktop.
void BM_isBlockedApplication(benchmark::State& state) {
  sim::reset();
  nlohmann::json apps = nlohmann::json::array();
  const auto& processes = typicalProcesses();
  for (std::size_t i = 0; i < processes.size(); ++i) {
    apps.push_back({{"pid", 5000 + i},
                    {"executablePath", "/Applications/X.app/Contents/MacOS/" + processes[i].name},
                    {"localizedName", processes[i].product},
                    {"bundleIdentifier", processes[i].bundle}});
  }
  if (const std::string error = sim::load({{"apps", apps}}); !error.empty()) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(isBlockedApplication(static_cast<std::int32_t>(5000 + i)));
    i = (i + 1) % processes.size();
  }
  sim::reset();
}
BENCHMARK(BM_isBlockedApplication);

void BM_titleMarkerHit(benchmark::State& state) {
  const auto& titles = typicalTitles();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(titleMarkerHit(titles[i]));
    i = (i + 1) % titles.size();
  }
}
BENCHMARK(BM_titleMarkerHit);

void BM_isAuthenticationText(benchmark::State& state) {
  const auto& texts = typicalControlTexts();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(isAuthenticationText(texts[i]));
    i = (i + 1) % texts.size();
  }
}
BENCHMARK(BM_isAuthenticationText);

}  // namespace
}  // namespace qcu
