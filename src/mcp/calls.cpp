// The tools: each turns one call into the helper requests it needs and the answer into content
// for the model.
#include <cmath>

#include "mcp/server.h"

namespace qcu::mcp {
namespace {

// How long the helper may take to answer. Each of its requests bounds its own work to a few
// seconds; these are generous outer bounds after which the helper counts as stuck.
constexpr double ASK_SECONDS = 20.0;
constexpr double COMMIT_SECONDS = 30.0;
constexpr double COMMIT_SECONDS_PER_CHUNK = 0.5;  // typing: two probes per chunk
constexpr double STOP_SECONDS = 5.0;

ToolOutcome words(std::string text, bool isError = false) {
  ToolOutcome outcome;
  outcome.content.push_back({{"type", "text"}, {"text", std::move(text)}});
  outcome.isError = isError;
  return outcome;
}

bool ok(const HelperAnswer& answer) {
  return answer.answered && answer.message.value("ok", false) == true;
}

ToolOutcome refusal(const HelperAnswer& answer, const std::string& prefix = {}) {
  return words(prefix + refusalWords(answer.message.value("code", "error"),
                                     answer.message.value("message", "refused")),
               true);
}

// A helper that stopped answering is ended: closing its input cancels whatever it was doing.
// The next call starts a new one.
void abandonHelper(Server& server, const std::shared_ptr<HelperLink>& link) {
  {
    std::lock_guard guard(server.helperLock);
    if (server.helper == link) server.helper.reset();
  }
  endHelper(*link, 0.5);
  forgetHelperState(server);
}

// Words for a request that got no answer, after which the session starts over.
ToolOutcome noAnswer(Server& server, const std::shared_ptr<HelperLink>& link,
                     const HelperAnswer& answer, const std::string& consequence) {
  if (answer.tooLarge) {
    return words(
        "Not sent: the request is too large for the helper once encoded; send the "
        "text in parts.",
        true);
  }
  if (helperRunning(*link)) abandonHelper(server, link);
  return words("No answer: " + answer.failure + ". " + consequence +
                   " The helper was ended and the next call starts it again; the window binding "
                   "is gone, so call list_windows and bind_window again.",
               true);
}

HelperAnswer ask(Call& call, HelperLink& link, const std::string& type, json fields,
                 double seconds = ASK_SECONDS) {
  HelperAnswer answer = askHelper(link, type, std::move(fields), seconds);
  call.helperSeconds += answer.seconds;
  return answer;
}

std::string quoted(const std::string& text) {
  return "\"" + text + "\"";
}

std::string describe(std::size_t number, const ObservedElement& element) {
  return "element " + std::to_string(number) + " (" + element.role +
         (element.label.empty() ? "" : " " + quoted(element.label)) + ")";
}

// The helper for this call, or the words saying why there is none.
std::shared_ptr<HelperLink> helperFor(Server& server, ToolOutcome& failed) {
  std::string failure;
  auto link = ensureHelper(server, failure);
  if (!link) failed = words("The helper could not be started: " + failure + ".", true);
  return link;
}

ToolOutcome listWindows(Server& server, Call& call) {
  ToolOutcome failed;
  auto link = helperFor(server, failed);
  if (!link) return failed;
  HelperAnswer answer = ask(call, *link, "list_candidates", json::object());
  if (!answer.answered) return noAnswer(server, link, answer, "The windows were not listed.");
  if (!ok(answer)) return refusal(answer);
  Listing listing = presentListing(answer.message);
  std::lock_guard guard(server.sessionLock);
  server.session.windows = std::move(listing.windows);
  return words(std::move(listing.text));
}

ToolOutcome bindWindow(Server& server, Call& call) {
  ToolOutcome failed;
  auto link = helperFor(server, failed);
  if (!link) return failed;
  const auto number = call.arguments["window"].get<double>();
  ListedWindow window;
  {
    std::lock_guard guard(server.sessionLock);
    const auto& windows = server.session.windows;
    if (number > static_cast<double>(windows.size())) {
      return words("There is no window " + std::to_string(static_cast<long long>(number)) +
                       " in the latest list: call list_windows first.",
                   true);
    }
    window = windows[static_cast<std::size_t>(number) - 1];
  }
  HelperAnswer bound =
      ask(call, *link, "probe_binding",
          {{"identity", window.identity}, {"candidateToken", window.candidateToken}});
  if (!bound.answered) return noAnswer(server, link, bound, "The window was not bound.");
  if (!ok(bound)) return refusal(bound);
  {
    std::lock_guard guard(server.sessionLock);
    server.session.bound = window;
    server.session.observation.reset();
  }
  const std::string title = bound.message["probe"].value("title", window.title);
  const std::string name = "window " + std::to_string(static_cast<long long>(number)) + ", " +
                           quoted(title) + " (" + window.application + ")";
  HelperAnswer focused = ask(call, *link, "focus_binding", {{"identity", window.identity}});
  if (!focused.answered) {
    return noAnswer(server, link, focused, "The window was bound but not brought to the front.");
  }
  if (!ok(focused)) {
    return refusal(focused, "Bound " + name + ", but it could not be brought to the front. ");
  }
  return words("Bound " + name + " and brought it to the front. Next: observe it.");
}

ToolOutcome observe(Server& server, Call& call) {
  ToolOutcome failed;
  auto link = helperFor(server, failed);
  if (!link) return failed;
  ListedWindow window;
  {
    std::lock_guard guard(server.sessionLock);
    if (!server.session.bound) {
      return words("No window is bound: call list_windows, then bind_window.", true);
    }
    window = *server.session.bound;
  }
  HelperAnswer answer = ask(call, *link, "observe", {{"identity", window.identity}}, ASK_SECONDS);
  if (!answer.answered) return noAnswer(server, link, answer, "Nothing was observed.");
  if (!ok(answer)) {
    std::lock_guard guard(server.sessionLock);
    server.session.observation.reset();
    return refusal(answer);
  }
  PresentedObservation presented = presentObservation(answer.message["observation"], window);
  {
    std::lock_guard guard(server.sessionLock);
    server.session.observation = std::move(presented.observation);
  }
  ToolOutcome outcome = words(std::move(presented.text));
  if (presented.image) {
    outcome.content.push_back(
        {{"type", "image"}, {"data", std::move(*presented.image)}, {"mimeType", "image/png"}});
  }
  return outcome;
}

// What an action is prepared with, besides the attempt, the window and its expected state.
struct Action {
  json fields;              // "action" and the kind's own request keys
  std::string what;         // "the click on element 3 (Button "OK")"
  std::size_t element = 0;  // the observation's element number it names, 0 for none
  std::size_t chunks = 0;   // typing: how many chunks
};

// Prepares and commits one action and answers with its readback.
ToolOutcome act(Server& server, Call& call, Action action) {
  ToolOutcome failed;
  auto link = helperFor(server, failed);
  if (!link) return failed;
  json identity;
  json expected;
  std::string attemptId;
  {
    std::lock_guard guard(server.sessionLock);
    if (!server.session.bound || !server.session.observation) {
      return words("Observe the window first: actions use the latest observation.", true);
    }
    identity = server.session.bound->identity;
    expected = server.session.observation->probe;
    attemptId = "mcp-attempt-" + std::to_string(++server.session.attempts);
  }
  json request = std::move(action.fields);
  request["attemptId"] = attemptId;
  request["identity"] = identity;
  request["expected"] = expected;
  HelperAnswer prepared = ask(call, *link, "prepare_action", std::move(request));
  if (!prepared.answered) return noAnswer(server, link, prepared, "Nothing was sent.");
  if (!ok(prepared)) return refusal(prepared, "Nothing was sent. ");

  {
    std::lock_guard guard(call.lock);
    call.attemptId = attemptId;
  }
  HelperAnswer committed =
      ask(call, *link, "commit_action",
          {{"preparedId", prepared.message["preparedId"]}, {"attemptId", attemptId}},
          COMMIT_SECONDS + COMMIT_SECONDS_PER_CHUNK * static_cast<double>(action.chunks));
  {
    std::lock_guard guard(call.lock);
    call.attemptId.clear();
  }
  if (!committed.answered) {
    return noAnswer(server, link, committed,
                    "Uncertain: " + action.what + " may or may not have reached the window.");
  }
  if (!ok(committed)) return refusal(committed, "Nothing was sent. ");

  const json& readback = committed.message["readback"];
  const bool proven = readback.value("effectMatched", false) == true;
  {
    std::lock_guard guard(server.sessionLock);
    auto clipboard = readback.find("clipboardSequence");
    if (clipboard != readback.end() && clipboard->is_number_unsigned()) {
      server.session.clipboardSequence = clipboard->get<std::uint32_t>();
    }
    // A proven typing leaves the field at the value the helper predicted: later typing into it
    // starts from there without another observation.
    auto& observation = server.session.observation;
    auto after = prepared.message.find("expectedAfterValueState");
    if (proven && action.element && after != prepared.message.end() && observation &&
        action.element <= observation->elements.size()) {
      observation->elements[action.element - 1].valueState = *after;
    }
  }
  return words(readbackWords(readback, action.what));
}

// The element of the latest observation named by the call's "element", or the words why not.
const ObservedElement* elementOf(Server& server, Call& call, ObservedElement& copy,
                                 ToolOutcome& failed) {
  const auto number = static_cast<std::size_t>(call.arguments["element"].get<double>());
  std::lock_guard guard(server.sessionLock);
  const auto& observation = server.session.observation;
  if (!observation) {
    failed = words("Observe the window first: actions use the latest observation.", true);
    return nullptr;
  }
  if (number > observation->elements.size()) {
    failed = words("There is no element " + std::to_string(number) +
                       " in the latest observation: observe again.",
                   true);
    return nullptr;
  }
  copy = observation->elements[number - 1];
  return &copy;
}

// Aims the action at the element the call names: its number and its reference go into the
// action. Null with the words why not.
const ObservedElement* aimAt(Server& server, Call& call, Action& action, ObservedElement& copy,
                             ToolOutcome& failed) {
  const ObservedElement* element = elementOf(server, call, copy, failed);
  if (!element) return nullptr;
  action.element = static_cast<std::size_t>(call.arguments["element"].get<double>());
  action.fields["resolvedElement"] = {{"backendRef", element->backendRef}};
  return element;
}

std::optional<Frame> frameOf(Server& server) {
  std::lock_guard guard(server.sessionLock);
  if (!server.session.observation) return std::nullopt;
  return server.session.observation->frame;
}

// Adds the point "x", "y" of the call (picture pixels) as the fallback point, in screen points.
bool addPoint(Server& server, Call& call, json& fields, ToolOutcome& failed) {
  auto frame = frameOf(server);
  if (!frame) {
    failed =
        words("Observe the window first: points are read against the latest screenshot.", true);
    return false;
  }
  auto [x, y] =
      screenPoint(*frame, call.arguments["x"].get<double>(), call.arguments["y"].get<double>());
  fields["fallbackPoint"] = {{"x", x}, {"y", y}};
  return true;
}

std::string pointWords(Call& call) {
  std::string words = "(";
  words += std::to_string(std::lround(call.arguments["x"].get<double>()));
  words += ", ";
  words += std::to_string(std::lround(call.arguments["y"].get<double>()));
  return words + ")";
}

ToolOutcome click(Server& server, Call& call) {
  Action action;
  action.fields = {{"action", {{"kind", "click"}}}};
  ToolOutcome failed;
  if (call.arguments.contains("element")) {
    ObservedElement copy;
    const ObservedElement* element = aimAt(server, call, action, copy, failed);
    if (!element) return failed;
    const bool pressable = std::find(element->actions.begin(), element->actions.end(), "click") !=
                           element->actions.end();
    if (pressable) {
      if (json transition = expectedTransition(*element); !transition.is_null()) {
        action.fields["resolvedElement"]["expectedTransition"] = transition;
      }
    } else if (auto frame = frameOf(server)) {
      // Not pressable through accessibility: a mouse click at its centre.
      auto [x, y] = elementCentre(*frame, *element);
      action.fields["fallbackPoint"] = {{"x", x}, {"y", y}};
    }
    action.what = "the click on " + describe(action.element, *element);
  } else {
    if (!addPoint(server, call, action.fields, failed)) return failed;
    action.what = "the click at " + pointWords(call);
  }
  return act(server, call, std::move(action));
}

ToolOutcome typeText(Server& server, Call& call) {
  ToolOutcome failed;
  ObservedElement copy;
  const ObservedElement* element = elementOf(server, call, copy, failed);
  if (!element) return failed;
  const auto number = static_cast<std::size_t>(call.arguments["element"].get<double>());
  const bool typable =
      std::find(element->actions.begin(), element->actions.end(), "type") != element->actions.end();
  if (!typable || !element->valueState.is_object()) {
    return words("Not sent: " + describe(number, *element) +
                     " does not take text; choose an element whose actions include \"type\".",
                 true);
  }
  const std::string& text = call.arguments["text"].get_ref<const std::string&>();
  Action action;
  auto chunks = textChunks(text);
  action.chunks = chunks.size();
  action.element = number;
  action.fields = {
      {"action", {{"kind", "type"}}},
      {"textChunks", std::move(chunks)},
      {"resolvedElement",
       {{"backendRef", element->backendRef}, {"expectedValueState", element->valueState}}}};
  action.what = "typing into " + describe(number, *element);
  return act(server, call, std::move(action));
}

ToolOutcome pressKey(Server& server, Call& call) {
  const std::string key = call.arguments["key"].get<std::string>();
  Action action;
  action.fields = {{"action", {{"kind", "key"}, {"key", key}}}};
  action.what = "the key " + key;
  if (key == "Ctrl+V") {
    std::lock_guard guard(server.sessionLock);
    // Without a copy of this session's own the helper refuses, and says why.
    if (server.session.clipboardSequence) {
      action.fields["action"]["expectedClipboardSequence"] = *server.session.clipboardSequence;
    }
  }
  if (call.arguments.contains("element")) {
    ToolOutcome failed;
    ObservedElement copy;
    const ObservedElement* element = aimAt(server, call, action, copy, failed);
    if (!element) return failed;
    action.what += " in " + describe(action.element, *element);
  }
  return act(server, call, std::move(action));
}

ToolOutcome scroll(Server& server, Call& call) {
  const std::string direction = call.arguments["direction"].get<std::string>();
  const int deltaX = direction == "left" ? -1 : direction == "right" ? 1 : 0;
  const int deltaY = direction == "up" ? -1 : direction == "down" ? 1 : 0;
  Action action;
  action.fields = {{"action", {{"kind", "scroll"}, {"deltaX", deltaX}, {"deltaY", deltaY}}}};
  action.what = "the scroll " + direction;
  ToolOutcome failed;
  if (call.arguments.contains("element")) {
    ObservedElement copy;
    const ObservedElement* element = aimAt(server, call, action, copy, failed);
    if (!element) return failed;
    action.what += " over " + describe(action.element, *element);
  } else if (call.arguments.contains("x")) {
    if (!addPoint(server, call, action.fields, failed)) return failed;
    action.what += " at " + pointWords(call);
  }
  return act(server, call, std::move(action));
}

}  // namespace

ToolOutcome runTool(Server& server, Call& call) {
  try {
    const std::string& name = call.tool->name;
    if (name == "list_windows") return listWindows(server, call);
    if (name == "bind_window") return bindWindow(server, call);
    if (name == "observe") return observe(server, call);
    if (name == "click") return click(server, call);
    if (name == "type_text") return typeText(server, call);
    if (name == "press_key") return pressKey(server, call);
    if (name == "scroll") return scroll(server, call);
    return words("Unknown tool " + name + ".", true);
  } catch (const std::exception& error) {
    return words(std::string("Internal failure: ") + error.what() + ".", true);
  }
}

ToolOutcome runStop(Server& server) {
  server.stopEpoch.fetch_add(1);
  auto link = currentHelper(server);
  if (!link) return words("Stopped: the helper was not running, so nothing was.");
  HelperAnswer answer = askHelper(*link, "stop", json::object(), STOP_SECONDS);
  if (!answer.answered) {
    abandonHelper(server, link);
    return words(
        "The helper did not answer the stop, so it was ended, which stops everything it "
        "was doing; the window binding is gone.",
        true);
  }
  if (!ok(answer)) return refusal(answer, "Stop requested and work cancelled, but: ");
  return words(
      "Stopped: every running and prepared action was cancelled, and actions still "
      "waiting will not run.");
}

}  // namespace qcu::mcp
