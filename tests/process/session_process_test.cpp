// Whole sessions through the simulated helper executable: the desktop comes from a description
// file and changes through the control socket while the owner talks to the helper.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "process/child.h"

namespace qcu::test {
namespace {

using Json = nlohmann::json;

const std::string SIM = QCU_HELPER_SIM;

std::string request(const std::string& type, const std::string& id, Json fields = Json::object()) {
  fields["v"] = 1;
  fields["requestId"] = id;
  fields["type"] = type;
  return fields.dump() + "\n";
}

// The control socket's end held by the test, and the simulated desktop's replies on it.
struct Control {
  int fd = -1;
  std::string pending;

  Json send(const Json& command) {
    std::string line = command.dump() + "\n";
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return {};
    for (;;) {
      auto lf = pending.find('\n');
      if (lf != std::string::npos) {
        Json reply = Json::parse(pending.substr(0, lf));
        pending.erase(0, lf + 1);
        return reply;
      }
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) return {};
      char chunk[4096];
      ssize_t got = ::read(fd, chunk, sizeof chunk);
      if (got <= 0) return {};
      pending.append(chunk, static_cast<std::size_t>(got));
    }
  }
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qcu-session-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TempDir() {
    if (!path_.empty()) std::filesystem::remove_all(path_);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Reads messages until one satisfies want or the timeout passes; the others are collected.
std::optional<Json> readUntil(Child& helper, const std::function<bool(const Json&)>& want,
                              std::vector<Json>& others, double timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  for (;;) {
    double left =
        std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return std::nullopt;
    auto message = helper.readMessage(left);
    if (!message) return std::nullopt;
    if (want(*message)) return message;
    others.push_back(*message);
  }
}

// Starts the simulated helper on the description with a control socket, and says hello.
struct Session {
  TempDir dir;
  std::optional<Child> child;
  Control control;
  Child& helper() { return *child; }

  explicit Session(const Json& description) {
    const std::string desk = dir.path() + "/desk.json";
    std::ofstream(desk) << description.dump();
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    child.emplace(spawnOwnedHelper(
        SIM, {"--sim-desktop", desk, "--sim-control", std::to_string(pair[1])}, {}, {pair[1]}));
    ::close(pair[1]);
    control.fd = pair[0];
    helper().write(request("hello", "h", {{"protocolVersion", 1}}));
    auto hello = helper().readMessage();
    EXPECT_TRUE(hello && (*hello)["ok"] == true);
  }
  ~Session() {
    if (control.fd >= 0) ::close(control.fd);
  }
  // Sends a request and returns its answer; events meanwhile are kept.
  Json ask(const std::string& type, const std::string& id, const Json& fields = Json::object(),
           double timeoutSeconds = 5) {
    helper().write(request(type, id, fields));
    auto answer = readUntil(
        helper(), [&](const Json& m) { return m["requestId"] == id; }, events, timeoutSeconds);
    return answer.value_or(Json());
  }
  std::vector<Json> events;
};

TEST(SimulatedSession, ListBindFocusAndTheWindowCloses) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string desk = dir.path() + "/desk.json";
  Json description = {
      {"apps",
       {{{"pid", 4242},
         {"executablePath", "/Applications/Notes.app/Contents/MacOS/Notes"},
         {"localizedName", "Notes"},
         {"bundleIdentifier", "com.example.notes"},
         {"windows", {{{"window", 101}, {"title", "Draft"}}}}},
        {{"pid", 4343},
         {"executablePath", "/Applications/Mail.app/Contents/MacOS/Mail"},
         {"localizedName", "Mail"},
         {"bundleIdentifier", "com.example.mail"},
         {"windows", {{{"window", 201}, {"title", "Inbox"}}}}}}},
      {"windows",
       {{{"number", 201}, {"pid", 4343}, {"title", "Inbox"}, {"bounds", {0, 0, 800, 600}}},
        {{"number", 101}, {"pid", 4242}, {"title", "Draft"}, {"bounds", {100, 80, 640, 480}}}}}};
  std::ofstream(desk) << description.dump();

  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  Child helper = spawnOwnedHelper(
      SIM, {"--sim-desktop", desk, "--sim-control", std::to_string(pair[1])}, {}, {pair[1]});
  ::close(pair[1]);
  Control control{pair[0]};

  helper.write(request("hello", "h", {{"protocolVersion", 1}}));
  auto hello = helper.readMessage();
  ASSERT_TRUE(hello.has_value());
  ASSERT_EQ((*hello)["ok"], true) << *hello;

  helper.write(request("list_candidates", "l"));
  auto listing = helper.readMessage();
  ASSERT_TRUE(listing.has_value());
  ASSERT_EQ((*listing)["candidates"].size(), 2u) << *listing;
  Json draft = (*listing)["candidates"][1];
  EXPECT_EQ(draft["title"], "Draft");
  EXPECT_EQ(draft["foreground"], false);

  helper.write(
      request("probe_binding", "p",
              {{"identity", draft["identity"]}, {"candidateToken", draft["candidateToken"]}}));
  auto bound = helper.readMessage();
  ASSERT_TRUE(bound.has_value());
  ASSERT_EQ((*bound)["ok"], true) << *bound;

  helper.write(request("focus_binding", "f", {{"identity", draft["identity"]}}));
  std::vector<Json> events;
  auto focused = readUntil(
      helper, [](const Json& m) { return m["requestId"] == "f"; }, events, 5);
  ASSERT_TRUE(focused.has_value());
  ASSERT_EQ((*focused)["ok"], true) << *focused;
  EXPECT_EQ((*focused)["probe"]["foreground"], true);

  EXPECT_EQ(control.send({{"op", "close-window"}, {"number", 101}, {"id", 7}}),
            Json({{"id", 7}, {"ok", true}}));
  auto destroyed = readUntil(
      helper, [](const Json& m) { return m["type"] == "event"; }, events, 3);
  ASSERT_TRUE(destroyed.has_value());
  EXPECT_EQ((*destroyed)["event"]["type"], "target-destroyed");
  EXPECT_EQ((*destroyed)["event"]["detail"], "selected window is gone");
  EXPECT_EQ((*destroyed)["event"]["identity"], draft["identity"]);
  EXPECT_TRUE((*destroyed)["requestId"].get<std::string>().starts_with("event:"));
  EXPECT_TRUE(events.empty()) << events.size() << " unexpected messages";

  // Once per disappearance: several ticks later, nothing more.
  EXPECT_FALSE(helper.readMessage(0.6).has_value());
  helper.closeInput();
  EXPECT_EQ(helper.waitExit(), 0);
  ::close(pair[0]);
}

TEST(SimulatedSession, ObserveCommitAClickAndShutDownWhileAnotherCommitRuns) {
  Json button = {{"id", "ok"},
                 {"role", "AXButton"},
                 {"title", "OK"},
                 {"actions", {"AXPress"}},
                 {"position", {200, 200}},
                 {"size", {80, 20}}};
  Json status = {{"id", "status"},
                 {"role", "AXStaticText"},
                 {"value", "idle"},
                 {"position", {200, 300}},
                 {"size", {200, 20}}};
  Json description = {
      {"apps",
       {{{"pid", 4242},
         {"executablePath", "/Applications/Notes.app/Contents/MacOS/Notes"},
         {"localizedName", "Notes"},
         {"bundleIdentifier", "com.example.notes"},
         {"windows", {{{"window", 101}, {"title", "Draft"}, {"children", {button, status}}}}}}}},
      {"windows",
       {{{"number", 101}, {"pid", 4242}, {"title", "Draft"}, {"bounds", {100, 80, 640, 480}}}}},
      {"effects",
       {{{"on", {{"press", {{"pid", 4242}, {"node", "ok"}}}}},
         {"commands",
          {{{"op", "set-attribute"},
            {"pid", 4242},
            {"node", "status"},
            {"attribute", "AXValue"},
            {"value", "saved"}}}}}}}};
  Session session(description);
  ASSERT_GE(session.control.fd, 0);

  Json listing = session.ask("list_candidates", "l");
  ASSERT_EQ(listing["candidates"].size(), 1u) << listing;
  Json identity = listing["candidates"][0]["identity"];
  Json bound = session.ask(
      "probe_binding", "p",
      {{"identity", identity}, {"candidateToken", listing["candidates"][0]["candidateToken"]}});
  ASSERT_EQ(bound["ok"], true) << bound;
  Json observed = session.ask("observe", "o", {{"identity", identity}});
  ASSERT_EQ(observed["ok"], true) << observed;
  std::string ref;
  for (const auto& element : observed["observation"]["elements"]) {
    if (element["label"] == "OK") ref = element["backendRef"];
  }
  ASSERT_FALSE(ref.empty()) << observed;

  // Press the button through the accessibility interface: the window shows the effect.
  Json prepared = session.ask("prepare_action", "a",
                              {{"attemptId", "run-1"},
                               {"identity", identity},
                               {"action", {{"kind", "click"}}},
                               {"resolvedElement", {{"backendRef", ref}}},
                               {"expected", bound["probe"]}});
  ASSERT_EQ(prepared["ok"], true) << prepared;
  EXPECT_EQ(prepared["method"], "uia");
  Json committed = session.ask("commit_action", "c",
                               {{"preparedId", prepared["preparedId"]}, {"attemptId", "run-1"}});
  ASSERT_EQ(committed["ok"], true) << committed;
  EXPECT_EQ(committed["readback"]["matched"], true);
  EXPECT_EQ(committed["readback"]["effectMatched"], true);
  EXPECT_EQ(committed["readback"]["detail"], "target-current; action-specific effect proven");

  // A click at a point that changes nothing verifies for 1.2 seconds; shutdown meanwhile is
  // answered at once and the helper exits cleanly.
  Json point = session.ask("prepare_action", "a2",
                           {{"attemptId", "run-2"},
                            {"identity", identity},
                            {"action", {{"kind", "click"}}},
                            {"fallbackPoint", {{"x", 600}, {"y", 500}}},
                            {"expected", bound["probe"]}});
  ASSERT_EQ(point["ok"], true) << point;
  session.helper().write(request("commit_action", "c2",
                                 {{"preparedId", point["preparedId"]}, {"attemptId", "run-2"}}));
  // Wait until the click has been posted, as the desktop's log shows.
  for (int i = 0; i < 200; ++i) {
    Json posted = session.control.send({{"op", "posted"}});
    if (posted["events"].size() >= 3) break;
    usleep(5000);
  }
  Json posted = session.control.send({{"op", "posted"}});
  ASSERT_EQ(posted["events"].size(), 3u) << posted;
  EXPECT_EQ(posted["events"][1],
            Json({{"type", "left-down"}, {"x", 600}, {"y", 500}, {"clickCount", 0}}));

  const auto start = std::chrono::steady_clock::now();
  Json shutdown = session.ask("shutdown", "s");
  EXPECT_EQ(shutdown["ok"], true) << shutdown;
  EXPECT_EQ(session.helper().waitExit(), 0);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0);
  for (const auto& other : session.events)
    EXPECT_EQ(other["type"], "event") << other;
}

}  // namespace
}  // namespace qcu::test
