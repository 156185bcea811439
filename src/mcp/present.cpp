#include "mcp/present.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <map>

namespace qcu::mcp {
namespace {

constexpr std::string_view PNG_DATA_URL = "data:image/png;base64,";
// Always reported by the helper and of no use to a model.
constexpr std::string_view CONSTANT_OMISSION = "ocr-not-implemented-on-macos";
constexpr std::size_t CHUNK_SCALARS = 16;

double number(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_number() ? it->get<double>() : 0.0;
}

std::string text(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool flag(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

const json& member(const json& object, const char* key) {
  static const json* none = new json();
  if (!object.is_object()) return *none;
  auto it = object.find(key);
  return it != object.end() ? *it : *none;
}

long rounded(double value) {
  return std::lround(value);
}

// What the model reads keeps the order it was written in.
using ordered_json = nlohmann::ordered_json;

}  // namespace

Listing presentListing(const json& answer) {
  Listing listing;
  ordered_json windows = ordered_json::array();
  for (const auto& candidate : member(answer, "candidates")) {
    if (!candidate.is_object()) continue;
    ListedWindow window{member(candidate, "identity"), text(candidate, "candidateToken"),
                        text(candidate, "title"), text(candidate, "processName")};
    const json& geometry = member(candidate, "geometry");
    windows.push_back({{"window", listing.windows.size() + 1},
                       {"title", window.title},
                       {"application", window.application},
                       {"foreground", flag(candidate, "foreground")},
                       {"width", rounded(number(geometry, "width"))},
                       {"height", rounded(number(geometry, "height"))}});
    listing.windows.push_back(std::move(window));
  }
  ordered_json shown = {{"windows", windows}};
  const json& skipped = member(answer, "skipped");
  if (skipped.is_object() && !skipped.empty()) shown["withheld"] = ordered_json(skipped);
  if (windows.empty()) shown["note"] = "No window can be operated right now.";
  listing.text = shown.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
  return listing;
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> pngSize(const std::string& base64) {
  // The signature and the header chunk's length, type, width and height: 24 bytes, which are
  // the first 32 characters of the base64 text.
  constexpr int TEXT = 32;
  if (base64.size() < TEXT) return std::nullopt;
  unsigned char bytes[TEXT / 4 * 3];
  if (EVP_DecodeBlock(bytes, reinterpret_cast<const unsigned char*>(base64.data()), TEXT) != 24) {
    return std::nullopt;
  }
  static const unsigned char SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (!std::equal(SIGNATURE, SIGNATURE + 8, bytes) ||
      std::string_view(reinterpret_cast<const char*>(bytes + 12), 4) != "IHDR") {
    return std::nullopt;
  }
  auto big = [&](int at) {
    return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
           (std::uint32_t{bytes[at + 2]} << 8) | std::uint32_t{bytes[at + 3]};
  };
  const std::uint32_t width = big(16);
  const std::uint32_t height = big(20);
  if (width == 0 || height == 0) return std::nullopt;
  return std::make_pair(width, height);
}

PresentedObservation presentObservation(const json& observation, const ListedWindow& window) {
  PresentedObservation presented;
  Observation& kept = presented.observation;
  kept.probe = member(observation, "probe");
  const json& geometry = member(kept.probe, "geometry");
  Frame& frame = kept.frame;
  frame.left = number(geometry, "left");
  frame.top = number(geometry, "top");
  frame.width = std::max(1.0, number(geometry, "width"));
  frame.height = std::max(1.0, number(geometry, "height"));

  const std::string url = text(observation, "screenshotDataUrl");
  std::optional<std::pair<std::uint32_t, std::uint32_t>> picture;
  if (url.starts_with(PNG_DATA_URL)) {
    std::string base64 = url.substr(PNG_DATA_URL.size());
    picture = pngSize(base64);
    if (picture) presented.image = std::move(base64);
  }
  if (picture) {
    frame.scaleX = picture->first / frame.width;
    frame.scaleY = picture->second / frame.height;
  }

  ordered_json elements = ordered_json::array();
  for (const auto& element : member(observation, "elements")) {
    if (!element.is_object()) continue;
    ObservedElement seen;
    seen.backendRef = text(element, "backendRef");
    seen.role = text(element, "role");
    seen.label = text(element, "label");
    for (const auto& action : member(element, "supportedActions")) {
      if (action.is_string()) seen.actions.push_back(action.get<std::string>());
    }
    if (member(element, "state").is_string()) seen.state = text(element, "state");
    seen.valueState = member(element, "valueState");
    const json& bounds = member(element, "bounds");
    seen.left = number(bounds, "left");
    seen.top = number(bounds, "top");
    seen.width = number(bounds, "width");
    seen.height = number(bounds, "height");

    ordered_json shown = {{"element", kept.elements.size() + 1},
                          {"role", seen.role},
                          {"label", seen.label},
                          {"actions", seen.actions},
                          {"bounds",
                           {{"x", rounded((seen.left - frame.left) * frame.scaleX)},
                            {"y", rounded((seen.top - frame.top) * frame.scaleY)},
                            {"width", rounded(seen.width * frame.scaleX)},
                            {"height", rounded(seen.height * frame.scaleY)}}}};
    if (seen.state) shown["state"] = *seen.state;
    if (seen.valueState.is_object()) {
      shown["textLength"] = ordered_json(member(seen.valueState, "scalarLength"));
    }
    elements.push_back(std::move(shown));
    kept.elements.push_back(std::move(seen));
  }

  ordered_json omissions = ordered_json::array();
  for (const auto& omission : member(observation, "omissions")) {
    if (omission.is_string() && omission != CONSTANT_OMISSION)
      omissions.push_back(omission.get<std::string>());
  }
  ordered_json shown = {
      {"window",
       {{"title", text(kept.probe, "title")},
        {"application", window.application},
        {"foreground", flag(kept.probe, "foreground")},
        {"width", rounded(frame.width)},
        {"height", rounded(frame.height)}}},
      {"coordinates", picture ? "window-relative, in pixels of the screenshot (" +
                                    std::to_string(picture->first) + "x" +
                                    std::to_string(picture->second) + ")"
                              : std::string("window-relative, in window points (no screenshot)")},
      {"elements", elements},
      {"text", text(observation, "text")}};
  if (!omissions.empty()) shown["omitted"] = omissions;
  presented.text = shown.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
  return presented;
}

std::pair<std::int64_t, std::int64_t> screenPoint(const Frame& frame, double x, double y) {
  return {static_cast<std::int64_t>(std::floor(frame.left + x / frame.scaleX)),
          static_cast<std::int64_t>(std::floor(frame.top + y / frame.scaleY))};
}

std::pair<std::int64_t, std::int64_t> elementCentre(const Frame& frame,
                                                    const ObservedElement& element) {
  auto inside = [](double value, double low, double size) {
    return static_cast<std::int64_t>(std::floor(std::clamp(value, low, low + size - 1)));
  };
  return {inside(element.left + element.width / 2, frame.left, frame.width),
          inside(element.top + element.height / 2, frame.top, frame.height)};
}

json expectedTransition(const ObservedElement& element) {
  if (!element.state) return nullptr;
  const std::string& state = *element.state;
  if (state == "off") return {{"kind", "toggle"}, {"before", "off"}, {"after", "on"}};
  if (state == "on") return {{"kind", "toggle"}, {"before", "on"}, {"after", "off"}};
  if (state == "not-selected") {
    return {{"kind", "selection"}, {"before", "not-selected"}, {"after", "selected"}};
  }
  // Pressing a selected or indeterminate element has no single predictable outcome.
  return nullptr;
}

std::vector<std::string> textChunks(const std::string& text) {
  std::vector<std::string> chunks;
  std::size_t start = 0;
  std::size_t scalars = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    // A scalar starts at every byte that is not a continuation byte (10xxxxxx).
    const bool boundary = i == text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    if (!boundary) continue;
    if (scalars == CHUNK_SCALARS || (i == text.size() && i > start)) {
      chunks.push_back(text.substr(start, i - start));
      start = i;
      scalars = 0;
    }
    ++scalars;
  }
  return chunks;
}

std::string readbackWords(const json& readback, const std::string& what) {
  const bool matched = flag(readback, "matched");
  const bool dispatched = flag(readback, "dispatchAccepted");
  const bool proven = flag(readback, "effectMatched");
  std::string words;
  if (matched && proven) {
    words =
        "Effect proven: " + what + " took effect, and the window is still the same one, in front.";
  } else if (matched && dispatched) {
    words = "Dispatched but unproven: " + what +
            " reached the window, which is still the same one, in front, but its effect could "
            "not be confirmed. Observe to see what changed.";
  } else if (matched) {
    words = "Nothing was dispatched: " + what +
            " was not sent; the window is still the same one, in front.";
  } else {
    words = std::string("Uncertain: ") +
            (dispatched ? "input was dispatched" : "no input was dispatched") + " for " + what +
            ", but the window could not be confirmed as the same one, unchanged and in front, "
            "afterwards. Observe before acting again.";
  }
  return words + " (Helper readback: " + text(readback, "detail") + ".)";
}

std::string refusalWords(const std::string& code, const std::string& message) {
  static const auto* hints = new std::map<std::string, std::string>{
      {"stale_element", "Observe again and use the new element numbers."},
      {"stale_value_state", "The field changed since it was observed: observe again."},
      {"stale_snapshot", "The window moved or changed: observe again."},
      {"target_title_changed", "The window's title changed: observe again."},
      {"target_changed", "The window changed: observe again."},
      {"stale_focus", "The window is not in front: bind it again to bring it forward."},
      {"hardware_input", "The user used the keyboard or mouse: observe again before acting."},
      {"foreground_changed", "Another window came to the front: bind the window again."},
      {"stale_element_state", "The element changed: observe again."},
      {"focus_lost", "The window is not in front: bind it again to bring it forward."},
      {"bad_candidate_token", "Call list_windows again and bind from the new list."},
      {"candidate_token_required", "Call list_windows again and bind from the new list."},
      {"binding_required", "Call list_windows and bind_window first."},
      {"target_destroyed", "The window is gone: call list_windows and bind another window."},
      {"screen_locked", "The screen is locked: wait until the user unlocks it."},
      {"forbidden_target", "This window is protected and cannot be operated."},
      {"protected_target", "This window shows a protected surface and cannot be operated."},
      {"password_surface", "This window shows a password field and cannot be operated."},
      {"authentication_surface", "This window shows a sign-in surface and cannot be operated."},
      {"clipboard_sequence_required",
       "Paste only after a Ctrl+C or Ctrl+X pressed with press_key in this session."},
      {"clipboard_changed", "The clipboard changed since this session copied: copy again."},
      {"hit_test_failed", "Something covers that point: observe again."},
      {"point_outside", "The point lies outside the window: use a point in the screenshot."},
      {"observe_timeout", "The window answered too slowly: try again."},
      {"stopped", "A stop cancelled it: observe again, then act."},
  };
  std::string words = "Refused (" + code + "): " + message + ".";
  if (auto hint = hints->find(code); hint != hints->end()) words += " " + hint->second;
  return words;
}

std::string eventWords(const json& event) {
  const std::string type = text(member(event, "event"), "type");
  if (type == "hardware-input") return "the user used the keyboard or mouse (hardware-input)";
  if (type == "focus-lost") return "the bound window lost the front (focus-lost)";
  if (type == "screen-locked") return "the screen locked (screen-locked)";
  if (type == "target-destroyed") return "the bound window closed (target-destroyed)";
  return text(member(event, "event"), "detail") + " (" + type + ")";
}

}  // namespace qcu::mcp
