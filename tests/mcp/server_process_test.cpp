// The server as a process over pipes: whatever a client writes gets one answer per request and
// never ends the server, and no helper outlives it however it ends.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mcp/jsonrpc.h"
#include "process/child.h"

namespace qcu::mcp {
namespace {

using test::Child;

const std::string SERVER = QCU_MCP_SERVER;
const std::string SIM = QCU_HELPER_SIM;
const std::string DESKTOP = std::string(QCU_SOURCE_DIR) + "/tests/mcp/desktop.json";

Child startServer(const std::string& helper = SIM) {
  return test::spawnChild(SERVER, {"--helper", helper, "--", "--sim-desktop", DESKTOP});
}

std::string request(const json& id, const std::string& method, json params = json::object()) {
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump() + "\n";
}

std::string initialize(const std::string& version = "2025-06-18") {
  return request(0, "initialize",
                 {{"protocolVersion", version},
                  {"capabilities", json::object()},
                  {"clientInfo", {{"name", "t"}, {"version", "1"}}}});
}

bool alive(pid_t pid) {
  std::string text;
  try {  // a process that ends between the open and the read makes the read throw
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    text.assign(std::istreambuf_iterator<char>(stat), std::istreambuf_iterator<char>());
  } catch (const std::exception&) {
    return false;
  }
  auto close = text.rfind(") ");
  return close != std::string::npos && text[close + 2] != 'Z';
}

// The server's live children, from /proc.
std::vector<pid_t> childrenOf(pid_t pid) {
  std::vector<pid_t> children;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::ifstream file(task.path() / "children");
    for (pid_t child; file >> child;) {
      if (alive(child)) children.push_back(child);
    }
  }
  return children;
}

// The helper the server started; it says hello before the server serves, so wait for it.
pid_t helperOf(pid_t server) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    auto children = childrenOf(server);
    if (!children.empty()) return children.front();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ADD_FAILURE() << "the server started no helper within 20 s";
  return -1;
}

bool endsWithin(pid_t pid, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!alive(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST(ServerProcess, GarbageGetsOneErrorPerRequestAndTheServerKeepsServing) {
  Child server = startServer();
  server.write(request(1, "tools/list"));  // before initialize
  server.write(initialize("1999-01-01"));
  server.write(initialize());
  server.write("this is not json\n");
  server.write("{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"\xFF\xFE\"}\n");
  server.write(std::string(100, '[') + std::string(100, ']') + "\n");
  server.write(std::string(MAX_LINE_BYTES + 10, ' ') + "\n");
  server.write("[]\n\n\r\n");
  server.write(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
               "\n");
  server.write(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":99}})"
               "\n");
  server.write(request(3, "resources/list"));
  server.write(request(4, "tools/call", {{"name", "click"}, {"arguments", {{"element", "x"}}}}));
  server.write(request(5, "tools/call", {{"name", 5}}));
  server.write(request(6, "logging/setLevel", {{"level", "loud"}}));
  server.write(request(7, "ping"));

  struct Expected {
    json id;
    int code;  // 0: a result
  };
  const Expected expected[] = {
      {1, INVALID_REQUEST},
      {0, 0},
      {0, INVALID_REQUEST},
      {nullptr, PARSE_ERROR},
      {nullptr, PARSE_ERROR},
      {nullptr, PARSE_ERROR},
      {nullptr, INVALID_REQUEST},
      {nullptr, INVALID_REQUEST},
      {3, METHOD_NOT_FOUND},
      {4, INVALID_PARAMS},
      {5, INVALID_PARAMS},
      {6, INVALID_PARAMS},
      {7, 0},
  };
  for (const auto& want : expected) {
    auto message = server.readMessage(20);
    ASSERT_TRUE(message) << "no answer for id " << want.id;
    SCOPED_TRACE(message->dump());
    EXPECT_EQ((*message)["id"], want.id);
    if (want.code) {
      EXPECT_EQ((*message)["error"]["code"], want.code);
    } else {
      EXPECT_TRUE(message->contains("result"));
    }
    if (want.id == 0 && !want.code) {
      // A version it does not speak: the newest it does.
      EXPECT_EQ((*message)["result"]["protocolVersion"], "2025-11-25");
    }
  }
  EXPECT_FALSE(server.readLine(0.3)) << "nothing more: notifications are never answered";
  server.closeInput();
  EXPECT_EQ(server.waitExit(20), 0);
}

TEST(ServerProcess, NoHelperOutlivesTheServerHoweverItEnds) {
  struct Ending {
    const char* how;
    int status;  // the server's exit status, as Child::waitExit reports it
  };
  for (const Ending ending : {Ending{"end of input", 0}, Ending{"SIGTERM", 128 + SIGTERM},
                              Ending{"SIGKILL", 128 + SIGKILL}}) {
    SCOPED_TRACE(ending.how);
    Child server = startServer();
    const pid_t helper = helperOf(server.pid);
    ASSERT_GT(helper, 0);
    if (ending.status == 0) server.closeInput();
    if (ending.status == 128 + SIGTERM) kill(server.pid, SIGTERM);
    if (ending.status == 128 + SIGKILL) kill(server.pid, SIGKILL);
    EXPECT_EQ(server.waitExit(20), ending.status);
    // Its helper ends with it; as the server's child it is re-parented, so ask /proc.
    EXPECT_TRUE(endsWithin(helper, 20)) << "helper " << helper << " still runs";
  }
}

TEST(ServerProcess, AHelperThatCannotRunIsReportedInTheToolResult) {
  Child server = startServer("/nonexistent/quorvel-cu");
  server.write(initialize());
  server.write(request(1, "tools/call", {{"name", "list_windows"}}));
  ASSERT_TRUE(server.readMessage(20));
  auto answer = server.readMessage(20);
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["result"]["isError"], true) << *answer;
  EXPECT_NE((*answer)["result"]["content"][0]["text"].get<std::string>().find(
                "cannot run /nonexistent/quorvel-cu"),
            std::string::npos)
      << *answer;
  server.closeInput();
  EXPECT_EQ(server.waitExit(20), 0);
}

// A server bound to the test desktop's Notes window and observed, with the desktop's control
// socket at hand.
struct Session {
  int control = -1;
  std::optional<Child> server;
  int lastId = 0;
  std::vector<json> early;  // answers read while waiting for another

  Session() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    server.emplace(test::spawnChild(
        SERVER,
        {"--helper", SIM, "--", "--sim-desktop", DESKTOP, "--sim-control", std::to_string(pair[1])},
        {}, {pair[1]}));
    close(pair[1]);
    control = pair[0];
    server->write(initialize());
    EXPECT_TRUE(server->readMessage(20));
    for (auto [name, arguments] : {std::pair<const char*, json>{"list_windows", json::object()},
                                   {"bind_window", {{"window", 1}}},
                                   {"observe", json::object()}}) {
      json result = call(name, arguments);
      EXPECT_EQ(result["isError"], false) << result;
    }
  }
  ~Session() {
    if (control >= 0) close(control);
  }

  std::string line(const char* tool, const json& arguments) {
    return request(++lastId, "tools/call", {{"name", tool}, {"arguments", arguments}});
  }
  // The result of the answer with the id, skipping log messages. Answers to other calls read on
  // the way are kept: calls answered by different threads may be answered in any order.
  json answer(int id) {
    for (auto kept = early.begin(); kept != early.end(); ++kept) {
      if ((*kept)["id"] == id) {
        json result = (*kept)["result"];
        early.erase(kept);
        return result;
      }
    }
    for (;;) {
      auto message = server->readMessage(30);
      if (!message) return json();
      if ((*message)["id"] == id) return (*message)["result"];
      if (message->contains("id")) early.push_back(std::move(*message));
    }
  }
  json call(const char* tool, const json& arguments = json::object()) {
    server->write(line(tool, arguments));
    return answer(lastId);
  }
  // Applies a control command and returns the desktop's reply.
  json command(const json& command) {
    const std::string text = command.dump() + "\n";
    if (write(control, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      ADD_FAILURE() << "cannot send " << text;
      return json();
    }
    std::string reply;
    while (reply.find('\n') == std::string::npos) {
      pollfd p{control, POLLIN, 0};
      char chunk[65536];
      if (poll(&p, 1, 20000) != 1) break;
      const ssize_t got = read(control, chunk, sizeof chunk);
      if (got <= 0) break;
      reply.append(chunk, static_cast<std::size_t>(got));
    }
    json answer = json::parse(reply, nullptr, false);
    EXPECT_EQ(answer.is_object() ? answer.value("ok", false) : false, true)
        << "reply to " << text << ": " << reply;
    return answer;
  }
};

std::string textOf(const json& result) {
  std::string text;
  for (const auto& item : result.value("content", json::array())) {
    if (item.value("type", "") == "text") text += item.value("text", "") + "\n";
  }
  return text;
}

TEST(ServerSession, StopOvertakesAnActionWaitingBehindASlowCall) {
  Session session;
  ASSERT_GE(session.control, 0);
  // Every accessibility call of the window's application now takes 0.1 s, so the observation
  // runs for seconds while the stop arrives right behind the two calls.
  session.command({{"op", "set-app"}, {"pid", 9004242}, {"delay", 0.1}});
  const int observeId = session.lastId + 1;
  std::string lines = session.line("observe", json::object());
  const int keyId = session.lastId + 1;
  lines += session.line("press_key", {{"key", "Enter"}});
  const int stopId = session.lastId + 1;
  lines += session.line("stop", json::object());
  session.server->write(lines);

  // The stop answers at once, either drained or, when the observation sits in a slow call
  // longer than the helper waits, with the helper's "stop_timeout"; both cancel everything.
  json stopped = session.answer(stopId);
  EXPECT_NE(textOf(stopped).find("Stop"), std::string::npos) << stopped;
  session.answer(observeId);  // cancelled by the stop, or done: either way answered
  json key = session.answer(keyId);
  EXPECT_EQ(key["isError"], true) << key;
  EXPECT_NE(textOf(key).find("Not run: a stop came after"), std::string::npos) << key;

  session.command({{"op", "set-app"}, {"pid", 9004242}, {"delay", 0}});
  EXPECT_EQ(session.call("observe")["isError"], false);
  EXPECT_EQ(session.call("press_key", {{"key", "Enter"}})["isError"], false);
}

TEST(ServerSession, AWithdrawnCallWaitingInLineIsNeverRunNorAnswered) {
  Session session;
  ASSERT_GE(session.control, 0);
  session.command({{"op", "set-app"}, {"pid", 9004242}, {"delay", 0.05}});
  const int observeId = session.lastId + 1;
  std::string lines = session.line("observe", json::object());
  const int keyId = session.lastId + 1;
  lines += session.line("press_key", {{"key", "Enter"}});
  lines += json{{"jsonrpc", "2.0"},
                {"method", "notifications/cancelled"},
                {"params", {{"requestId", keyId}, {"reason", "changed my mind"}}}}
               .dump() +
           "\n";
  const int listId = session.lastId + 1;
  lines += session.line("list_windows", json::object());
  session.server->write(lines);
  // Calls run in arrival order, so had the key been run its answer would come before the list's.
  std::vector<json> ids;
  for (;;) {
    auto message = session.server->readMessage(30);
    ASSERT_TRUE(message) << "no answer to the listing";
    if (message->contains("id")) ids.push_back((*message)["id"]);
    if ((*message)["id"] == listId) break;
  }
  EXPECT_EQ(ids, (std::vector<json>{observeId, listId}));
  // Nor did any key reach the desktop.
  const json posted = session.command({{"op", "posted"}});
  for (const auto& event : posted.value("events", json::array())) {
    EXPECT_NE(event.value("type", ""), "key-down") << posted;
  }
}

TEST(ServerSession, TextTooLargeOnceEncodedIsRefusedAndTheHelperKeepsItsBinding) {
  Session session;
  ASSERT_TRUE(session.server);
  const pid_t helper = helperOf(session.server->pid);
  // Within the byte limit, but each control character takes six bytes in the helper's JSON.
  json typed = session.call("type_text", {{"element", 1}, {"text", std::string(20000, '\x01')}});
  EXPECT_EQ(typed["isError"], true) << typed;
  EXPECT_NE(textOf(typed).find("too large"), std::string::npos) << typed;
  EXPECT_EQ(helperOf(session.server->pid), helper);
  json small = session.call("type_text", {{"element", 1}, {"text", "!"}});
  EXPECT_NE(textOf(small).find("Effect proven"), std::string::npos) << small;
}

}  // namespace
}  // namespace qcu::mcp
