#include "mcp/server.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "foundation/lines.h"
#include "mcp/jsonrpc.h"

namespace qcu::mcp {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Newest first; a client asking for another one gets the newest.
const std::vector<std::string>& supportedVersions() {
  static const auto* versions = new std::vector<std::string>{
      "2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05", "2024-10-07"};
  return *versions;
}

constexpr const char* LOG_LEVELS[] = {"debug", "info",     "notice", "warning",
                                      "error", "critical", "alert",  "emergency"};

int levelIndex(const std::string& level) {
  for (int i = 0; i < static_cast<int>(std::size(LOG_LEVELS)); ++i) {
    if (level == LOG_LEVELS[i]) return i;
  }
  return -1;
}

constexpr const char* INSTRUCTIONS =
    "Operates exactly one window of another application on the user's desktop, under a safety "
    "policy that refuses whenever it cannot be sure. Work in this order: list_windows, "
    "bind_window, observe, then one action (click, type_text, press_key, scroll), then observe "
    "again to see its effect. Actions name elements by their numbers in the latest observation. "
    "Every action answers whether its effect was proven, dispatched but unproven, or uncertain. "
    "Use stop to cancel everything at once.";

// Made once in serve() and never destroyed; read by the signal watcher, which starts earlier.
std::atomic<Server*> theServer{nullptr};

void answer(Server& server, const json& id, json result) {
  writeMessage(server, resultMessage(id, std::move(result)));
}

void refuse(Server& server, const json& id, int code, const std::string& message) {
  writeMessage(server, errorMessage(id, code, message));
}

std::string takeNotes(Server& server) {
  std::lock_guard guard(server.sessionLock);
  if (server.session.notes.empty()) return {};
  std::string words = "Since the last call: ";
  for (std::size_t i = 0; i < server.session.notes.size(); ++i) {
    words += (i ? "; " : "") + server.session.notes[i];
  }
  server.session.notes.clear();
  return words + ".";
}

void answerTool(Server& server, Call& call, ToolOutcome outcome) {
  json content = json::array();
  if (std::string notes = takeNotes(server); !notes.empty()) {
    content.push_back({{"type", "text"}, {"text", notes}});
  }
  for (auto& item : outcome.content)
    content.push_back(std::move(item));
  json result = {{"content", std::move(content)}, {"isError", outcome.isError}};
  if (server.options.timing) {
    const double total =
        std::chrono::duration<double, std::milli>(SteadyClock::now() - call.received).count();
    const double helper = call.helperSeconds * 1000.0;
    result["_meta"] = {{"quorvel-cu/timing",
                        {{"totalMs", total}, {"helperMs", helper}, {"serverMs", total - helper}}}};
  }
  answer(server, call.id, std::move(result));
}

void helperEvent(Server& server, const json& event) {
  const std::string words = eventWords(event);
  addNote(server, "the helper reported that " + words);
  const json& payload = event.contains("event") ? event["event"] : json::object();
  logToClient(server, "warning",
              {{"event", payload.value("type", "")},
               {"detail", payload.value("detail", "")},
               {"message", "The helper reported that " + words + "."}});
}

void helperEnded(Server& server, const std::string& how) {
  forgetHelperState(server);
  const std::string words = "the helper process ended (" + how +
                            ") and the next call starts it again; the window binding, the "
                            "window list and the observation are gone, so call list_windows "
                            "and bind_window again";
  addNote(server, words);
  logToClient(server, "error", {{"message", "The helper process ended (" + how + ")."}});
}

void runWorker(Server* server) {
  std::string ignored;
  ensureHelper(*server, ignored);  // early, so the first call does not wait for it
  for (;;) {
    std::shared_ptr<Call> call;
    {
      std::unique_lock guard(server->queueLock);
      server->queueChanged.wait(guard, [&] { return !server->calls.empty(); });
      call = std::move(server->calls.front());
      server->calls.pop_front();
      server->running = call;
    }
    ToolOutcome outcome;
    if (call->tool->acts && call->stopEpoch != server->stopEpoch.load()) {
      outcome.isError = true;
      outcome.content.push_back(
          {{"type", "text"},
           {"text", "Not run: a stop came after this call was made. Observe, then act again."}});
    } else {
      outcome = runTool(*server, *call);
    }
    {
      std::lock_guard guard(server->queueLock);
      server->running.reset();
    }
    if (!call->cancelled) answerTool(*server, *call, std::move(outcome));
  }
}

bool idInUse(Server& server, const json& id) {
  std::lock_guard guard(server.queueLock);
  if (server.running && server.running->id == id) return true;
  return std::any_of(server.calls.begin(), server.calls.end(),
                     [&](const auto& call) { return call->id == id; });
}

void handleToolCall(Server& server, const Incoming& in, SteadyClock::time_point received) {
  auto name = in.params.find("name");
  if (name == in.params.end() || !name->is_string()) {
    return refuse(server, in.id, INVALID_PARAMS, "params.name must be a tool name");
  }
  const ToolSpec* tool = findTool(name->get<std::string>());
  if (!tool)
    return refuse(server, in.id, INVALID_PARAMS, "Unknown tool: " + name->get<std::string>());
  json arguments = in.params.value("arguments", json());
  if (auto fault = checkArguments(*tool, arguments)) {
    return refuse(server, in.id, INVALID_PARAMS,
                  "Invalid arguments for tool " + tool->name + ": " + *fault);
  }
  if (idInUse(server, in.id)) {
    return refuse(server, in.id, INVALID_REQUEST, "id is already used by a call in progress");
  }
  auto call = std::make_shared<Call>();
  call->id = in.id;
  call->tool = tool;
  call->arguments = arguments.is_null() ? json::object() : std::move(arguments);
  call->received = received;
  if (tool->name == "stop") return answerTool(server, *call, runStop(server));
  call->stopEpoch = server.stopEpoch.load();
  std::lock_guard guard(server.queueLock);
  server.calls.push_back(std::move(call));
  server.queueChanged.notify_one();
}

// The client withdrew a request: a waiting call is dropped, a running one is answered no more
// and its commit, if one is running, is cancelled.
void cancelCall(Server& server, const json& id) {
  std::shared_ptr<Call> running;
  {
    std::lock_guard guard(server.queueLock);
    auto& calls = server.calls;
    calls.erase(std::remove_if(calls.begin(), calls.end(),
                               [&](const auto& call) { return call->id == id; }),
                calls.end());
    if (server.running && server.running->id == id) running = server.running;
  }
  if (!running) return;
  running->cancelled = true;
  std::string attemptId;
  {
    std::lock_guard guard(running->lock);
    attemptId = running->attemptId;
  }
  auto helper = currentHelper(server);
  if (helper && !attemptId.empty()) askHelper(*helper, "cancel", {{"attemptId", attemptId}}, 5.0);
}

void handleRequest(Server& server, const Incoming& in, SteadyClock::time_point received) {
  const std::string& method = in.method;
  if (method == "ping") return answer(server, in.id, json::object());
  if (method == "initialize") {
    auto version = in.params.find("protocolVersion");
    if (version == in.params.end() || !version->is_string()) {
      return refuse(server, in.id, INVALID_PARAMS, "params.protocolVersion must be a string");
    }
    const auto& supported = supportedVersions();
    std::string chosen = std::find(supported.begin(), supported.end(), *version) != supported.end()
                             ? version->get<std::string>()
                             : supported.front();
    {
      std::lock_guard guard(server.protocolLock);
      if (server.initialized) {
        return refuse(server, in.id, INVALID_REQUEST, "The session is already initialized");
      }
      server.initialized = true;
      server.protocolVersion = chosen;
    }
    return answer(
        server, in.id,
        {{"protocolVersion", chosen},
         {"capabilities", {{"tools", {{"listChanged", false}}}, {"logging", json::object()}}},
         {"serverInfo", {{"name", SERVER_NAME}, {"version", SERVER_VERSION}}},
         {"instructions", INSTRUCTIONS}});
  }
  std::string version;
  {
    std::lock_guard guard(server.protocolLock);
    if (!server.initialized) {
      return refuse(server, in.id, INVALID_REQUEST, "Initialize the session first");
    }
    version = server.protocolVersion;
  }
  if (method == "tools/list") return answer(server, in.id, toolListing(version));
  if (method == "tools/call") return handleToolCall(server, in, received);
  if (method == "logging/setLevel") {
    auto level = in.params.find("level");
    const int index =
        level != in.params.end() && level->is_string() ? levelIndex(level->get<std::string>()) : -1;
    if (index < 0) return refuse(server, in.id, INVALID_PARAMS, "params.level must be a log level");
    {
      std::lock_guard guard(server.protocolLock);
      server.logLevel = index;
    }
    return answer(server, in.id, json::object());
  }
  refuse(server, in.id, METHOD_NOT_FOUND, "Method not found: " + method);
}

void handleLine(Server& server, std::string_view line) {
  const auto received = SteadyClock::now();
  Incoming in = decodeMessage(line);
  try {
    switch (in.kind) {
      case Incoming::Kind::Invalid:
        return refuse(server, in.id, in.errorCode, in.errorMessage);
      case Incoming::Kind::Ignored:
        return;
      case Incoming::Kind::Notification:
        if (in.method == "notifications/cancelled" && in.params.contains("requestId")) {
          cancelCall(server, in.params["requestId"]);
        }
        return;
      case Incoming::Kind::Request:
        return handleRequest(server, in, received);
    }
  } catch (const std::exception& error) {
    if (in.kind == Incoming::Kind::Request) {
      refuse(server, in.id, INTERNAL_ERROR, std::string("Internal error: ") + error.what());
    }
  }
}

}  // namespace

void writeMessage(Server& server, const json& message) {
  const std::string line = encodeLine(message);
  std::lock_guard guard(server.outputLock);
  std::size_t sent = 0;
  while (sent < line.size()) {
    ssize_t n = write(1, line.data() + sent, line.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the client is gone; the end of its input ends the server
    sent += static_cast<std::size_t>(n);
  }
}

void logToClient(Server& server, const std::string& level, const json& data) {
  {
    std::lock_guard guard(server.protocolLock);
    if (!server.initialized || levelIndex(level) < server.logLevel) return;
  }
  writeMessage(server,
               notificationMessage("notifications/message",
                                   {{"level", level}, {"logger", "quorvel-cu"}, {"data", data}}));
}

void addNote(Server& server, const std::string& note) {
  // Bounded: a user typing for a long while sends many events; the same note is kept once.
  constexpr std::size_t MAX_NOTES = 16;
  std::lock_guard guard(server.sessionLock);
  auto& notes = server.session.notes;
  if (std::find(notes.begin(), notes.end(), note) != notes.end()) return;
  if (notes.size() == MAX_NOTES) notes.erase(notes.begin());
  notes.push_back(note);
}

void forgetHelperState(Server& server) {
  std::lock_guard guard(server.sessionLock);
  server.session.windows.clear();
  server.session.bound.reset();
  server.session.observation.reset();
  server.session.clipboardSequence.reset();
}

std::shared_ptr<HelperLink> currentHelper(Server& server) {
  std::lock_guard guard(server.helperLock);
  return server.helper && helperRunning(*server.helper) ? server.helper : nullptr;
}

std::shared_ptr<HelperLink> ensureHelper(Server& server, std::string& failure) {
  std::shared_ptr<HelperLink> ended;
  {
    std::lock_guard guard(server.helperLock);
    if (server.helper && helperRunning(*server.helper)) return server.helper;
    ended = std::move(server.helper);
  }
  if (ended) endHelper(*ended, 0.5);  // reaped already; this joins its reader
  Server* self = &server;
  auto link = startHelper(
      server.options.helper, [self](const json& event) { helperEvent(*self, event); },
      [self](const std::string& how) { helperEnded(*self, how); }, failure);
  std::lock_guard guard(server.helperLock);
  server.helper = link;
  return link;
}

void shutDown(int status) {
  static std::atomic<bool> ending{false};
  if (ending.exchange(true)) {
    // Another thread is ending the process.
    for (;;)
      pause();
  }
  std::shared_ptr<HelperLink> helper;
  if (Server* server = theServer.load()) {
    std::lock_guard guard(server->helperLock);
    helper = server->helper;
  }
  // Closing its input ends the helper; one that lingers is killed.
  if (helper) endHelper(*helper, 2.0);
  _exit(status);
}

void serve(const ServerOptions& options) {
  auto* server = new Server;
  server->options = options;
  theServer = server;
  std::thread(runWorker, server).detach();
  LineFramer framer([server](std::string_view line) { handleLine(*server, line); },
                    [server] {
                      refuse(*server, nullptr, INVALID_REQUEST,
                             "Message exceeds " + std::to_string(MAX_LINE_BYTES) + " bytes");
                    },
                    MAX_LINE_BYTES);
  char chunk[65536];
  for (;;) {
    ssize_t got = read(0, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    framer.feed(chunk, static_cast<std::size_t>(got));
  }
  shutDown(0);
}

}  // namespace qcu::mcp
