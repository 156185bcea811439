// How helper answers are shown to a model and how its numbers and points go back to the helper.
#include "mcp/present.h"

#include <gtest/gtest.h>

#include <string>

namespace qcu::mcp {
namespace {

// A 1 x 1 PNG as it is commonly published: an independent source for the header layout.
const std::string ONE_PIXEL_PNG =
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNkYPhfDwAChwGA60e6kgAAAABJRU5ErkJggg"
    "==";

TEST(PngSize, ReadsTheHeaderAndRefusesWhatIsNoPng) {
  auto size = pngSize(ONE_PIXEL_PNG);
  ASSERT_TRUE(size);
  EXPECT_EQ(size->first, 1u);
  EXPECT_EQ(size->second, 1u);
  EXPECT_FALSE(pngSize(ONE_PIXEL_PNG.substr(0, 31)));
  EXPECT_FALSE(pngSize("R0lGODlhAQABAIAAAAAAAP///yH5BAEAAAAALAAAAAABAAEAAAIBRAA7"));  // a GIF
  EXPECT_FALSE(pngSize(std::string(40, '*')));
}

using Point = std::pair<std::int64_t, std::int64_t>;
Point at(std::int64_t x, std::int64_t y) {
  return {x, y};
}

json observationWith(json screenshot) {
  json observation = {
      {"probe",
       {{"title", "Draft"},
        {"foreground", true},
        {"geometry", {{"left", 100}, {"top", 80}, {"width", 640}, {"height", 480}}}}},
      {"elements",
       {{{"backendRef", "element:a"},
         {"role", "TextField"},
         {"label", "Subject"},
         {"supportedActions", {"type"}},
         {"bounds", {{"left", 120}, {"top", 110}, {"width", 300}, {"height", 24}}},
         {"valueState", {{"fingerprint", "f00d"}, {"scalarLength", 11}}}},
        {{"backendRef", "element:b"},
         {"role", "CheckBox"},
         {"label", "Keep"},
         {"supportedActions", {"click"}},
         {"bounds", {{"left", 720}, {"top", 540}, {"width", 60}, {"height", 80}}},
         {"state", "off"}}}},
      {"omissions", {"ocr-not-implemented-on-macos", "text-limit"}},
      {"text", "Subject\nKeep"}};
  if (!screenshot.is_null()) observation["screenshotDataUrl"] = screenshot;
  return observation;
}

TEST(PresentObservation, NumbersElementsAndMapsPointsBetweenScreenAndPicture) {
  // A 1 x 1 picture of a 640 x 480 window: every picture pixel covers the whole window.
  auto presented = presentObservation(observationWith("data:image/png;base64," + ONE_PIXEL_PNG),
                                      ListedWindow{json::object(), "", "Draft", "Notes"});
  ASSERT_TRUE(presented.image);
  EXPECT_EQ(*presented.image, ONE_PIXEL_PNG);
  const json shown = json::parse(presented.text);
  ASSERT_EQ(shown["elements"].size(), 2u);
  EXPECT_EQ(shown["elements"][0]["element"], 1);
  EXPECT_EQ(shown["elements"][0]["textLength"], 11);
  EXPECT_EQ(shown["elements"][1]["state"], "off");
  EXPECT_EQ(shown["omitted"], json({"text-limit"}));
  EXPECT_EQ(presented.text.find("f00d"), std::string::npos) << "no value fingerprint shown";

  const Frame& frame = presented.observation.frame;
  EXPECT_EQ(screenPoint(frame, 0, 0), at(100, 80));
  EXPECT_EQ(screenPoint(frame, 0.5, 0.5), at(420, 320));
}

TEST(PresentObservation, WithoutAUsablePictureCoordinatesAreWindowPoints) {
  for (json screenshot : {json(), json("data:image/png;base64,AAAA"), json("data:text/plain,x")}) {
    SCOPED_TRACE(screenshot.dump());
    auto presented = presentObservation(observationWith(screenshot), ListedWindow{});
    EXPECT_FALSE(presented.image);
    const Frame& frame = presented.observation.frame;
    EXPECT_EQ(screenPoint(frame, 20, 30), at(120, 110));
    const json shown = json::parse(presented.text);
    EXPECT_EQ(shown["elements"][0]["bounds"],
              json({{"x", 20}, {"y", 30}, {"width", 300}, {"height", 24}}));
  }
}

TEST(ElementCentre, StaysInsideTheWindowForAnElementReachingOutOfIt) {
  auto presented = presentObservation(observationWith(nullptr), ListedWindow{});
  const auto& observation = presented.observation;
  // The check box's centre (750, 580) lies outside the window, which ends at 740 x 560
  // (exclusive): the click goes to the window's last point toward it.
  EXPECT_EQ(elementCentre(observation.frame, observation.elements[1]), at(739, 559));
  const auto inside = elementCentre(observation.frame, observation.elements[0]);
  EXPECT_EQ(inside, at(270, 122));
}

TEST(TextChunks, AtMostSixteenScalarsEachAndNothingLostAcrossMultibyteCharacters) {
  std::string text;
  for (int i = 0; i < 20; ++i)
    text += "\xF0\x9F\x98\x80";  // U+1F600, four bytes
  text += "abc\xC3\xA9";
  const auto chunks = textChunks(text);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0], std::string(text, 0, 64));
  std::string joined;
  for (const auto& chunk : chunks)
    joined += chunk;
  EXPECT_EQ(joined, text);
  EXPECT_TRUE(textChunks("").empty());
  EXPECT_EQ(textChunks(std::string(16, 'x')).size(), 1u);
  EXPECT_EQ(textChunks(std::string(17, 'x')).size(), 2u);
}

TEST(ReadbackWords, ClaimProofOnlyWhenTheTargetMatchedAndTheEffectWasProven) {
  struct Case {
    bool matched, dispatched, proven;
    const char* opening;
  };
  const Case cases[] = {
      {true, true, true, "Effect proven"},
      {true, true, false, "Dispatched but unproven"},
      {true, false, false, "Nothing was dispatched"},
      {false, true, false, "Uncertain: input was dispatched"},
      {false, false, false, "Uncertain: no input was dispatched"},
      // The helper never reports this; were it to, nothing is proven about an unmatched target.
      {false, true, true, "Uncertain: input was dispatched"},
  };
  for (const auto& c : cases) {
    json readback = {{"matched", c.matched},
                     {"dispatchAccepted", c.dispatched},
                     {"effectMatched", c.proven},
                     {"detail", "some detail"}};
    const std::string words = readbackWords(readback, "the click");
    EXPECT_TRUE(words.starts_with(c.opening)) << words;
    EXPECT_NE(words.find("some detail"), std::string::npos);
  }
}

}  // namespace
}  // namespace qcu::mcp
