// What the accessibility tests share: the GTK test application on the test's virtual desktop,
// its elements found through the accessibility seam, and waits with deadlines.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "desktop/platform.h"
#include "support/vdesk.h"
#include "x11/x11_support.h"

namespace qcu::test {

// A string attribute through the seam; none for no value or another type.
std::optional<std::string> stringAttribute(const AXElement& element, std::string_view name);

// The first element, breadth first under root, whose identifier is id; none when there is none.
std::optional<AXElement> findElement(const AXElement& root, const std::string& id);

// The application's only window element, waiting until the application has one.
AXElement windowElementOf(pid_t pid, double seconds = 20.0);

// Builds the nodes into the application's first window and waits until the accessibility tree
// shows the last of them.
void addNodes(TestApp& app, const nlohmann::json& nodes);

class AtspiTest : public X11Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::optional<TestApp> app;
  AXElement window;
};

}  // namespace qcu::test
