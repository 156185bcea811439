// The observation's screenshot of a real 1280 x 800 window on the X server of DISPLAY: the
// capture alone, the shrinking and encoding alone, and the whole pipeline from capture to the
// data URL of at most 16384 bytes (target: at most 60 ms). Without DISPLAY each benchmark is
// skipped with a message.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <benchmark/benchmark.h>
#include <cairo.h>

#include <chrono>
#include <cstdlib>

#include "desktop/platform.h"
#include "desktop/windows.h"
#include "desktop/x11/capture.h"
#include "desktop/x11/display.h"
#include "foundation/clock.h"
#include "observation/screenshot.h"

namespace qcu {
namespace {

constexpr int WIDTH = 1280;
constexpr int HEIGHT = 800;

// An ordinary application window's look: a tool bar of buttons, a side bar of labels, a page of
// text lines and a few coloured tiles.
void paintApplication(cairo_t* cr) {
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 13);
  cairo_set_source_rgb(cr, 0.93, 0.93, 0.94);
  cairo_rectangle(cr, 0, 0, WIDTH, 48);
  cairo_fill(cr);
  for (int i = 0; i < 10; ++i) {
    cairo_set_source_rgb(cr, 0.85, 0.86, 0.88);
    cairo_rectangle(cr, 12 + i * 96, 10, 84, 28);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    cairo_move_to(cr, 22 + i * 96, 29);
    cairo_show_text(cr, ("Action " + std::to_string(i + 1)).c_str());
  }
  cairo_set_source_rgb(cr, 0.96, 0.96, 0.97);
  cairo_rectangle(cr, 0, 48, 240, HEIGHT - 48);
  cairo_fill(cr);
  for (int i = 0; i < 24; ++i) {
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.25);
    cairo_move_to(cr, 20, 80 + i * 28);
    cairo_show_text(cr, ("Folder item number " + std::to_string(i + 1)).c_str());
  }
  const char* words =
      "The quick brown fox jumps over the lazy dog while the observer reads every line of this "
      "window with care";
  for (int i = 0; i < 36; ++i) {
    cairo_set_source_rgb(cr, 0.05, 0.05, 0.05);
    cairo_move_to(cr, 272, 80 + i * 19);
    cairo_show_text(cr, words + (i * 7) % 40);
  }
  for (int i = 0; i < 6; ++i) {
    cairo_set_source_rgb(cr, 0.2 + 0.12 * i, 0.5, 0.9 - 0.1 * i);
    cairo_rectangle(cr, 1000, 80 + i * 110, 240, 90);
    cairo_fill(cr);
  }
}

// A window of exactly 1280 x 800 at the root's corner, above everything and left alone by the
// window manager, showing the picture above; the server paints it from its background pixmap.
struct BenchWindow {
  Display* display = nullptr;
  Window window = None;
  ~BenchWindow() {
    if (display) XCloseDisplay(display);
  }
};

bool openBenchWindow(BenchWindow& bench) {
  bench.display = XOpenDisplay(nullptr);
  if (!bench.display) return false;
  Display* display = bench.display;
  const int screen = DefaultScreen(display);
  if (DefaultDepth(display, screen) != 24) return false;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, WIDTH, HEIGHT);
  cairo_t* cr = cairo_create(surface);
  paintApplication(cr);
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  Pixmap background = XCreatePixmap(display, DefaultRootWindow(display), WIDTH, HEIGHT, 24);
  XImage* image = XCreateImage(display, DefaultVisual(display, screen), 24, ZPixmap, 0,
                               reinterpret_cast<char*>(cairo_image_surface_get_data(surface)),
                               WIDTH, HEIGHT, 32, cairo_image_surface_get_stride(surface));
  GC gc = XCreateGC(display, background, 0, nullptr);
  XPutImage(display, background, gc, image, 0, 0, 0, 0, WIDTH, HEIGHT);
  XFreeGC(display, gc);
  image->data = nullptr;  // the surface owns the pixels
  XDestroyImage(image);
  cairo_surface_destroy(surface);
  XSetWindowAttributes attributes{};
  attributes.background_pixmap = background;
  attributes.override_redirect = True;
  bench.window =
      XCreateWindow(display, DefaultRootWindow(display), 0, 0, WIDTH, HEIGHT, 0, CopyFromParent,
                    InputOutput, CopyFromParent, CWBackPixmap | CWOverrideRedirect, &attributes);
  XFreePixmap(display, background);
  XMapRaised(display, bench.window);
  XSync(display, False);
  return true;
}

// Opens the backend and the window once for every benchmark of this file.
const BenchWindow* benchWindow(benchmark::State& state) {
  static BenchWindow* bench = [] {
    auto* made = new BenchWindow;
    // The main of the X11 benchmarks has opened the backend's display.
    if (!x11::displayUsable() || !openBenchWindow(*made)) {
      made->window = None;
    }
    return made;
  }();
  if (bench->window == None) {
    state.SkipWithError("no X display with a 24-bit screen: set DISPLAY (scripts/vdesk)");
    return nullptr;
  }
  return bench;
}

std::optional<CapturedPixels> capturePixels(Window window) {
  auto capture = platformStartWindowCapture(static_cast<std::uint32_t>(window), "");
  if (!capture) return std::nullopt;
  while (platformCaptureRunning(*capture))
    platformWaitForCapture(*capture, 1.0);
  if (platformCaptureExitStatus(*capture) != 0) return std::nullopt;
  return platformTakeCapturedPixels(*capture);
}

// The capture alone: redirect, read and unredirect the window on the capture thread.
void BM_X11Capture1280x800(benchmark::State& state) {
  const BenchWindow* bench = benchWindow(state);
  if (!bench) return;
  for (auto _ : state) {
    auto pixels = capturePixels(bench->window);
    if (!pixels) {
      state.SkipWithError("the capture failed");
      break;
    }
    benchmark::DoNotOptimize(pixels);
  }
}
BENCHMARK(BM_X11Capture1280x800)->Unit(benchmark::kMillisecond)->UseRealTime();

// Shrinking and encoding alone, from the captured pixels to the PNG that fits.
void BM_X11FitPixels1280x800(benchmark::State& state) {
  const BenchWindow* bench = benchWindow(state);
  if (!bench) return;
  auto pixels = capturePixels(bench->window);
  if (!pixels) {
    state.SkipWithError("the capture failed");
    return;
  }
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto png = fitPixels(*pixels, wallAfter(5));
    if (!png) {
      state.SkipWithError("no picture fits");
      break;
    }
    bytes = png->size();
  }
  state.counters["pngBytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_X11FitPixels1280x800)->Unit(benchmark::kMillisecond)->UseRealTime();

// The observation's screenshot: windowPNG from the permission check to the data URL.
void BM_X11WindowPNG1280x800(benchmark::State& state) {
  const BenchWindow* bench = benchWindow(state);
  if (!bench) return;
  WinRec row;
  row.id = static_cast<std::uint32_t>(bench->window);
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto url = windowPNG(row, wallAfter(5));
    if (!url) {
      state.SkipWithError("no picture");
      break;
    }
    bytes = url->size();
  }
  state.counters["dataUrlBytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_X11WindowPNG1280x800)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace qcu
