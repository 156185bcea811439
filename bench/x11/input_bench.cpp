// The X11 input costs the safety checks pay on every action: reading the hardware input epoch
// and posting one click through the private pair. The main of the X11 benchmarks: they need a
// desktop (DISPLAY), which scripts/bench starts with scripts/vdesk.
#include <X11/Xlib.h>
#include <benchmark/benchmark.h>

#include <cstdio>

#include "desktop/platform.h"
#include "desktop/signals.h"
#include "desktop/x11/display.h"
#include "desktop/x11/input.h"

namespace qcu {
namespace {

void BM_X11InputEpoch(benchmark::State& state) {
  if (!inputCounterAvailable()) state.SkipWithError("no input counter");
  for (auto _ : state)
    benchmark::DoNotOptimize(userInputEpoch());
}
BENCHMARK(BM_X11InputEpoch);

// Move, button down and button up made and posted, each post waiting for the server, onto a
// window of its own that nobody listens to.
void BM_X11PostedClick(benchmark::State& state) {
  Display* display = XOpenDisplay(nullptr);
  auto source = platformCreateInputSource();
  if (!display || !source) {
    state.SkipWithError("no display or no input source");
    return;
  }
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  Window window =
      XCreateWindow(display, DefaultRootWindow(display), 50, 50, 100, 100, 0, CopyFromParent,
                    InputOutput, CopyFromParent, CWOverrideRedirect, &attributes);
  XMapRaised(display, window);
  XSync(display, False);
  const Point point{100, 100};
  for (auto _ : state) {
    auto move = platformMakeMouseEvent(*source, MouseEventType::Moved, point, 0);
    auto down = platformMakeMouseEvent(*source, MouseEventType::LeftDown, point, 0);
    auto up = platformMakeMouseEvent(*source, MouseEventType::LeftUp, point, 0);
    if (!move || !down || !up || !platformPostEvent(*source, *move) ||
        !platformPostEvent(*source, *down) || !platformPostEvent(*source, *up)) {
      state.SkipWithError("the click was refused");
      break;
    }
  }
  XDestroyWindow(display, window);
  XCloseDisplay(display);
}
BENCHMARK(BM_X11PostedClick)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qcu

int main(int argc, char** argv) {
  if (!qcu::x11::displayOpen(nullptr) || !qcu::x11::startInputCounter()) {
    std::fprintf(stderr, "no X11 display with XInput 2: run inside a virtual desktop\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  qcu::x11::displayClose();
  return 0;
}
