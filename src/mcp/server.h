// The MCP server: protocol state, the helper it owns, the session its tools keep, and the queue
// of tool calls that one worker thread runs in arrival order.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mcp/helper.h"
#include "mcp/present.h"
#include "mcp/tools.h"

namespace qcu::mcp {

inline constexpr const char* SERVER_NAME = "quorvel-cu-mcp";
inline constexpr const char* SERVER_VERSION = "0.1.0";

struct ServerOptions {
  HelperOptions helper;
  bool timing = false;  // add the server's and the helper's time to every tool result
};

// What the tools remember between calls.
struct Session {
  std::vector<ListedWindow> windows;  // the latest listing, window n is windows[n - 1]
  std::optional<ListedWindow> bound;
  std::optional<Observation> observation;          // of the bound window
  std::optional<std::uint32_t> clipboardSequence;  // after this session's proven copy or cut
  std::vector<std::string> notes;                  // events and restarts for the next tool result
  std::uint64_t attempts = 0;
};

// One "tools/call" request.
struct Call {
  json id;
  const ToolSpec* tool = nullptr;
  json arguments;
  std::uint64_t stopEpoch = 0;  // the server's stop count when the call arrived
  std::chrono::steady_clock::time_point received;
  std::atomic<bool> cancelled{false};  // the client withdrew it: no answer
  double helperSeconds = 0;            // time spent waiting for the helper

  std::mutex lock;        // guards attemptId
  std::string attemptId;  // the action being committed for this call, if any
};

struct Server {
  ServerOptions options;

  std::mutex outputLock;  // guards the write of one message to standard output

  std::mutex protocolLock;  // guards the three below
  bool initialized = false;
  std::string protocolVersion;
  int logLevel = 0;  // index into the MCP logging levels; messages below it are not sent

  std::mutex helperLock;  // guards helper; never held while waiting for the helper
  std::shared_ptr<HelperLink> helper;

  std::mutex sessionLock;  // guards session; never held while waiting for the helper
  Session session;

  std::mutex queueLock;  // guards calls and running
  std::condition_variable queueChanged;
  std::deque<std::shared_ptr<Call>> calls;
  std::shared_ptr<Call> running;

  std::atomic<std::uint64_t> stopEpoch{0};
};

// Writes one message as one line; never throws.
void writeMessage(Server& server, const json& message);
// Sends a "notifications/message" at the level ("info", "warning", "error") unless the client
// asked for a higher level.
void logToClient(Server& server, const std::string& level, const json& data);
// Adds a note for the next tool result.
void addNote(Server& server, const std::string& note);

// Forgets what belonged to a helper that ended: its listing, binding, observation and copy.
void forgetHelperState(Server& server);

// The running helper, or null.
std::shared_ptr<HelperLink> currentHelper(Server& server);
// The running helper, started (again) when there is none; null with the reason in failure.
// Runs only on the worker thread, which lives as long as the server: the helper dies with the
// thread that started it.
std::shared_ptr<HelperLink> ensureHelper(Server& server, std::string& failure);

struct ToolOutcome {
  json content = json::array();
  bool isError = false;
};

// Runs one tool call against the helper (calls.cpp). Never throws.
ToolOutcome runTool(Server& server, Call& call);
// The "stop" tool, run at once on the reading thread so it overtakes queued calls.
ToolOutcome runStop(Server& server);

// Reads standard input and serves it until it ends; then ends the helper and the process.
[[noreturn]] void serve(const ServerOptions& options);
// Ends the helper and the process at once (a signal or the end of input).
[[noreturn]] void shutDown(int status);

}  // namespace qcu::mcp
