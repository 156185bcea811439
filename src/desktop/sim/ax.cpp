// The simulated accessibility interface: element trees per application, answered with the
// delays and silences of slow and hung applications, bounded by the messaging timeout.
#include <algorithm>
#include <cmath>
#include <thread>

#include "desktop/sim/model.h"

namespace qcu {

using namespace sim;

namespace {

Node* nodeOf(const AXElement& element) {
  return static_cast<Node*>(element.ref.get());
}

AXElement handle(const std::shared_ptr<Node>& node) {
  return AXElement{node};
}

std::optional<AXElement> resolve(const App& app, const std::string& id) {
  auto it = app.ids.find(id);
  if (it == app.ids.end()) return std::nullopt;
  auto node = it->second.lock();
  if (!node || !node->alive) return std::nullopt;
  return handle(node);
}

std::optional<AXValue> toPlatform(const App& app, const Value& value) {
  return std::visit(
      [&](const auto& stored) -> std::optional<AXValue> {
        using T = std::decay_t<decltype(stored)>;
        if constexpr (std::is_same_v<T, NodeRef>) {
          auto element = resolve(app, stored.id);
          if (!element) return std::nullopt;
          return AXValue{*element};
        } else if constexpr (std::is_same_v<T, NodeRefs>) {
          std::vector<AXElement> elements;
          for (const auto& id : stored.ids) {
            if (auto element = resolve(app, id)) elements.push_back(*element);
          }
          return AXValue{std::move(elements)};
        } else {
          return AXValue{stored};
        }
      },
      value);
}

// A value the helper sets, as the model stores it; elements are not settable values here.
std::optional<Value> fromPlatform(const AXValue& value) {
  return std::visit(
      [](const auto& given) -> std::optional<Value> {
        using T = std::decay_t<decltype(given)>;
        if constexpr (std::is_same_v<T, AXElement> || std::is_same_v<T, std::vector<AXElement>>) {
          return std::nullopt;
        } else {
          return Value{given};
        }
      },
      value);
}

// Whether the element is one of its application's windows ("AXWindows").
bool isWindowElement(const App& app, const Node& node) {
  const auto& windows = app.root->windows;
  return std::any_of(windows.begin(), windows.end(),
                     [&](const std::shared_ptr<Node>& window) { return window.get() == &node; });
}

std::vector<AXElement> liveHandles(const std::vector<std::shared_ptr<Node>>& nodes) {
  std::vector<AXElement> elements;
  for (const auto& node : nodes) {
    if (node->alive) elements.push_back(handle(node));
  }
  return elements;
}

// Stores a value the helper sets. An "AXValue" is stored as the element's value setting decides,
// and an applied one (stored or silently ignored) fires the element's set-value effects.
bool storeSetting(Desktop& desktop, Node& node, std::string_view name, const AXValue& value) {
  if (!node.settable.contains(name)) return false;
  auto stored = fromPlatform(value);
  if (!stored) return false;
  if (name != "AXValue") {
    node.attributes[std::string(name)] = std::move(*stored);
    return true;
  }
  switch (node.valueSetting.result) {
    case ValueResult::Refuse:
      return false;
    case ValueResult::Ignore:
      break;
    case ValueResult::Uppercase:
      if (auto* text = std::get_if<std::string>(&*stored)) {
        for (char& c : *text) {
          if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
      }
      [[fallthrough]];
    case ValueResult::Store:
      node.attributes["AXValue"] = std::move(*stored);
      break;
  }
  if (!node.id.empty()) {
    fireEffects(desktop, [&](const Trigger& trigger) {
      return trigger.kind == Trigger::Kind::SetValue && trigger.pid == node.pid &&
             trigger.node == node.id;
    });
  }
  return true;
}

std::optional<AXValue> readAttribute(Desktop& desktop, const App& app, const Node& node,
                                     std::string_view name) {
  if (auto it = node.attributes.find(name); it != node.attributes.end()) {
    if (!it->second) return std::nullopt;
    return toPlatform(app, *it->second);
  }
  // Attributes derived from the tree and the window list.
  if (name == "AXChildren") {
    auto elements = liveHandles(node.windows);
    for (auto& child : liveHandles(node.children))
      elements.push_back(std::move(child));
    return AXValue{std::move(elements)};
  }
  if (name == "AXWindows" && &node == app.root.get()) return AXValue{liveHandles(node.windows)};
  if (name == "AXParent") {
    auto parent = node.parent.lock();
    if (!parent || !parent->alive) return std::nullopt;
    return AXValue{handle(parent)};
  }
  if ((name == "AXPosition" || name == "AXSize") && node.window) {
    auto frame = rowFrame(desktop, *node.window);
    if (!frame) return std::nullopt;
    if (name == "AXPosition") return AXValue{Point{frame->x, frame->y}};
    return AXValue{Size{frame->width, frame->height}};
  }
  return std::nullopt;
}

// One accessibility call to the application owning the element. The application answers after
// its delay; a hung one, or one slower than the messaging timeout, leaves the caller waiting
// for the whole timeout and then without an answer. The desktop is not locked while waiting.
template <typename Answer>
auto ask(const AXElement& element, std::string_view function, std::string_view name, Answer answer)
    -> decltype(answer(std::declval<Desktop&>(), std::declval<const App&>(),
                       std::declval<Node&>())) {
  Node* node = nodeOf(element);
  if (!node) return std::nullopt;
  callHook(function, node->pid, name, node->id);
  double wait = 0;
  bool answered = false;
  {
    std::lock_guard<std::mutex> guard(modelLock());
    Desktop& desktop = model();
    applyDue(desktop);
    const App* app = runningApp(desktop, node->pid);
    if (!app || !node->alive) return std::nullopt;
    double timeout = messagingTimeout();
    answered = !app->hung && app->delay < timeout;
    wait = answered ? app->delay : timeout;
  }
  if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
  if (!answered) return std::nullopt;
  std::lock_guard<std::mutex> guard(modelLock());
  Desktop& desktop = model();
  applyDue(desktop);
  const App* app = runningApp(desktop, node->pid);
  if (!app || !node->alive) return std::nullopt;
  return answer(desktop, *app, *node);
}

}  // namespace

namespace sim {

void pressed(Desktop& desktop, const Node& node) {
  if (node.id.empty()) return;
  fireEffects(desktop, [&](const Trigger& trigger) {
    return trigger.kind == Trigger::Kind::Press && trigger.pid == node.pid &&
           trigger.node == node.id;
  });
}

}  // namespace sim

void platformSetMessagingTimeout(double seconds) {
  callHook("platformSetMessagingTimeout");
  std::lock_guard<std::mutex> guard(modelLock());
  // Zero (or nonsense) restores the platform's default, as the platform does.
  messagingTimeout() = std::isfinite(seconds) && seconds > 0 ? seconds : DEFAULT_MESSAGING_TIMEOUT;
}

std::optional<AXElement> platformApplicationElement(std::int32_t pid) {
  callHook("platformApplicationElement", pid);
  std::lock_guard<std::mutex> guard(modelLock());
  Desktop& desktop = model();
  applyDue(desktop);
  const App* app = runningApp(desktop, pid);
  if (!app) return std::nullopt;
  return handle(app->root);
}

std::optional<AXValue> platformCopyAttribute(const AXElement& element, std::string_view name) {
  return ask(element, "platformCopyAttribute", name,
             [name](Desktop& desktop, const App& app, Node& node) {
               return readAttribute(desktop, app, node, name);
             });
}

std::optional<std::vector<std::string>> platformActionNames(const AXElement& element) {
  return ask(element, "platformActionNames", {},
             [](Desktop&, const App&, Node& node) -> std::optional<std::vector<std::string>> {
               return node.actions;
             });
}

std::optional<bool> platformIsSettable(const AXElement& element, std::string_view name) {
  return ask(element, "platformIsSettable", name,
             [name](Desktop&, const App&, Node& node) -> std::optional<bool> {
               return node.settable.contains(name);
             });
}

bool platformSetAttribute(const AXElement& element, std::string_view name, const AXValue& value) {
  // An "AXValue" set takes the element's own time after the application's delay; the desktop
  // is not locked meanwhile, and the element is looked at afresh afterwards.
  double settle = 0;
  auto done =
      ask(element, "platformSetAttribute", name,
          [&](Desktop& desktop, const App&, Node& node) -> std::optional<bool> {
            if (name == "AXValue" && node.settable.contains(name) && node.valueSetting.delay > 0) {
              settle = node.valueSetting.delay;
              return std::nullopt;
            }
            return storeSetting(desktop, node, name, value);
          });
  if (settle == 0) return done.value_or(false);
  std::this_thread::sleep_for(std::chrono::duration<double>(settle));
  Node* node = nodeOf(element);
  std::lock_guard<std::mutex> guard(modelLock());
  Desktop& desktop = model();
  applyDue(desktop);
  if (!runningApp(desktop, node->pid) || !node->alive) return false;
  return storeSetting(desktop, *node, name, value);
}

bool platformPerformAction(const AXElement& element, std::string_view action) {
  auto done = ask(element, "platformPerformAction", action,
                  [action](Desktop& desktop, const App& app, Node& node) -> std::optional<bool> {
                    // Every window can be raised, whether or not its actions list it: its row
                    // comes in front of the application's other rows.
                    if (action == "AXRaise" && node.window && isWindowElement(app, node)) {
                      return raiseWithinApp(desktop, *node.window, node.pid);
                    }
                    for (const auto& name : node.actions) {
                      if (name != action) continue;
                      if (action == "AXPress") pressed(desktop, node);
                      return true;
                    }
                    return false;
                  });
  return done.value_or(false);
}

bool platformHasWindowNumberLookup() {
  callHook("platformHasWindowNumberLookup");
  std::lock_guard<std::mutex> guard(modelLock());
  return model().windowNumberLookup;
}

std::optional<std::uint32_t> platformWindowNumberOfElement(const AXElement& element) {
  return ask(element, "platformWindowNumberOfElement", {},
             [](Desktop& desktop, const App&, Node& node) -> std::optional<std::uint32_t> {
               if (!desktop.windowNumberLookup) return std::nullopt;
               return node.window;
             });
}

bool platformSameElement(const AXElement& a, const AXElement& b) {
  return a.ref != nullptr && a.ref.get() == b.ref.get();
}

}  // namespace qcu
