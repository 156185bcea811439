#include "support/harness.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "desktop/sim/sim.h"
#include "foundation/clock.h"
#include "runtime/dispatch.h"
#include "runtime/output.h"
#include "session/state.h"

namespace qcu::test {
namespace {

std::mutex captureLock;  // guards lines and exitStatus
std::condition_variable captured;
std::vector<std::string> lines;
std::optional<int> exitStatus;

void captureSink(std::string_view line) {
  std::lock_guard<std::mutex> guard(captureLock);
  std::string text(line);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  lines.push_back(std::move(text));
  captured.notify_all();
}

void recordExit(int status) {
  std::lock_guard<std::mutex> guard(captureLock);
  exitStatus = status;
}

}  // namespace

void resetHarness() {
  setOutputSink(&captureSink);
  setExitHook(&recordExit);
  sim::reset();
  resetSessionForTests();
  resetClockForTests();
  std::lock_guard<std::mutex> guard(captureLock);
  lines.clear();
  exitStatus.reset();
}

void sendLine(const std::string& line) {
  handleLine(line);
}

void sendRequest(const std::string& type, const std::string& requestId, const Json& fields) {
  Json request = fields.is_object() ? fields : Json::object();
  request["v"] = 1;
  request["requestId"] = requestId;
  request["type"] = type;
  handleLine(request.dump());
}

std::vector<std::string> takeLines() {
  std::lock_guard<std::mutex> guard(captureLock);
  std::vector<std::string> taken;
  taken.swap(lines);
  return taken;
}

std::vector<Json> takeMessages() {
  std::vector<Json> messages;
  for (const auto& line : takeLines())
    messages.push_back(Json::parse(line));
  return messages;
}

bool waitForMessages(std::size_t count, double timeoutSeconds) {
  std::unique_lock<std::mutex> guard(captureLock);
  return captured.wait_for(guard, std::chrono::duration<double>(timeoutSeconds),
                           [count] { return lines.size() >= count; });
}

std::optional<int> recordedExit() {
  std::lock_guard<std::mutex> guard(captureLock);
  return exitStatus;
}

}  // namespace qcu::test
