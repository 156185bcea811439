#include "observation/screenshot.h"

#include <cairo.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "desktop/platform.h"
#include "foundation/limits.h"
#include "foundation/uuid.h"
#include "session/identity.h"

namespace qcu {
namespace {

constexpr int MIN_PICTURE_WIDTH = 32;
constexpr int MIN_PICTURE_HEIGHT = 24;
constexpr double SHRINK_FACTOR = 0.8;
constexpr double CAPTURE_POLL_SECONDS = 0.01;
constexpr std::string_view DATA_URL_PREFIX = "data:image/png;base64,";

bool pastDeadline(TimePoint deadline) {
  return wallNow() > deadline;
}

// Captured pictures are accepted from 1 to MAX_CAPTURED_SIDE pixels in each dimension.
bool capturedSizeAccepted(std::int64_t width, std::int64_t height) {
  return width >= 1 && width <= MAX_CAPTURED_SIDE && height >= 1 && height <= MAX_CAPTURED_SIDE;
}

// Removes the capture's file however the pipeline ends; a failed removal is ignored.
struct RemoveOnExit {
  std::string path;
  ~RemoveOnExit() { unlink(path.c_str()); }
};

using SurfacePtr = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;
using ContextPtr = std::unique_ptr<cairo_t, decltype(&cairo_destroy)>;
using FilePtr = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

cairo_status_t readFromFile(void* closure, unsigned char* data, unsigned int length) {
  auto* file = static_cast<std::FILE*>(closure);
  return std::fread(data, 1, length, file) == length ? CAIRO_STATUS_SUCCESS
                                                     : CAIRO_STATUS_READ_ERROR;
}

std::uint32_t bigEndian32(const unsigned char* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

// The width and height a PNG file's header declares, read before anything is decoded so that a
// picture of an unaccepted size is never unpacked into memory.
bool headerSizeAccepted(std::FILE* file) {
  static const unsigned char SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  unsigned char header[24];
  if (std::fread(header, 1, sizeof header, file) != sizeof header) return false;
  if (!std::equal(SIGNATURE, SIGNATURE + 8, header)) return false;
  if (!std::equal(header + 12, header + 16, "IHDR")) return false;
  return capturedSizeAccepted(bigEndian32(header + 16), bigEndian32(header + 20));
}

// The decoded picture of a PNG file; none when the file is missing, not a PNG, or of a size
// outside 1..8192 in either dimension.
SurfacePtr decodePicture(const std::string& path) {
  SurfacePtr none(nullptr, &cairo_surface_destroy);
  FilePtr file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file || !headerSizeAccepted(file.get())) return none;
  std::rewind(file.get());
  SurfacePtr image(cairo_image_surface_create_from_png_stream(readFromFile, file.get()),
                   &cairo_surface_destroy);
  if (cairo_surface_status(image.get()) != CAIRO_STATUS_SUCCESS) return none;
  if (!capturedSizeAccepted(cairo_image_surface_get_width(image.get()),
                            cairo_image_surface_get_height(image.get()))) {
    return none;
  }
  return image;
}

// Collects encoded bytes, giving up as soon as they exceed the budget: a larger encoding would
// be thrown away anyway.
struct Encoded {
  std::string bytes;
  bool overflowed = false;
};

cairo_status_t appendWithinBudget(void* closure, const unsigned char* data, unsigned int length) {
  auto* encoded = static_cast<Encoded*>(closure);
  if (encoded->bytes.size() + length > MAX_COMPUTER_SCREENSHOT_BYTES) {
    encoded->overflowed = true;
    return CAIRO_STATUS_WRITE_ERROR;
  }
  encoded->bytes.append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

// Result of one attempt: the PNG when it fits, "too large" when it does not, or a failure.
struct Attempt {
  bool failed = false;
  std::optional<std::string> png;
};

// Draws the whole picture into width x height pixels of RGB without alpha, smoothed, and
// encodes them as PNG within the byte budget.
Attempt encodeAt(cairo_surface_t* image, int width, int height) {
  SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height),
                     &cairo_surface_destroy);
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return {true, {}};
  ContextPtr context(cairo_create(surface.get()), &cairo_destroy);
  if (cairo_status(context.get()) != CAIRO_STATUS_SUCCESS) return {true, {}};
  cairo_scale(context.get(), static_cast<double>(width) / cairo_image_surface_get_width(image),
              static_cast<double>(height) / cairo_image_surface_get_height(image));
  cairo_set_source_surface(context.get(), image, 0, 0);
  cairo_pattern_t* pattern = cairo_get_source(context.get());
  cairo_pattern_set_filter(pattern, CAIRO_FILTER_GOOD);
  // Edge pixels repeat outwards, so the border is not smoothed into black.
  cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
  cairo_set_operator(context.get(), CAIRO_OPERATOR_SOURCE);
  cairo_paint(context.get());
  if (cairo_status(context.get()) != CAIRO_STATUS_SUCCESS) return {true, {}};
  cairo_surface_flush(surface.get());

  Encoded encoded;
  cairo_status_t status =
      cairo_surface_write_to_png_stream(surface.get(), appendWithinBudget, &encoded);
  if (encoded.overflowed) return {false, std::nullopt};
  if (status != CAIRO_STATUS_SUCCESS || encoded.bytes.empty()) return {true, {}};
  return {false, std::move(encoded.bytes)};
}

// Whole pixels of a scaled side. The product is nudged up by a hair before rounding down, so
// that 512 / 2000 x 2000 gives 512 and not the 511 its floating-point error would give.
int scaledSide(double scale, int side) {
  return static_cast<int>(std::floor(scale * side * (1 + 1e-12)));
}

// The first PNG encoding of the picture that fits, shrinking by SHRINK_FACTOR per attempt.
std::optional<std::string> fitSurface(cairo_surface_t* image, TimePoint deadline) {
  const int width = cairo_image_surface_get_width(image);
  const int height = cairo_image_surface_get_height(image);
  double scale = std::min({static_cast<double>(MAX_COMPUTER_SCREENSHOT_WIDTH) / width,
                           static_cast<double>(MAX_COMPUTER_SCREENSHOT_HEIGHT) / height, 1.0});
  for (;;) {
    const int scaledWidth = scaledSide(scale, width);
    const int scaledHeight = scaledSide(scale, height);
    if (scaledWidth < MIN_PICTURE_WIDTH || scaledHeight < MIN_PICTURE_HEIGHT) return std::nullopt;
    if (pastDeadline(deadline)) return std::nullopt;
    // Every attempt starts again from the captured picture.
    Attempt attempt = encodeAt(image, scaledWidth, scaledHeight);
    if (attempt.failed) return std::nullopt;
    if (attempt.png) return attempt.png;
    scale *= SHRINK_FACTOR;
  }
}

}  // namespace

std::string temporaryDirectory() {
  const char* given = std::getenv("TMPDIR");
  std::string directory = given && *given ? given : "/tmp/";
  if (directory.back() != '/') directory.push_back('/');
  return directory;
}

std::string captureFilePath() {
  return temporaryDirectory() + "quorvel-cu-" + randomUUIDString() + ".png";
}

std::string base64Encode(std::string_view bytes) {
  // Whole blocks of at most 3 * 2^20 input bytes, so each length fits the library's int.
  constexpr std::size_t BLOCK = 3 << 20;
  std::string out((bytes.size() + 2) / 3 * 4 + 1, '\0');  // and the library's closing NUL
  std::size_t written = 0;
  for (std::size_t at = 0; at < bytes.size(); at += BLOCK) {
    const std::size_t length = std::min(BLOCK, bytes.size() - at);
    // Writes the encoding and a NUL, which the next block or the resize drops.
    written += static_cast<std::size_t>(EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(out.data() + written),
        reinterpret_cast<const unsigned char*>(bytes.data() + at), static_cast<int>(length)));
  }
  out.resize(written);
  return out;
}

std::optional<std::string> fitPicture(const std::string& path, TimePoint deadline) {
  SurfacePtr image = decodePicture(path);
  if (!image) return std::nullopt;
  return fitSurface(image.get(), deadline);
}

std::optional<std::string> fitPixels(const CapturedPixels& picture, TimePoint deadline) {
  if (!capturedSizeAccepted(picture.width, picture.height) ||
      picture.pixels.size() != static_cast<std::size_t>(picture.width) * picture.height) {
    return std::nullopt;
  }
  // The surface only reads the pixels; cairo's interface takes them without const.
  auto* data = reinterpret_cast<unsigned char*>(const_cast<std::uint32_t*>(picture.pixels.data()));
  SurfacePtr image(cairo_image_surface_create_for_data(data, CAIRO_FORMAT_RGB24, picture.width,
                                                       picture.height, picture.width * 4),
                   &cairo_surface_destroy);
  if (cairo_surface_status(image.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  return fitSurface(image.get(), deadline);
}

std::optional<std::string> windowPNG(const WinRec& window, TimePoint deadline) {
  try {
    if (permissionsForcedOff() || !platformScreenCaptureAllowed()) return std::nullopt;
    const RemoveOnExit file{captureFilePath()};
    auto capture = platformStartWindowCapture(window.id, file.path);
    if (!capture) return std::nullopt;
    while (platformCaptureRunning(*capture)) {
      if (pastDeadline(deadline)) {
        platformTerminateCapture(*capture);
        return std::nullopt;
      }
      platformWaitForCapture(*capture, CAPTURE_POLL_SECONDS);
    }
    if (platformCaptureExitStatus(*capture) != 0) return std::nullopt;
    // A capture that holds its picture as pixels wrote no file.
    auto pixels = platformTakeCapturedPixels(*capture);
    auto png = pixels ? fitPixels(*pixels, deadline) : fitPicture(file.path, deadline);
    if (!png) return std::nullopt;
    return std::string(DATA_URL_PREFIX) + base64Encode(*png);
  } catch (...) {
    // Memory exhaustion or a broken random source: no picture, as for any other failure.
    return std::nullopt;
  }
}

}  // namespace qcu
