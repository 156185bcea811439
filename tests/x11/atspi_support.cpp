#include "x11/atspi_support.h"

#include <deque>

#include "desktop/x11/atspi_bus.h"

namespace qcu::test {

std::optional<std::string> stringAttribute(const AXElement& element, std::string_view name) {
  auto value = platformCopyAttribute(element, name);
  if (!value) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(&*value)) return *text;
  return std::nullopt;
}

std::optional<AXElement> findElement(const AXElement& root, const std::string& id) {
  std::deque<AXElement> queue{root};
  for (int visited = 0; !queue.empty() && visited < 2000; ++visited) {
    AXElement element = queue.front();
    queue.pop_front();
    if (stringAttribute(element, "AXIdentifier") == id) return element;
    auto children = platformCopyAttribute(element, "AXChildren");
    if (!children) continue;
    for (const auto& child : std::get<std::vector<AXElement>>(*children))
      queue.push_back(child);
  }
  return std::nullopt;
}

AXElement windowElementOf(pid_t pid, double seconds) {
  AXElement found;
  const bool listed = waitFor(
      [&] {
        auto application = platformApplicationElement(pid);
        if (!application) return false;
        auto windows = platformCopyAttribute(*application, "AXWindows");
        if (!windows) return false;
        const auto& list = std::get<std::vector<AXElement>>(*windows);
        if (list.size() != 1) return false;
        found = list[0];
        return true;
      },
      seconds);
  if (!listed) throw std::runtime_error("the application never showed one window element");
  return found;
}

void addNodes(TestApp& app, const nlohmann::json& nodes) {
  std::string last;
  for (const auto& node : nodes) {
    auto answer = app.command({{"op", "add-node"}, {"number", 1}, {"node", node}});
    if (answer["ok"] != true) throw std::runtime_error("add-node failed: " + answer.dump());
    last = node.value("identifier", node["id"].get<std::string>());
  }
  // The bridge publishes new widgets with the next main-loop turns.
  AXElement window = windowElementOf(app.pid);
  if (!waitFor([&] { return findElement(window, last).has_value(); })) {
    throw std::runtime_error("element " + last + " never appeared in the accessibility tree");
  }
}

void AtspiTest::SetUp() {
  X11Test::SetUp();
  if (HasFatalFailure()) return;
  x11::atspi::resetCircuitsForTests();
  platformSetMessagingTimeout(1.0);
  app = startTestApp();
  window = windowElementOf(app->pid);
}

void AtspiTest::TearDown() {
  window = {};
  app.reset();  // end of input quits the application
  X11Test::TearDown();
}

}  // namespace qcu::test
