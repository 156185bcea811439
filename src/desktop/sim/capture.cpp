// Simulated window captures. A capture runs like the system's screenshot tool: it creates its
// output file at once, runs for the window's capture time, and then writes the picture (or
// fails, or writes garbage, as the window's capture description says) and ends with a status.
// A capture described with "delivery": "pixels" instead holds its picture as pixels, the way a
// backend that reads the window itself does, and never creates the file. A capture finishes
// lazily, when it is first asked about after its time has run out, so no thread of its own is
// needed.
#include <cairo.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <mutex>
#include <utility>

#include "desktop/sim/model.h"
#include "foundation/clock.h"

namespace qcu {

using namespace sim;

namespace sim {
namespace {

constexpr const char* GARBAGE = "\x89PNG but not really a picture\n";

// The window's capture as described, or one made from its row's bounds. A window without a row
// (or with unreadable bounds) cannot be captured.
CaptureSetup captureFor(Desktop& desktop, std::uint32_t window) {
  CaptureSetup setup;
  if (auto it = desktop.captures.find(window); it != desktop.captures.end()) setup = it->second;
  if (setup.result != CaptureResult::Picture || (setup.width && setup.height)) return setup;
  const json* row = findRow(desktop, window);
  auto side = [row](const char* key) -> std::optional<std::int64_t> {
    if (!row) return std::nullopt;
    auto bounds = row->find("kCGWindowBounds");
    if (bounds == row->end() || !bounds->is_object()) return std::nullopt;
    auto value = bounds->find(key);
    if (value == bounds->end() || !value->is_number()) return std::nullopt;
    double number = std::round(value->get<double>());
    if (!std::isfinite(number) || number < 1 || number > 20000) return std::nullopt;
    return static_cast<std::int64_t>(number);
  };
  if (!setup.width) setup.width = side("Width");
  if (!setup.height) setup.height = side("Height");
  if (!setup.width || !setup.height) {
    setup.result = CaptureResult::Fail;
    setup.exitStatus = 1;
  }
  return setup;
}

// Writes the whole file at path; false when it cannot be written.
bool writeFile(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

cairo_status_t appendToString(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

// The pixels of a picture of the given size and content.
CapturedPixels picturePixels(int width, int height, PictureContent content) {
  CapturedPixels picture{width, height, {}};
  picture.pixels.resize(static_cast<std::size_t>(width) * height);
  // A fixed generator, so the same description always gives the same picture.
  std::uint32_t noise = 0x9E3779B9u;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint32_t pixel = 0;
      switch (content) {
        case PictureContent::Plain:
          pixel = 0x00D0D8E0u;
          break;
        case PictureContent::Gradient:
          pixel = (static_cast<std::uint32_t>(x * 255 / std::max(1, width - 1)) << 16) |
                  (static_cast<std::uint32_t>(y * 255 / std::max(1, height - 1)) << 8) | 0x80u;
          break;
        case PictureContent::Busy:
          noise ^= noise << 13;
          noise ^= noise >> 17;
          noise ^= noise << 5;
          pixel = noise & 0x00FFFFFFu;
          break;
      }
      picture.pixels[static_cast<std::size_t>(y) * width + x] = pixel;
    }
  }
  return picture;
}

// A PNG picture of the given size and content; empty when cairo cannot make it.
std::string picturePNG(int width, int height, PictureContent content) {
  CapturedPixels picture = picturePixels(width, height, content);
  cairo_surface_t* surface =
      cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(picture.pixels.data()),
                                          CAIRO_FORMAT_RGB24, width, height, width * 4);
  std::string png;
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS ||
      cairo_surface_write_to_png_stream(surface, appendToString, &png) != CAIRO_STATUS_SUCCESS) {
    png.clear();
  }
  cairo_surface_destroy(surface);
  return png;
}

// One capture in flight. Its lock guards every field but path.
struct SimCapture {
  std::mutex lock;
  std::string path;
  CaptureSetup given;
  SteadyClock::time_point due;
  bool terminated = false;
  std::optional<int> status;             // set once the capture has finished
  std::optional<CapturedPixels> pixels;  // of a finished capture that hands pixels over
};

SimCapture* captureOf(const WindowCapture& capture) {
  return static_cast<SimCapture*>(capture.ref.get());
}

// Finishes a capture that hands its picture over as pixels. Caller holds the capture's lock.
void finishWithPixels(SimCapture& capture) {
  const CaptureSetup& given = capture.given;
  switch (given.result) {
    case CaptureResult::Picture:
      capture.pixels = picturePixels(static_cast<int>(*given.width),
                                     static_cast<int>(*given.height), given.content);
      capture.status = 0;
      break;
    case CaptureResult::Fail:
      capture.status = given.exitStatus;
      break;
    case CaptureResult::Garbage:
      capture.pixels = CapturedPixels{static_cast<int>(given.width.value_or(1)),
                                      static_cast<int>(given.height.value_or(1)),
                                      {}};
      capture.status = 0;
      break;
    case CaptureResult::Missing:
      capture.status = 0;
      break;
  }
}

// Finishes the capture once its time is up: writes what the window's capture says and sets the
// exit status. A terminated capture writes nothing more. Caller holds the capture's lock.
void finishIfDue(SimCapture& capture) {
  if (capture.terminated || capture.status || SteadyClock::now() < capture.due) return;
  const CaptureSetup& given = capture.given;
  if (given.pixels) {
    finishWithPixels(capture);
    return;
  }
  switch (given.result) {
    case CaptureResult::Picture: {
      std::string png = picturePNG(static_cast<int>(*given.width), static_cast<int>(*given.height),
                                   given.content);
      capture.status = !png.empty() && writeFile(capture.path, png) ? 0 : 1;
      break;
    }
    case CaptureResult::Fail:
      capture.status = given.exitStatus;
      break;
    case CaptureResult::Garbage:
      capture.status = writeFile(capture.path, GARBAGE) ? 0 : 1;
      break;
    case CaptureResult::Missing:
      std::remove(capture.path.c_str());
      capture.status = 0;
      break;
  }
}

bool parsePixels(const json& given, const std::string& where) {
  auto it = given.find("delivery");
  if (it == given.end()) return false;
  if (it->is_string()) {
    const auto& text = it->get_ref<const std::string&>();
    if (text == "file") return false;
    if (text == "pixels") return true;
  }
  fail(at(where, "delivery"), "expected \"file\" or \"pixels\"");
}

CaptureResult parseResult(const json& given, const std::string& where) {
  auto it = given.find("result");
  if (it == given.end()) return CaptureResult::Picture;
  if (it->is_string()) {
    const auto& text = it->get_ref<const std::string&>();
    if (text == "picture") return CaptureResult::Picture;
    if (text == "fail") return CaptureResult::Fail;
    if (text == "garbage") return CaptureResult::Garbage;
    if (text == "missing") return CaptureResult::Missing;
  }
  fail(at(where, "result"), "expected \"picture\", \"fail\", \"garbage\" or \"missing\"");
}

PictureContent parseContent(const json& given, const std::string& where) {
  auto it = given.find("content");
  if (it == given.end()) return PictureContent::Gradient;
  if (it->is_string()) {
    const auto& text = it->get_ref<const std::string&>();
    if (text == "plain") return PictureContent::Plain;
    if (text == "gradient") return PictureContent::Gradient;
    if (text == "busy") return PictureContent::Busy;
  }
  fail(at(where, "content"), "expected \"plain\", \"gradient\" or \"busy\"");
}

}  // namespace

std::pair<std::uint32_t, CaptureSetup> parseCapture(const json& given, const std::string& where,
                                                    bool command) {
  requireObject(given, where);
  if (command) {
    onlyKeys(given,
             {"op", "id", "window", "result", "width", "height", "content", "seconds", "exitStatus",
              "delivery"},
             where);
  } else {
    onlyKeys(
        given,
        {"window", "result", "width", "height", "content", "seconds", "exitStatus", "delivery"},
        where);
  }
  if (!given.contains("window")) fail(at(where, "window"), "required");
  auto window = static_cast<std::uint32_t>(integerValue(given["window"], at(where, "window"), 0,
                                                        std::numeric_limits<std::uint32_t>::max()));
  CaptureSetup setup;
  setup.result = parseResult(given, where);
  // Sizes up to 20000 pixels, so pictures beyond any accepted size can be made.
  if (given.contains("width")) setup.width = integerField(given, "width", where, 0, 1, 20000);
  if (given.contains("height")) setup.height = integerField(given, "height", where, 0, 1, 20000);
  setup.content = parseContent(given, where);
  setup.seconds = secondsField(given, "seconds", where, 0);
  setup.exitStatus = static_cast<int>(integerField(given, "exitStatus", where, 1, 1, 255));
  setup.pixels = parsePixels(given, where);
  return {window, setup};
}

std::vector<std::string> capturePaths() {
  std::lock_guard<std::mutex> guard(modelLock());
  return model().capturePaths;
}

}  // namespace sim

std::optional<WindowCapture> platformStartWindowCapture(std::uint32_t window,
                                                        const std::string& path) {
  callHook("platformStartWindowCapture");
  auto capture = std::make_shared<SimCapture>();
  capture->path = path;
  {
    std::lock_guard<std::mutex> guard(modelLock());
    Desktop& desktop = model();
    applyDue(desktop);
    capture->given = captureFor(desktop, window);
    desktop.capturePaths.push_back(path);
  }
  capture->due = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                          std::chrono::duration<double>(capture->given.seconds));
  // The output file exists from the start, as the real tool's does.
  if (!capture->given.pixels && !writeFile(path, {})) {
    capture->given.result = CaptureResult::Fail;
    capture->given.exitStatus = 1;
  }
  return WindowCapture{capture};
}

bool platformCaptureRunning(const WindowCapture& capture) {
  callHook("platformCaptureRunning");
  SimCapture* running = captureOf(capture);
  if (!running) return false;
  std::lock_guard<std::mutex> guard(running->lock);
  finishIfDue(*running);
  return !running->terminated && !running->status;
}

// Captures end lazily at their due time: the wait lasts until then at most.
void platformWaitForCapture(const WindowCapture& capture, double seconds) {
  callHook("platformWaitForCapture");
  SimCapture* running = captureOf(capture);
  if (!running) return;
  SteadyClock::time_point due;
  {
    std::lock_guard<std::mutex> guard(running->lock);
    if (running->terminated || running->status) return;
    due = running->due;
  }
  const double untilDue = std::chrono::duration<double>(due - SteadyClock::now()).count();
  sleepSeconds(std::clamp(untilDue, 0.0, seconds));
}

void platformTerminateCapture(const WindowCapture& capture) {
  callHook("platformTerminateCapture");
  SimCapture* running = captureOf(capture);
  if (!running) return;
  std::lock_guard<std::mutex> guard(running->lock);
  if (!running->status) running->terminated = true;
}

std::optional<int> platformCaptureExitStatus(const WindowCapture& capture) {
  callHook("platformCaptureExitStatus");
  SimCapture* running = captureOf(capture);
  if (!running) return std::nullopt;
  std::lock_guard<std::mutex> guard(running->lock);
  finishIfDue(*running);
  if (running->terminated) return std::nullopt;
  return running->status;
}

std::optional<CapturedPixels> platformTakeCapturedPixels(const WindowCapture& capture) {
  callHook("platformTakeCapturedPixels");
  SimCapture* running = captureOf(capture);
  if (!running) return std::nullopt;
  std::lock_guard<std::mutex> guard(running->lock);
  finishIfDue(*running);
  if (running->terminated) return std::nullopt;
  return std::exchange(running->pixels, std::nullopt);
}

}  // namespace qcu
