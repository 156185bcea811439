// The X11 window list with 20 application windows on the desktop named by DISPLAY (run inside
// scripts/vdesk): the raw rows, the parsed snapshot, and one process's application facts.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <iostream>
#include <string>

// The test helpers come before Xlib, whose macros (None, Bool, Status) would break them.
#include "process/child.h"

#include "desktop/platform.h"
#include "desktop/windows.h"
#include "desktop/x11/display.h"

namespace {

constexpr int WINDOWS = 20;

// The test client with its 20 windows, kept for the whole run.
qcu::test::Child& client() {
  static auto* child = [] {
    auto* made = new qcu::test::Child(qcu::test::spawnChild(QCU_X11_CLIENT, {}));
    for (int i = 0; i < WINDOWS; ++i) {
      made->write("window " + std::to_string(20 + 30 * i) + " " + std::to_string(20 + 20 * i) +
                  " 400 300 normal none utf8 bench window " + std::to_string(i) + "\n");
      made->readLine(10.0);
    }
    return made;
  }();
  return *child;
}

bool ready() {
  if (!qcu::x11::displayUsable()) return false;
  client();
  // Until the manager has framed all of them.
  for (int tries = 0; tries < 500; ++tries) {
    int mine = 0;
    for (const auto& row : qcu::cgWindows())
      mine += row.pid == client().pid;
    if (mine >= WINDOWS) return true;
  }
  return false;
}

void X11WindowList(benchmark::State& state) {
  if (!ready()) return state.SkipWithError("no desktop with 20 windows (DISPLAY unset?)");
  for (auto _ : state)
    benchmark::DoNotOptimize(qcu::platformWindowList());
}
BENCHMARK(X11WindowList)->Unit(benchmark::kMillisecond)->UseRealTime();

void X11Snapshot(benchmark::State& state) {
  if (!ready()) return state.SkipWithError("no desktop with 20 windows (DISPLAY unset?)");
  for (auto _ : state)
    benchmark::DoNotOptimize(qcu::cgWindows());
}
BENCHMARK(X11Snapshot)->Unit(benchmark::kMillisecond)->UseRealTime();

// After a list, as in a candidate listing: served from the list's facts.
void X11RunningApplication(benchmark::State& state) {
  if (!ready()) return state.SkipWithError("no desktop with 20 windows (DISPLAY unset?)");
  qcu::cgWindows();
  for (auto _ : state)
    benchmark::DoNotOptimize(qcu::platformRunningApplication(client().pid));
}
BENCHMARK(X11RunningApplication)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
