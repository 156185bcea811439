#include "support/sim_desktop.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "desktop/accessibility.h"
#include "desktop/sim/sim.h"
#include "foundation/clock.h"
#include "session/state.h"

namespace qcu::test {

using nlohmann::json;

void resetDesktopAndSession() {
  sim::reset();  // the hook too
  platformSetMessagingTimeout(1.0);
  resetSessionForTests();
  resetClockForTests();
}

void loadDesktop(const json& description) {
  std::string error = sim::load(description);
  if (!error.empty()) throw std::runtime_error("simulated desktop: " + error);
}

void controlDesktop(const json& command) {
  json reply = sim::control(command);
  if (reply.value("ok", false) != true) {
    throw std::runtime_error("simulated desktop: " + reply.value("error", std::string("?")));
  }
}

std::shared_ptr<const ElementEntry> registerElement(const Ident& ident, const std::string& node,
                                                    const std::string& ref, const std::string& role,
                                                    double ttl) {
  // Breadth-first below the application element, so nested elements are found too.
  std::vector<AXElement> queue;
  if (auto app = platformApplicationElement(ident.pid)) queue = axChildren(*app);
  AXElement found;
  for (std::size_t i = 0; i < queue.size() && !found; ++i) {
    if (axString(queue[i], "AXIdentifier") == node) {
      found = queue[i];
      break;
    }
    for (auto& child : axChildren(queue[i]))
      queue.push_back(std::move(child));
  }
  if (!found) {
    ADD_FAILURE() << "no element " << node;
    return nullptr;
  }
  auto entry = std::make_shared<ElementEntry>();
  entry->backendRef = ref;
  entry->identity = ident;
  entry->element = found;
  entry->role = role;
  entry->label = elementLabel(found, role);
  if (auto state = elementState(found, role)) entry->stateKind = state->first;
  entry->expires = wallAfter(ttl);
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.elements[ref] = entry;
  return entry;
}

json windowRow(std::uint32_t number, std::int32_t pid, const std::string& title, Rect bounds) {
  return {{"number", number},
          {"pid", pid},
          {"title", title},
          {"bounds", {bounds.x, bounds.y, bounds.width, bounds.height}}};
}

json appEntry(std::int32_t pid, const std::string& name, json windows) {
  return {{"pid", pid},
          {"executablePath", "/Applications/" + name + ".app/Contents/MacOS/" + name},
          {"bundleIdentifier", "com.example." + name},
          {"localizedName", name},
          {"windows", std::move(windows)}};
}

json windowNode(std::uint32_t number, const std::string& title, json children) {
  return {{"window", number}, {"title", title}, {"children", std::move(children)}};
}

json targetApp(json children) {
  return appEntry(TARGET_PID, "notes", {windowNode(TARGET_WINDOW, "Draft", std::move(children))});
}

json targetRow() {
  return windowRow(TARGET_WINDOW, TARGET_PID, "Draft", TARGET_BOUNDS);
}

json otherApp() {
  return appEntry(OTHER_PID, "calc", {windowNode(OTHER_WINDOW, "Sums")});
}

json otherRow() {
  return windowRow(OTHER_WINDOW, OTHER_PID, "Sums", OTHER_BOUNDS);
}

json targetDesktop(json children, const json& extra) {
  json description = {{"apps", {targetApp(std::move(children))}}, {"windows", {targetRow()}}};
  description.update(extra);
  return description;
}

json framed(json element, Rect frame) {
  element["position"] = {frame.x, frame.y};
  element["size"] = {frame.width, frame.height};
  return element;
}

json button(const std::string& title) {
  return {{"role", "AXButton"}, {"title", title}, {"actions", {"AXPress"}}};
}

json staticText(const std::string& text) {
  return {{"role", "AXStaticText"}, {"value", text}};
}

json textField(const std::string& value) {
  return {{"role", "AXTextField"}, {"value", value}, {"settable", {"AXValue"}}};
}

json group(json children) {
  return {{"role", "AXGroup"}, {"children", std::move(children)}};
}

json setAttribute(std::int32_t pid, const std::string& node, const std::string& attribute,
                  const json& value) {
  return {{"op", "set-attribute"},
          {"pid", pid},
          {"node", node},
          {"attribute", attribute},
          {"value", value}};
}

json effect(const json& trigger, const std::vector<json>& commands, double after) {
  return {{"on", trigger}, {"after", after}, {"commands", json(commands)}};
}

json onPress(std::int32_t pid, const std::string& node) {
  return {{"press", {{"pid", pid}, {"node", node}}}};
}

json onEvent(const std::string& type) {
  return {{"event", type}};
}

Ident identOf(std::int32_t pid, std::uint32_t window) {
  auto start = processStart100ns(pid);
  return Ident{pid, start ? std::to_string(*start) : std::string("0"), window};
}

void onCall(const std::string& function, std::int32_t pid, int nth, std::function<void()> action) {
  auto seen = std::make_shared<std::atomic<int>>(0);
  sim::setHook([=](const sim::Call& call) {
    if (call.function != function || (pid != 0 && call.pid != pid)) return;
    if (++*seen == nth) action();
  });
}

}  // namespace qcu::test
