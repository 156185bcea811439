#include "runtime/output.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "foundation/limits.h"
#include "foundation/uuid.h"

namespace qcu {
namespace {

void writeToStdout(std::string_view line) {
  // Write errors are ignored: SIGPIPE is ignored and the process lives on until input ends or
  // the owner goes away.
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

std::atomic<OutputSink> outputSink{&writeToStdout};
std::atomic<ExitHook> exitHook{nullptr};

// Guards the write and flush of one message and nothing else. Never destroyed.
std::mutex& outputLock() {
  static auto* lock = new std::mutex();
  return *lock;
}

std::optional<std::string> tryDump(const Json& message) {
  try {
    return message.dump(-1, ' ', false, Json::error_handler_t::strict);
  } catch (...) {
    return std::nullopt;  // a string that is not valid UTF-8
  }
}

}  // namespace

std::string serializeMessage(const Json& message) {
  auto payload = tryDump(message);
  if (payload && payload->size() <= MAX_MESSAGE_BYTES) return *payload;
  std::string requestId = "none";
  if (message.is_object()) {
    auto it = message.find("requestId");
    if (it != message.end() && it->is_string()) requestId = it->get<std::string>();
  }
  Json substitute = {{"v", PROTOCOL_VERSION},       {"type", "error"},
                     {"requestId", requestId},      {"ok", false},
                     {"code", "response_oversize"}, {"message", "response exceeds limit"}};
  auto replaced = tryDump(substitute);
  if (!replaced || replaced->size() > MAX_MESSAGE_BYTES) {
    // The request id itself could not be written (invalid UTF-8 or too long): use "none".
    substitute["requestId"] = "none";
    replaced = tryDump(substitute);
  }
  return replaced.value_or(std::string());
}

void writeMessage(const Json& message) {
  std::string line = serializeMessage(message);
  line.push_back('\n');
  std::lock_guard<std::mutex> guard(outputLock());
  outputSink.load()(line);
}

void writeOk(const std::string& type, const std::string& requestId, const Json& result) {
  Json message = {{"v", PROTOCOL_VERSION}, {"type", type}, {"requestId", requestId}, {"ok", true}};
  if (result.is_object()) {
    for (const auto& [key, value] : result.items())
      message[key] = value;
  }
  writeMessage(message);
}

void writeError(const std::string& requestId, const std::string& code, const std::string& message) {
  writeMessage({{"v", PROTOCOL_VERSION},
                {"type", "error"},
                {"requestId", requestId.empty() ? std::string("none") : requestId},
                {"ok", false},
                {"code", code},
                {"message", message}});
}

void emitEvent(const std::string& name, const std::optional<Ident>& identity,
               const std::string& detail) {
  Json payload = {{"type", name}, {"detail", detail}};
  if (identity) payload["identity"] = identity->object();
  writeMessage({{"v", PROTOCOL_VERSION},
                {"type", "event"},
                {"requestId", "event:" + randomUUIDHexLower()},
                {"event", std::move(payload)}});
}

void setOutputSink(OutputSink sink) {
  outputSink = sink ? sink : &writeToStdout;
}

void setExitHook(ExitHook hook) {
  exitHook = hook;
}

void exitProcess(int status) {
  if (ExitHook hook = exitHook.load()) {
    hook(status);
    return;
  }
  {
    // Taking the lock waits for a message being written by another thread to finish.
    outputLock().lock();
    std::fflush(stdout);
  }
  _exit(status);
}

}  // namespace qcu
