// The whole owner session through the real helper over pipes, on the virtual desktop with the GTK
// test application's form: each action is prepared and committed against the latest
// observation, and its effect is checked in the application itself.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/owner.h"

namespace qcu::test {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Asks the application for a node until ready holds for it; fails naming what it waited for.
Json waitForNode(TestApp& app, const std::string& node, const std::string& what,
                 const std::function<bool(const Json&)>& ready, double timeoutSeconds = 15) {
  const auto deadline = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                                 std::chrono::duration<double>(timeoutSeconds));
  Json got;
  for (;;) {
    got = app.command({{"op", "get"}, {"node", node}});
    if (ready(got)) return got;
    if (SteadyClock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ADD_FAILURE() << "waited " << timeoutSeconds << " s for " << node << " to show " << what
                << "; last seen: " << got;
  return got;
}

void expectProven(const Json& committed) {
  ASSERT_EQ(committed["ok"], true) << committed;
  const Json& readback = committed["readback"];
  EXPECT_EQ(readback["matched"], true) << readback;
  EXPECT_EQ(readback["dispatchAccepted"], true) << readback;
  EXPECT_EQ(readback["effectMatched"], true) << readback;
  EXPECT_EQ(readback["detail"], "target-current; action-specific effect proven") << readback;
}

void expectDispatched(const Json& committed) {
  ASSERT_EQ(committed["ok"], true) << committed;
  EXPECT_EQ(committed["readback"]["matched"], true) << committed;
  EXPECT_EQ(committed["readback"]["dispatchAccepted"], true) << committed;
}

using OwnerSessionTest = BoundFormTest;

TEST_F(OwnerSessionTest, HelloListBindFocusAndObserveTheForm) {
  EXPECT_EQ(owner.hello["platform"], "linux");
  EXPECT_EQ(owner.hello["permissions"], Json({{"accessibility", true}, {"screenRecording", true}}));
  EXPECT_EQ(owner.hello["inputMonitorReady"], true);

  const Json& observation = owner.observation;
  const Json& probe = observation["probe"];
  EXPECT_EQ(probe["identity"], owner.identity);
  EXPECT_EQ(probe["title"], "Test Form");
  EXPECT_EQ(probe["foreground"], true);

  Json name = owner.element("Name");
  EXPECT_EQ(name["role"], "TextField");
  EXPECT_EQ(name["valueState"]["scalarLength"], 0);
  EXPECT_EQ(owner.element("I agree")["state"], "off");
  EXPECT_EQ(owner.element("Send")["role"], "Button");
  EXPECT_EQ(owner.element("Notes")["role"], "TextArea");
  // Element bounds are screen points inside the window.
  const Json& window = probe["geometry"];
  for (const Json& element : observation["elements"]) {
    const Json& b = element["bounds"];
    EXPECT_GE(b["left"], window["left"]) << element;
    EXPECT_GE(b["top"], window["top"]) << element;
    EXPECT_LE(b["left"].get<int>() + b["width"].get<int>(),
              window["left"].get<int>() + window["width"].get<int>())
        << element;
    EXPECT_LE(b["top"].get<int>() + b["height"].get<int>(),
              window["top"].get<int>() + window["height"].get<int>())
        << element;
  }
  EXPECT_NE(observation["text"].get<std::string>().find("Fill in the form"), std::string::npos)
      << observation["text"];

  // The screenshot is a PNG of the window's shape.
  const std::string url = observation.value("screenshotDataUrl", "");
  const std::string prefix = "data:image/png;base64,";
  ASSERT_TRUE(url.starts_with(prefix)) << url.substr(0, 64);
  const std::string png = decodeBase64(url.substr(prefix.size()));
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_EQ(png.substr(12, 4), "IHDR");
  auto big = [&](std::size_t at) {
    return (static_cast<unsigned char>(png[at]) << 24) |
           (static_cast<unsigned char>(png[at + 1]) << 16) |
           (static_cast<unsigned char>(png[at + 2]) << 8) | static_cast<unsigned char>(png[at + 3]);
  };
  const double aspect = static_cast<double>(big(16)) / big(20);
  EXPECT_NEAR(aspect, window["width"].get<double>() / window["height"].get<double>(), 0.05);
}

TEST_F(OwnerSessionTest, ClickingTheButtonIsProvenByItsNewLabel) {
  Json committed =
      owner.act({{"kind", "click"}}, {{"resolvedElement", resolved(owner.element("Send"))}});
  expectProven(committed);
  EXPECT_EQ(app.command({{"op", "get"}, {"node", "send"}})["title"], "Sent");
}

TEST_F(OwnerSessionTest, CheckBoxGoesFromOffToOnAsDeclared) {
  Json element = resolved(owner.element("I agree"));
  element["expectedTransition"] = {{"kind", "toggle"}, {"before", "off"}, {"after", "on"}};
  expectProven(owner.act({{"kind", "click"}}, {{"resolvedElement", element}}));
  EXPECT_EQ(app.command({{"op", "get"}, {"node", "agree"}})["value"], 1);
  owner.observeUntilLabel("I agree");
  EXPECT_EQ(owner.element("I agree")["state"], "on");
}

TEST_F(OwnerSessionTest, TypingIsProvenAgainstThePredictedValue) {
  Json name = owner.element("Name");
  Json element = resolved(name);
  element["expectedValueState"] = name["valueState"];
  Json prepared = owner.prepare(
      {{"kind", "type"}}, {{"textChunks", {"Ada ", "Lovelace"}}, {"resolvedElement", element}});
  ASSERT_EQ(prepared["ok"], true) << prepared;
  const Json predicted = prepared["expectedAfterValueState"];
  EXPECT_EQ(predicted["scalarLength"], 12);
  EXPECT_NE(predicted["fingerprint"], name["valueState"]["fingerprint"]);

  Json committed = owner.commit(prepared);
  expectProven(committed);
  EXPECT_EQ(committed["readback"]["inputLength"], 12);
  EXPECT_EQ(app.command({{"op", "get"}, {"node", "name"}})["value"], "Ada Lovelace");
  // What the helper predicted is what it reads from the field afterwards.
  owner.observeUntilLabel("Name");
  EXPECT_EQ(owner.element("Name")["valueState"], predicted);
}

TEST_F(OwnerSessionTest, CopyAndPasteWithTheSessionsOwnClipboard) {
  ASSERT_EQ(app.command({{"op", "set-attribute"},
                         {"node", "name"},
                         {"attribute", "AXValue"},
                         {"value", "copy me"}})["ok"],
            true);
  owner.observeUntilLabel("Name");
  const Json name = resolved(owner.element("Name"));
  expectDispatched(owner.act({{"kind", "key"}, {"key", "Ctrl+A"}}, {{"resolvedElement", name}}));
  Json copied = owner.act({{"kind", "key"}, {"key", "Ctrl+C"}}, {{"resolvedElement", name}});
  expectProven(copied);
  ASSERT_TRUE(copied["readback"]["clipboardSequence"].is_number_unsigned()) << copied;
  const Json sequence = copied["readback"]["clipboardSequence"];

  // Pasting elsewhere in the window takes the copied text there.
  Json pasted =
      owner.act({{"kind", "key"}, {"key", "Ctrl+V"}, {"expectedClipboardSequence", sequence}},
                {{"resolvedElement", resolved(owner.element("Notes"))}});
  expectDispatched(pasted);
  waitForNode(app, "notes", "the pasted text", [](const Json& notes) {
    return notes["value"].get<std::string>().find("copy me") != std::string::npos;
  });
}

TEST_F(OwnerSessionTest, ScrollingMovesTheTextArea) {
  ASSERT_EQ(app.command({{"op", "get"}, {"node", "notes"}})["scroll"]["value"], 0.0);
  expectDispatched(owner.act({{"kind", "scroll"}, {"deltaX", 0}, {"deltaY", 1}},
                             {{"resolvedElement", resolved(owner.element("Notes"))}}));
  waitForNode(app, "notes", "a scrolled text area",
              [](const Json& notes) { return notes["scroll"]["value"].get<double>() > 0; });
}

}  // namespace
}  // namespace qcu::test
