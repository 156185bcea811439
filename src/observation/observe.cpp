#include "observation/observe.h"

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "binding/probe.h"
#include "desktop/accessibility.h"
#include "desktop/windows.h"
#include "foundation/errors.h"
#include "foundation/limits.h"
#include "foundation/queue.h"
#include "foundation/text.h"
#include "observation/screenshot.h"
#include "policy/policy.h"
#include "runtime/dispatch.h"
#include "runtime/output.h"
#include "session/state.h"

namespace qcu {
namespace {

using Json = nlohmann::json;

// Longest role on the wire, in UTF-16 code units.
constexpr std::size_t MAX_WIRE_ROLE_UNITS = 80;

[[noreturn]] void failScreenLocked() {
  throw SafeError("screen_locked", "interactive desktop unavailable");
}

[[noreturn]] void failWindowUnavailable() {
  throw SafeError("ax_unavailable", "Accessibility window unavailable");
}

// The text without its first count user-perceived characters.
std::string dropCharacters(std::string_view text, int count) {
  // Printable ASCII followed by ASCII always ends a character, so the common "AX" prefix needs
  // no break iterator.
  const auto printable = [&](std::size_t i) { return text[i] >= 0x20 && text[i] < 0x7F; };
  if (count == 2 && text.size() >= 2 && printable(0) && printable(1) &&
      (text.size() == 2 || static_cast<unsigned char>(text[2]) < 0x80)) {
    return std::string(text.substr(2));
  }
  thread_local std::unique_ptr<icu::BreakIterator> breaks;
  if (!breaks) {
    UErrorCode error = U_ZERO_ERROR;
    breaks.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), error));
    if (U_FAILURE(error) || !breaks) {
      breaks.reset();
      throw std::runtime_error("unicode break data unavailable");
    }
  }
  const icu::UnicodeString unicode =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int>(text.size())));
  breaks->setText(unicode);
  std::int32_t at = breaks->first();
  for (int i = 0; i < count && at != icu::BreakIterator::DONE; ++i)
    at = breaks->next();
  breaks->setText(icu::UnicodeString());
  std::string rest;
  if (at != icu::BreakIterator::DONE) unicode.tempSubString(at).toUTF8String(rest);
  return rest;
}

// The role as the wire shows it: "AXButton" becomes "Button".
std::string wireRole(std::string_view role) {
  return safeDisplay(dropCharacters(role, 2), MAX_WIRE_ROLE_UNITS);
}

// Whether the two rectangles share an area (the frame has a positive size).
bool intersects(const Rect& a, const Rect& b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

// What the walk gathers.
struct Walked {
  Json elements = Json::array();
  std::string text;
  std::set<std::string> omissions;
  std::map<std::string, std::shared_ptr<const ElementEntry>> entries;
};

struct Queued {
  AXElement element;
  std::string path;
};

// The element object of an emitted element, and its entry.
void emit(const AXElement& element, const std::string& role, const std::string& path,
          const std::string& label, std::vector<std::string> actions, const Rect& frame,
          const std::string& backendRef, const Ident& ident, Walked& walked) {
  auto state = elementState(element, role);
  auto entry = std::make_shared<ElementEntry>();
  entry->backendRef = backendRef;
  entry->identity = ident;
  entry->element = element;
  entry->role = role;
  entry->label = label;
  entry->fingerprint = elementFingerprint(element, role, label, path);
  if (state) entry->stateKind = state->first;
  entry->expires = wallAfter(ELEMENT_TTL);

  const bool typeable = std::find(actions.begin(), actions.end(), "type") != actions.end();
  Json object = {{"backendRef", backendRef},
                 {"semanticFingerprint", entry->fingerprint},
                 {"role", wireRole(role)},
                 {"label", label},
                 {"isPassword", false},
                 {"supportedActions", std::move(actions)},
                 {"bounds", geometryObject(frame)}};
  if (state) object["state"] = state->second;
  if (typeable) {
    // Only a fingerprint and a length of the value ever leave the process.
    auto value = currentStringValue(element);
    if (value) {
      const std::size_t scalars = scalarCount(*value);
      if (scalars <= MAX_VALUE_SCALARS) {
        object["valueState"] = {{"fingerprint", valueStateFingerprint(*value)},
                                {"scalarLength", scalars}};
      }
    }
  }
  walked.entries.emplace(backendRef, std::move(entry));
  walked.elements.push_back(std::move(object));
}

// Breadth-first over the window's descendants, visiting at most MAX_COMPUTER_ELEMENTS queue
// positions. Direct children of the window all have the path "0"; a later child has its
// parent's path, ".", and its index among the parent's children.
Walked walkWindow(const AXElement& window, const WinRec& row, const Ident& ident,
                  const std::string& observationId, const CancelToken& token, TimePoint start) {
  Walked walked;
  std::vector<Queued> queue;
  // Positions past the limit are never visited; one more than the limit tells a tree that was
  // cut from one that fits exactly.
  const std::size_t queueCap = MAX_COMPUTER_ELEMENTS + 1;
  for (auto& child : axChildren(window)) {
    if (queue.size() == queueCap) break;
    queue.push_back({std::move(child), "0"});
  }
  std::size_t textBytes = 0;
  for (std::size_t i = 0; i < queue.size(); ++i) {
    requireBudget(token, start);
    if (i == static_cast<std::size_t>(MAX_COMPUTER_ELEMENTS)) {
      walked.omissions.insert("element-limit");
      break;
    }
    // Copies: appending children may move the queue.
    const AXElement element = queue[i].element;
    const std::string path = queue[i].path;

    const auto role = axString(element, "AXRole");
    if (!role) {
      walked.omissions.insert("stale-element-omitted");
      continue;
    }
    if (isPasswordElement(element)) {
      throw SafeError("password_surface",
                      "password descendant makes the whole surface unavailable");
    }
    if (isTextInputRole(*role) && isAuthenticationText(elementMarkerText(element))) {
      throw SafeError("authentication_surface", "login, CAPTCHA or 2FA surface blocked");
    }
    const auto children = axChildren(element);
    for (std::size_t c = 0; c < children.size() && queue.size() < queueCap; ++c) {
      queue.push_back({children[c], path + "." + std::to_string(c)});
    }

    // Disabled, empty and off-window elements are neither read out nor offered; their
    // children were queued above.
    if (axBool(element, "AXEnabled") == false) continue;
    const auto frame = axFrame(element);
    if (!frame || !(frame->width > 0 && frame->height > 0) || !intersects(*frame, row.bounds)) {
      continue;
    }

    const std::string label = elementLabel(element, *role);
    if (!label.empty()) {
      const std::size_t cost = label.size() + 1;
      if (textBytes + cost <= OBSERVATION_TEXT_BYTES) {
        if (!walked.text.empty()) walked.text.push_back('\n');
        walked.text.append(label);
        textBytes += cost;
      } else {
        walked.omissions.insert("text-limit");
      }
    }

    auto actions = supportedActions(element, *role);
    if (actions.empty()) continue;
    emit(element, *role, path, label, std::move(actions), *frame,
         opaque("element", observationId + ":" + std::to_string(i)), ident, walked);
  }
  return walked;
}

// Sets the done flag; true when this caller set it and so gives the one answer.
bool claimAnswer(const Locked<bool>& done) {
  bool claimed = false;
  done.update([&claimed](bool& answered) {
    if (!answered) {
      answered = true;
      claimed = true;
    }
  });
  return claimed;
}

// The budget for {"observation": ...} that also leaves room for the rest of the message, so the
// answer fits one message whatever the request id.
std::size_t responseBudget(const std::string& requestId) {
  const Json envelope = {{"v", PROTOCOL_VERSION},
                         {"type", "observe"},
                         {"requestId", requestId},
                         {"ok", true},
                         {"observation", nullptr}};
  const std::size_t overhead =
      envelope.dump().size() - std::string_view(R"({"observation":null})").size();
  if (overhead >= MAX_MESSAGE_BYTES) return 0;
  return std::min(OBSERVATION_RESPONSE_BYTES, MAX_MESSAGE_BYTES - overhead);
}

void unregister(const std::string& requestId) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.activeObservations.erase(requestId);
}

// Makes the observation's entries the session's element references. The replaced entries are
// released after the lock, since releasing an element handle may reach the platform.
void storeEntries(std::map<std::string, std::shared_ptr<const ElementEntry>> entries) {
  State& s = state();
  {
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.elements.swap(entries);
  }
}

// The worker: one observation behind the gate, answered unless the timer answered first.
void runObservation(const std::string& requestId, const Ident& ident, const CancelToken& token,
                    const Locked<bool>& done, std::size_t budget) {
  observeGate().acquire();
  try {
    Observation result = executeObserve(ident, token, budget);
    // The references change only with a success the owner is told about: a timed-out
    // observation leaves the previous references in place.
    if (claimAnswer(done)) {
      storeEntries(std::move(result.entries));
      writeOk("observe", requestId, {{"observation", std::move(result.object)}});
    }
  } catch (const CancelledError&) {
    if (claimAnswer(done)) writeError(requestId, "observe_cancelled", "observation cancelled");
  } catch (const SafeError& error) {
    if (claimAnswer(done)) writeError(requestId, error.code(), error.message());
  } catch (...) {
    if (claimAnswer(done)) writeError(requestId, "observe_failed", "observation failed closed");
  }
  observeGate().release();
  unregister(requestId);
}

// The timer: answers once the observation has had its time, and stops its work.
void answerTimeout(const std::string& requestId, const CancelToken& token,
                   const Locked<bool>& done) {
  if (!claimAnswer(done)) return;
  token.cancel();
  writeError(requestId, "observe_timeout", "observation exceeded bounded deadline");
}

}  // namespace

void requireBudget(const CancelToken& token, TimePoint start) {
  token.check();
  if (Seconds(wallNow() - start).count() > OBSERVATION_TIMEOUT) {
    throw SafeError("observe_timeout", "observation exceeded bounded deadline");
  }
}

void fitObservation(Json& observation, std::set<std::string>& omissions, std::size_t budget) {
  Json& elements = observation["elements"];
  // Encoded sizes; none when a value cannot be encoded (a string that is not UTF-8).
  const auto encodedSize = [](const Json& value) -> std::optional<std::size_t> {
    try {
      return value.dump().size();
    } catch (const Json::exception&) {
      return std::nullopt;
    }
  };
  // Each element is encoded once: an array encodes as "[", its items joined by ",", and "]", so
  // the measure after trimming is the rest of the object plus the kept items and commas.
  std::vector<std::optional<std::size_t>> elementSizes;
  for (const auto& element : elements)
    elementSizes.push_back(encodedSize(element));
  // The byte length of {"observation": observation}: the object's own encoding plus the
  // wrapper {"observation": and }.
  const auto measure = [&]() -> std::optional<std::size_t> {
    Json kept = std::exchange(elements, Json::array());
    const auto rest = encodedSize(observation);
    elements = std::move(kept);
    if (!rest) return std::nullopt;
    std::size_t size = *rest + std::string_view(R"({"observation":})").size();
    for (std::size_t i = 0; i < elements.size(); ++i) {
      if (!elementSizes[i]) return std::nullopt;
      size += *elementSizes[i] + (i > 0 ? 1 : 0);
    }
    return size;
  };
  const auto fits = [&] {
    const auto size = measure();
    return size && *size <= budget;
  };
  const auto shrunk = [&] {
    omissions.insert("response-size-limit");
    observation["omissions"] = omissions;
  };

  if (fits()) return;
  observation.erase("screenshotDataUrl");
  shrunk();
  while (!fits() && !elements.empty()) {
    const std::size_t drop = std::max<std::size_t>(1, elements.size() / 10);
    elements.erase(elements.end() - static_cast<std::ptrdiff_t>(drop), elements.end());
    shrunk();
  }
  // Labels are counted in bytes, but control characters take up to six bytes each once
  // encoded: in the last resort the text loses its last lines too. Answering the observation
  // whole would only get it replaced by the oversize substitute, every time, and such a window
  // could never be observed.
  auto& text = observation["text"];
  while (!fits() && text.is_string() && !text.get_ref<const std::string&>().empty()) {
    auto& lines = text.get_ref<std::string&>();
    const std::size_t count =
        static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n')) + 1;
    const std::size_t keep = count - std::max<std::size_t>(1, count / 10);
    std::size_t cut = 0;
    for (std::size_t kept = 0; kept < keep; ++kept)
      cut = lines.find('\n', cut) + 1;
    lines.resize(keep == 0 ? 0 : cut - 1);
  }
}

Observation executeObserve(const Ident& ident, const CancelToken& token,
                           std::size_t responseBudget) {
  const TimePoint start = wallNow();
  requirePermissions();
  requireBudget(token, start);

  const ProbeData before = probeExact(ident, true, false, SURFACE_BUDGET);
  if (before.locked) failScreenLocked();
  const auto row = findWindow(cgWindows(), ident);
  if (!row) failWindowUnavailable();
  const auto window = axWindowElement(*row);
  if (!window) failWindowUnavailable();
  if (isPasswordElement(*window)) throw SafeError("password_surface", "password surface blocked");

  std::int64_t version = 0;
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    version = ++s.observationVersion;
  }
  const std::string observationId = opaque(
      "observation", ident.start + ":" + std::to_string(ident.win) + ":" + std::to_string(version));

  Walked walked = walkWindow(*window, *row, ident, observationId, token, start);
  requireBudget(token, start);

  const ProbeData after = probeExact(ident, true, false, SURFACE_BUDGET);
  if (after.locked) failScreenLocked();
  if (before.title != after.title || before.titleFingerprint != after.titleFingerprint ||
      !sameGeometry(before.geometry, after.geometry) || before.dpi != after.dpi) {
    throw SafeError("target_changed", "window title, geometry or DPI changed during observation");
  }

  std::optional<std::string> screenshot;
  if (after.foreground) {
    screenshot = windowPNG(
        *row, start + std::chrono::duration_cast<Clock::duration>(Seconds(OBSERVATION_TIMEOUT)));
    if (!screenshot) walked.omissions.insert("screenshot-unavailable");
  } else {
    walked.omissions.insert("screenshot-unavailable-or-not-foreground");
  }
  walked.omissions.insert("ocr-not-implemented-on-macos");
  requireBudget(token, start);

  Observation result;
  result.object = {{"probe", after.object()},       {"elements", std::move(walked.elements)},
                   {"omissions", walked.omissions}, {"observationId", observationId},
                   {"observationVersion", version}, {"text", std::move(walked.text)}};
  if (screenshot) result.object["screenshotDataUrl"] = std::move(*screenshot);
  fitObservation(result.object, walked.omissions, responseBudget);
  result.entries = std::move(walked.entries);
  return result;
}

void handleObserve(const std::string& requestId, const Json& request) {
  const Ident ident = parseIdentity(requiredDictionary(request, "identity"));
  const CancelToken token;
  State& s = state();
  {
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (s.activeObservations.contains(requestId)) {
      throw SafeError("observe_active", "observation already active");
    }
    s.activeObservations.emplace(requestId, token);
  }
  const Locked<bool> done(false);
  const std::size_t budget = responseBudget(requestId);
  try {
    observeQueue().async([requestId, ident, token, done, budget] {
      runObservation(requestId, ident, token, done, budget);
    });
  } catch (...) {
    // Never queued: nothing will end it, so it must not stay registered.
    unregister(requestId);
    throw;
  }
  runAfter(OBSERVATION_TIMEOUT,
           [requestId, token, done] { answerTimeout(requestId, token, done); });
}

}  // namespace qcu
