// The window screenshot pipeline against simulated captures: sizes, shrinking, deadlines,
// failures, and the temporary file that must never survive.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <regex>
#include <string>

#include "desktop/sim/sim.h"
#include "desktop/windows.h"
#include "foundation/clock.h"
#include "foundation/limits.h"
#include "observation/screenshot.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using Json = nlohmann::json;

using test::TARGET_PID;
using test::TARGET_WINDOW;
constexpr const char* PREFIX = "data:image/png;base64,";

std::string base64Decode(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    auto at = alphabet.find(c);
    if (at == std::string::npos) return "<not base64>";
    bits = (bits << 6) | static_cast<std::uint32_t>(at);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

// What the PNG header of a data URL says.
struct Picture {
  std::size_t bytes = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int colourType = -1;
};

Picture pictureOf(const std::string& url) {
  EXPECT_EQ(url.rfind(PREFIX, 0), 0u);
  const std::string png = base64Decode(url.substr(std::string(PREFIX).size()));
  Picture picture;
  picture.bytes = png.size();
  if (png.size() < 26 || png.compare(1, 3, "PNG") != 0) return picture;
  auto word = [&](std::size_t at) {
    return (std::uint32_t{static_cast<unsigned char>(png[at])} << 24) |
           (std::uint32_t{static_cast<unsigned char>(png[at + 1])} << 16) |
           (std::uint32_t{static_cast<unsigned char>(png[at + 2])} << 8) |
           std::uint32_t{static_cast<unsigned char>(png[at + 3])};
  };
  picture.width = word(16);
  picture.height = word(20);
  picture.colourType = static_cast<unsigned char>(png[25]);
  return picture;
}

bool exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

class ScreenshotTest : public test::DesktopTest {
 protected:
  void SetUp() override {
    test::DesktopTest::SetUp();
    unsetenv("QUORVEL_CU_FORCE_NO_PERMISSIONS");
  }
  void TearDown() override {
    unsetenv("QUORVEL_CU_FORCE_NO_PERMISSIONS");
    test::DesktopTest::TearDown();
  }

  // One window whose capture is described by capture (without its "window" key).
  static void loadCapture(Json capture) {
    capture["window"] = TARGET_WINDOW;
    test::loadDesktop(
        {{"apps", {test::appEntry(TARGET_PID, "notes")}},
         {"windows", {test::windowRow(TARGET_WINDOW, TARGET_PID, "Notes", {0, 0, 800, 600})}},
         {"captures", {capture}}});
  }

  // A screenshot of the window within seconds; by default a minute, so that only the tests of
  // the deadline itself ever meet it, however slow a sanitizer build on a loaded machine is.
  static std::optional<std::string> shoot(double seconds = 60) {
    WinRec window;
    window.id = TARGET_WINDOW;
    window.pid = TARGET_PID;
    return windowPNG(window, wallAfter(seconds));
  }

  // Every capture started so far left no file behind.
  static void expectNoFilesLeft() {
    for (const auto& path : sim::capturePaths())
      EXPECT_FALSE(exists(path)) << path;
  }
};

TEST_F(ScreenshotTest, LargePicturesShrinkToTheBoxAndSmallOnesStay) {
  struct Case {
    int width, height;
    std::uint32_t expectedWidth, expectedHeight;
  };
  for (const Case& c : {Case{1024, 768, 512, 384}, Case{300, 200, 300, 200},
                        Case{2000, 100, 512, 25}, Case{1000, 3000, 128, 384}}) {
    loadCapture({{"width", c.width}, {"height", c.height}, {"content", "plain"}});
    auto url = shoot();
    ASSERT_TRUE(url) << c.width << "x" << c.height;
    Picture picture = pictureOf(*url);
    EXPECT_EQ(picture.width, c.expectedWidth);
    EXPECT_EQ(picture.height, c.expectedHeight);
    EXPECT_EQ(picture.colourType, 2) << "RGB without alpha";
    EXPECT_LE(picture.bytes, MAX_COMPUTER_SCREENSHOT_BYTES);
    expectNoFilesLeft();
  }
  EXPECT_EQ(sim::capturePaths().size(), 1u);  // each load starts a fresh log
}

TEST_F(ScreenshotTest, BusyPictureShrinksByFifthsUntilItFits) {
  loadCapture({{"width", 1024}, {"height", 768}, {"content", "busy"}});
  auto url = shoot();
  ASSERT_TRUE(url);
  Picture picture = pictureOf(*url);
  EXPECT_LE(picture.bytes, MAX_COMPUTER_SCREENSHOT_BYTES);
  EXPECT_GT(picture.bytes, 0u);
  // The size is one of the attempts 512x384, 409x307, 327x245, ... past the first.
  bool onTheLadder = false;
  double scale = 0.5;
  for (int attempt = 0; attempt < 13; ++attempt, scale *= 0.8) {
    if (picture.width == static_cast<std::uint32_t>(std::floor(scale * 1024 + 1e-9)) &&
        picture.height == static_cast<std::uint32_t>(std::floor(scale * 768 + 1e-9))) {
      onTheLadder = attempt > 0;
    }
  }
  EXPECT_TRUE(onTheLadder) << picture.width << "x" << picture.height;
  expectNoFilesLeft();
}

TEST_F(ScreenshotTest, PicturesOfUnacceptedSizesGiveNothing) {
  // 30 pixels wide is below the 32-pixel floor without any scaling.
  loadCapture({{"width", 30}, {"height", 100}});
  EXPECT_EQ(shoot(), std::nullopt);
  expectNoFilesLeft();
  loadCapture({{"width", 8193}, {"height", 40}, {"content", "plain"}});
  EXPECT_EQ(shoot(), std::nullopt);
  expectNoFilesLeft();
  // Scaled to fit the width, the height falls below 24.
  loadCapture({{"width", 8000}, {"height", 300}, {"content", "plain"}});
  EXPECT_EQ(shoot(), std::nullopt);
}

TEST_F(ScreenshotTest, FailingCapturesGiveNothingAndLeaveNoFile) {
  for (const char* result : {"fail", "garbage", "missing"}) {
    loadCapture({{"result", result}});
    EXPECT_EQ(shoot(), std::nullopt) << result;
    ASSERT_EQ(sim::capturePaths().size(), 1u);
    expectNoFilesLeft();
  }
  // A window that is not on screen cannot be captured.
  test::loadDesktop({{"apps", {test::appEntry(TARGET_PID, "notes")}}});
  EXPECT_EQ(shoot(), std::nullopt);
  expectNoFilesLeft();
}

TEST_F(ScreenshotTest, DeadlinesStopTheCaptureAndTheShrinking) {
  // Still running at the deadline: asked to stop, nothing returned at once.
  loadCapture({{"seconds", 30}});
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(shoot(0.05), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  expectNoFilesLeft();
  // Finished at once, but the deadline has passed before the first shrink attempt.
  loadCapture({{"width", 640}, {"height", 480}});
  EXPECT_EQ(shoot(-1), std::nullopt);
  EXPECT_EQ(sim::capturePaths().size(), 1u);
  expectNoFilesLeft();
}

TEST_F(ScreenshotTest, PixelsHandedOverGiveTheSamePictureAsTheFile) {
  for (const char* content : {"plain", "gradient", "busy"}) {
    const Json capture = {{"width", 1024}, {"height", 768}, {"content", content}};
    loadCapture(capture);
    auto fromFile = shoot();
    Json pixels = capture;
    pixels["delivery"] = "pixels";
    loadCapture(pixels);
    auto fromPixels = shoot();
    ASSERT_TRUE(fromFile && fromPixels) << content;
    EXPECT_EQ(*fromPixels, *fromFile) << content;
    expectNoFilesLeft();
  }
}

TEST_F(ScreenshotTest, PixelCapturesThatFailOrDoNotFitGiveNothing) {
  struct Case {
    const char* name;
    Json capture;
    double seconds;
  };
  const Case cases[] = {
      {"failed", {{"result", "fail"}}, 5},
      {"too few pixels for the size", {{"result", "garbage"}}, 5},
      {"no pixels", {{"result", "missing"}}, 5},
      {"below the floor", {{"width", 30}, {"height", 100}}, 5},
      {"too wide", {{"width", 8193}, {"height", 40}, {"content", "plain"}}, 5},
      {"still running at the deadline", {{"seconds", 30}}, 0.05},
      {"deadline passed before shrinking", {{"width", 640}, {"height", 480}}, -1},
  };
  for (const Case& c : cases) {
    Json capture = c.capture;
    capture["delivery"] = "pixels";
    loadCapture(capture);
    EXPECT_EQ(shoot(c.seconds), std::nullopt) << c.name;
    expectNoFilesLeft();
  }
}

TEST_F(ScreenshotTest, NoPermissionMeansNoCapture) {
  loadCapture({{"width", 640}, {"height", 480}});
  test::controlDesktop({{"op", "set-permissions"}, {"screenCapture", false}});
  EXPECT_EQ(shoot(), std::nullopt);
  test::controlDesktop({{"op", "set-permissions"}, {"screenCapture", true}});
  setenv("QUORVEL_CU_FORCE_NO_PERMISSIONS", "1", 1);
  EXPECT_EQ(shoot(), std::nullopt);
  EXPECT_TRUE(sim::capturePaths().empty());
  unsetenv("QUORVEL_CU_FORCE_NO_PERMISSIONS");
  EXPECT_TRUE(shoot());
}

TEST_F(ScreenshotTest, TemporaryFilesAreFreshlyNamedInTheTemporaryDirectory) {
  loadCapture({{"width", 640}, {"height", 480}});
  EXPECT_TRUE(shoot());
  EXPECT_TRUE(shoot());
  const auto paths = sim::capturePaths();
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_NE(paths[0], paths[1]);
  const std::regex name(
      "quorvel-cu-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\.png");
  for (const auto& path : paths) {
    ASSERT_EQ(path.rfind(temporaryDirectory(), 0), 0u) << path;
    EXPECT_TRUE(std::regex_match(path.substr(temporaryDirectory().size()), name)) << path;
  }
  expectNoFilesLeft();
}

TEST_F(ScreenshotTest, CaptureDescriptionsAreChecked) {
  EXPECT_EQ(sim::load({{"captures", {{{"window", TARGET_WINDOW}, {"result", "maybe"}}}}}),
            "captures[0].result: expected \"picture\", \"fail\", \"garbage\" or \"missing\"");
  EXPECT_EQ(sim::load({{"captures", {{{"result", "fail"}}}}}), "captures[0].window: required");
  EXPECT_EQ(sim::load({{"captures", {{{"window", TARGET_WINDOW}, {"width", 0}}}}}),
            "captures[0].width: out of range");
  auto reply =
      sim::control({{"op", "set-capture"}, {"window", TARGET_WINDOW}, {"content", "noise"}});
  EXPECT_EQ(reply["error"], "command.content: expected \"plain\", \"gradient\" or \"busy\"");
}

TEST(TemporaryDirectory, EndsWithOneSeparator) {
  const char* saved = std::getenv("TMPDIR");
  const std::string restore = saved ? saved : "";
  setenv("TMPDIR", "/var/tmp", 1);
  EXPECT_EQ(temporaryDirectory(), "/var/tmp/");
  setenv("TMPDIR", "/var/tmp/", 1);
  EXPECT_EQ(temporaryDirectory(), "/var/tmp/");
  setenv("TMPDIR", "", 1);
  EXPECT_EQ(temporaryDirectory(), "/tmp/");
  if (saved) {
    setenv("TMPDIR", restore.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

TEST(Base64, StandardAlphabetWithPadding) {
  EXPECT_EQ(base64Encode(""), "");
  EXPECT_EQ(base64Encode("f"), "Zg==");
  EXPECT_EQ(base64Encode("fo"), "Zm8=");
  EXPECT_EQ(base64Encode("foo"), "Zm9v");
  EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(base64Encode(std::string("\xFB\xFF\xBF", 3)), "+/+/");
  EXPECT_EQ(base64Encode(std::string("\0\0", 2)), "AAA=");
}

TEST(Base64, InputsLongerThanOneLibraryCallAreOneEncoding) {
  const std::string zeros((3 << 20) + 1, '\0');
  EXPECT_EQ(base64Encode(zeros), std::string(4 << 20, 'A') + "AA==");
}

}  // namespace
}  // namespace qcu
