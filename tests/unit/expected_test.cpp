// Reading the owner's echoed window state, and comparing it with a fresh probe.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>

#include "binding/expected.h"
#include "foundation/errors.h"
#include "support/harness.h"

namespace qcu {
namespace {

using Json = nlohmann::json;

const std::string FINGERPRINT = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const Ident IDENT{4242, "17000000000000000", 77};

// The state a probe would report for a front, unlocked window.
ProbeData probe() {
  ProbeData data;
  data.identity = IDENT;
  data.title = "Report.txt";
  data.titleFingerprint = FINGERPRINT;
  data.geometry = Rect{-1200, -40, 800, 600};
  data.dpi = 96;
  data.foreground = true;
  data.locked = false;
  data.epoch = 12;
  data.occluded = false;
  data.hitOwn = true;
  return data;
}

// The owner's echo of that probe.
Json echo() {
  return probe().object();
}

using test::expectSafeError;

void expectParseError(const Json& object, const std::string& code, const std::string& message) {
  SCOPED_TRACE(object.dump());
  expectSafeError([&] { parseExpected(object, IDENT); }, code, message);
}

void expectBadGeometry(const Json& object) {
  expectParseError(object, "bad_geometry", "positive geometry required");
}
void expectBadTitle(const Json& object) {
  expectParseError(object, "bad_title", "complete window title fingerprint required");
}
void expectIncomplete(const Json& object) {
  expectParseError(object, "bad_request", "expected state incomplete");
}
void expectFieldRequired(const Json& object, const std::string& key) {
  expectParseError(object, "bad_request", "field " + key + " required");
}

// A user-perceived character of three bytes: "e" with a combining acute accent.
std::string accented(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i)
    text += "e\xCC\x81";
  return text;
}

TEST(ParseExpected, RebuildsTheProbeFromItsOwnWireObject) {
  Json object = echo();
  // The identity comes from the request, not from the echoed object; the flags that are not
  // compared are set to the passing values whatever the echo says.
  object["identity"] = Ident{1, "2", 3}.object();
  object["occluded"] = true;
  object["hitTestOwnWindow"] = false;
  object["secureSurface"] = true;
  ProbeData parsed = parseExpected(object, IDENT);
  EXPECT_EQ(parsed.identity, IDENT);
  EXPECT_EQ(parsed.title, "Report.txt");
  EXPECT_EQ(parsed.titleFingerprint, FINGERPRINT);
  EXPECT_EQ(parsed.geometry.x, -1200);
  EXPECT_EQ(parsed.geometry.y, -40);
  EXPECT_EQ(parsed.geometry.width, 800);
  EXPECT_EQ(parsed.geometry.height, 600);
  EXPECT_EQ(parsed.dpi, 96);
  EXPECT_TRUE(parsed.foreground);
  EXPECT_FALSE(parsed.locked);
  EXPECT_EQ(parsed.epoch, 12);
  EXPECT_FALSE(parsed.occluded);
  EXPECT_TRUE(parsed.hitOwn);
  EXPECT_NO_THROW(requireExpected(parsed, probe()));
}

TEST(ParseExpected, NumbersReadAsTruncatedIntegers) {
  Json object = echo();
  object["geometry"]["left"] = 10.9;
  object["geometry"]["width"] = true;  // booleans and numbers share one representation
  object["dpi"] = 96.7;
  object["userInputEpoch"] = -3.7;
  ProbeData parsed = parseExpected(object, IDENT);
  EXPECT_EQ(parsed.geometry.x, 10);
  EXPECT_EQ(parsed.geometry.width, 1);
  EXPECT_EQ(parsed.dpi, 96);
  EXPECT_EQ(parsed.epoch, -3);

  object["userInputEpoch"] = 9223372036854775807LL;
  EXPECT_EQ(parseExpected(object, IDENT).epoch, 9223372036854775807LL);
}

TEST(ParseExpected, GeometryMustBeAnObjectOfFourNumbersWithPositiveSize) {
  for (Json geometry : {Json(), Json("0,0,1,1"), Json::array({0, 0, 1, 1})}) {
    Json object = echo();
    object["geometry"] = geometry;
    expectFieldRequired(object, "geometry");
  }
  Json missing = echo();
  missing.erase("geometry");
  expectFieldRequired(missing, "geometry");

  for (const char* member : {"left", "top", "width", "height"}) {
    for (Json bad :
         {Json(), Json("10"), Json(1e300), Json(-1e300), Json::object(), Json::array()}) {
      Json object = echo();
      object["geometry"][member] = bad;
      expectBadGeometry(object);
    }
    Json object = echo();
    object["geometry"].erase(member);
    expectBadGeometry(object);
  }
  for (const char* member : {"width", "height"}) {
    for (Json bad : {Json(0), Json(-1), Json(0.9), Json(false)}) {
      Json object = echo();
      object["geometry"][member] = bad;
      expectBadGeometry(object);
    }
  }
}

TEST(ParseExpected, TitleIsBoundedInCharactersByItsReader) {
  Json object = echo();
  object["title"] = accented(300);  // 900 bytes, 300 characters
  EXPECT_EQ(parseExpected(object, IDENT).title, accented(300));

  for (Json bad : {Json(accented(301)), Json(""), Json(), Json(5), Json::array({"a"})}) {
    object["title"] = bad;
    expectFieldRequired(object, "title");
  }
  object.erase("title");
  expectFieldRequired(object, "title");
}

TEST(ParseExpected, FingerprintMustBe64LowerCaseHexDigits) {
  Json object = echo();
  std::string upper = FINGERPRINT;
  for (char& c : upper)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& bad : {upper, FINGERPRINT.substr(1), FINGERPRINT.substr(1) + "g",
                                 FINGERPRINT.substr(1) + " ", accented(64)}) {
    object["titleFingerprint"] = bad;
    expectBadTitle(object);
  }
  // Longer than its reader's bound: the reader refuses it before the digits are looked at.
  object["titleFingerprint"] = FINGERPRINT + "0";
  expectFieldRequired(object, "titleFingerprint");
  object["titleFingerprint"] = 0;
  expectFieldRequired(object, "titleFingerprint");
}

TEST(ParseExpected, TheLastFourFieldsAreRequiredWithTheirTypes) {
  for (const char* key : {"dpi", "userInputEpoch", "foreground", "screenLocked"}) {
    Json object = echo();
    object.erase(key);
    expectIncomplete(object);
    object[key] = nullptr;
    expectIncomplete(object);
  }
  auto with = [](const char* key, Json value) {
    Json object = echo();
    object[key] = value;
    return object;
  };
  expectIncomplete(with("dpi", "96"));
  expectIncomplete(with("dpi", 1e300));
  expectIncomplete(with("userInputEpoch", "12"));
  expectIncomplete(with("userInputEpoch", 18446744073709551615ULL));  // beyond signed 64 bits
  expectIncomplete(with("userInputEpoch", 1e300));
  expectIncomplete(with("foreground", 1));
  expectIncomplete(with("foreground", "true"));
  expectIncomplete(with("screenLocked", 0));
  expectIncomplete(with("screenLocked", Json::object()));
}

TEST(ParseExpected, FailuresComeInReadingOrder) {
  Json object = echo();
  object.erase("dpi");
  object["titleFingerprint"] = "ABC";
  expectBadTitle(object);
  object.erase("title");
  expectFieldRequired(object, "title");
  object["geometry"]["width"] = 0;
  expectBadGeometry(object);
  object.erase("geometry");
  expectFieldRequired(object, "geometry");
  // Not an object at all reads as a state without any field.
  expectFieldRequired(Json::array(), "geometry");
  expectFieldRequired(Json("state"), "geometry");
}

void expectStale(const ProbeData& expected, const ProbeData& current) {
  expectSafeError([&] { requireExpected(expected, current); }, "stale_snapshot",
                  "target identity, geometry or DPI changed");
}
void expectTitleChanged(const ProbeData& expected, const ProbeData& current) {
  expectSafeError([&] { requireExpected(expected, current); }, "target_title_changed",
                  "selected window title changed");
}
void expectLocked(const ProbeData& expected, const ProbeData& current) {
  expectSafeError([&] { requireExpected(expected, current); }, "screen_locked",
                  "interactive desktop unavailable");
}
void expectStaleFocus(const ProbeData& expected, const ProbeData& current) {
  expectSafeError([&] { requireExpected(expected, current); }, "stale_focus",
                  "exact target must remain foreground");
}
void expectInput(const ProbeData& expected, const ProbeData& current) {
  expectSafeError([&] { requireExpected(expected, current); }, "hardware_input",
                  "input epoch changed after observation");
}

TEST(RequireExpected, IdentityGeometryAndDpiMustMatch) {
  ProbeData current = probe();
  for (Ident other :
       {Ident{4243, IDENT.start, IDENT.win}, Ident{IDENT.pid, "17000000000000001", IDENT.win},
        Ident{IDENT.pid, IDENT.start, 78}}) {
    ProbeData expected = probe();
    expected.identity = other;
    expectStale(expected, current);
  }
  ProbeData dpi = probe();
  dpi.dpi = 144;
  expectStale(dpi, current);

  ProbeData moved = probe();
  moved.geometry.height = 601;
  expectStale(moved, current);
}

TEST(RequireExpected, GeometryComparesWholePointsRoundedHalfAwayFromZero) {
  ProbeData expected = probe();
  ProbeData current = probe();
  expected.geometry.x = 10;
  current.geometry.x = 10.4;
  EXPECT_NO_THROW(requireExpected(expected, current));
  expected.geometry.x = 10.4;
  current.geometry.x = 10.6;
  expectStale(expected, current);
  expected.geometry.width = 800;
  current.geometry.x = 10;
  current.geometry.width = 799.5;  // rounds to 800
  EXPECT_NO_THROW(requireExpected(expected, current));
  expected.geometry.x = -10;
  current.geometry.x = -10.5;  // rounds to -11
  expectStale(expected, current);
}

TEST(RequireExpected, TitleAndFingerprintMustMatch) {
  ProbeData current = probe();
  ProbeData expected = probe();
  expected.title = "Report.txt - edited";
  expectTitleChanged(expected, current);
  expected = probe();
  expected.titleFingerprint[0] = '1';
  expectTitleChanged(expected, current);
  // Canonically equivalent titles are the same title.
  expected = probe();
  expected.title = "Caf\xC3\xA9";  // precomposed e with acute
  current.title = "Cafe\xCC\x81";  // e and a combining acute
  EXPECT_NO_THROW(requireExpected(expected, current));
}

TEST(RequireExpected, LockThenFocusThenInputEach) {
  ProbeData current = probe();
  ProbeData expected = probe();
  expected.locked = true;
  expectLocked(expected, current);
  expected = probe();
  current.locked = true;
  expectLocked(expected, current);

  current = probe();
  expected.foreground = false;  // the owner saw it behind, though it is in front now
  expectStaleFocus(expected, current);
  expected = probe();
  current.foreground = false;
  expectStaleFocus(expected, current);

  current = probe();
  current.epoch = 13;
  expectInput(expected, current);
}

TEST(RequireExpected, EarlierChecksWinWhenSeveralThingsChanged) {
  ProbeData expected = probe();
  ProbeData current = probe();
  current.epoch = 99;
  current.foreground = false;
  current.locked = true;
  expectLocked(expected, current);
  current.title = "Other";
  expectTitleChanged(expected, current);
  current.geometry.x += 5;
  expectStale(expected, current);
}

TEST(RequireExpected, OcclusionAndHitTestAreNotCompared) {
  ProbeData expected = probe();
  ProbeData current = probe();
  current.occluded = true;
  current.hitOwn = false;
  EXPECT_NO_THROW(requireExpected(expected, current));
  EXPECT_NO_THROW(requireExpected(current, expected));
}

}  // namespace
}  // namespace qcu
