// What the helper answers, put the way a model acts on it: numbered windows and elements,
// window-relative coordinates in the screenshot's pixels, readbacks and refusals in plain words.
// Pure functions; the session keeps what they return.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace qcu::mcp {

using json = nlohmann::json;

// One window of the latest listing, numbered from 1 in list order.
struct ListedWindow {
  json identity;
  std::string candidateToken;
  std::string title;
  std::string application;
};

struct Listing {
  std::vector<ListedWindow> windows;
  std::string text;  // JSON for the model
};

// The "list_candidates" answer of the helper.
Listing presentListing(const json& answer);

// The window as observed and how its coordinates map to the screenshot: a point p of the window
// (screen coordinates) is at ((p.x - left) * scaleX, (p.y - top) * scaleY) in the picture.
struct Frame {
  double left = 0;
  double top = 0;
  double width = 1;
  double height = 1;
  double scaleX = 1;
  double scaleY = 1;
};

struct ObservedElement {
  std::string backendRef;
  std::string role;
  std::string label;
  std::vector<std::string> actions;
  std::optional<std::string> state;
  json valueState;  // {"fingerprint", "scalarLength"} of a text field, else null
  double left = 0, top = 0, width = 0, height = 0;  // screen coordinates
};

struct Observation {
  json probe;  // the expected state every action of this observation carries
  Frame frame;
  std::vector<ObservedElement> elements;  // element n is elements[n - 1]
};

struct PresentedObservation {
  Observation observation;
  std::string text;                  // JSON for the model
  std::optional<std::string> image;  // base64 PNG
};

// The "observation" object of the helper's "observe" answer.
PresentedObservation presentObservation(const json& observation, const ListedWindow& window);

// Width and height from a base64 PNG's signature and header chunk; none when it is no PNG.
std::optional<std::pair<std::uint32_t, std::uint32_t>> pngSize(const std::string& base64);

// Screen point of a window-relative point in picture pixels, in whole points (toward negative
// infinity, the way the helper cuts fractions off non-negative coordinates).
std::pair<std::int64_t, std::int64_t> screenPoint(const Frame& frame, double x, double y);

// The centre of an element, kept inside the window.
std::pair<std::int64_t, std::int64_t> elementCentre(const Frame& frame,
                                                    const ObservedElement& element);

// The state change a press of the element is expected to make, as the helper's
// "expectedTransition", or null when none can be predicted.
json expectedTransition(const ObservedElement& element);

// Text cut into chunks of at most 16 Unicode scalar values, as the helper types them. The text
// is valid UTF-8 (it came through the JSON parser).
std::vector<std::string> textChunks(const std::string& text);

// A commit's readback in plain words. what names the action ("the click on element 3").
std::string readbackWords(const json& readback, const std::string& what);

// A refusal in plain words with what to do next.
std::string refusalWords(const std::string& code, const std::string& message);

// A helper event in plain words.
std::string eventWords(const json& event);

}  // namespace qcu::mcp
