#include "support/harness.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "runtime/dispatch.h"
#include "runtime/output.h"
#include "support/sim_desktop.h"

namespace qcu::test {
namespace {

std::mutex captureLock;  // guards lines and exitStatus
std::condition_variable captured;
std::vector<std::string> lines;
std::optional<int> exitStatus;
int askedRequests = 0;  // the test thread's own count for fresh request ids

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

std::chrono::steady_clock::time_point after(double seconds) {
  return std::chrono::steady_clock::now() +
         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
             std::chrono::duration<double>(seconds));
}

}  // namespace

void resetHarness() {
  setOutputSink(&captureSink);
  setExitHook(&recordExit);
  resetDesktopAndSession();
  unsetenv("QUORVEL_CU_FORCE_NO_PERMISSIONS");
  std::lock_guard<std::mutex> guard(captureLock);
  lines.clear();
  exitStatus.reset();
}

void sendLine(const std::string& line) {
  handleLine(line);
}

void sendRequest(const std::string& type, const std::string& requestId, const Json& fields) {
  handleLine(request(type, requestId, fields).dump());
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

Json answerTo(const std::string& requestId, std::vector<Json>* others, double timeoutSeconds) {
  const auto deadline = after(timeoutSeconds);
  Json answer;
  for (;;) {
    for (auto& message : takeMessages()) {
      if (message.value("requestId", "") != requestId) {
        if (others) {
          others->push_back(std::move(message));
        } else {
          ADD_FAILURE() << "while waiting for the answer to " << requestId << ": " << message;
        }
      } else if (answer.is_null()) {
        answer = std::move(message);
      } else {
        ADD_FAILURE() << requestId << " answered twice: " << message;
      }
    }
    if (!answer.is_null()) return answer;
    std::unique_lock<std::mutex> guard(captureLock);
    if (!captured.wait_until(guard, deadline, [] { return !lines.empty(); })) {
      ADD_FAILURE() << "no answer to " << requestId << " within " << timeoutSeconds << " s";
      return Json();
    }
  }
}

Json ask(const std::string& type, const Json& fields, std::vector<Json>* others,
         double timeoutSeconds) {
  const std::string requestId = type + "-" + std::to_string(++askedRequests);
  sendRequest(type, requestId, fields);
  return answerTo(requestId, others, timeoutSeconds);
}

bool waitUntil(const std::function<bool()>& condition, const std::string& what,
               double timeoutSeconds) {
  const auto deadline = after(timeoutSeconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ADD_FAILURE() << "gave up after " << timeoutSeconds << " s waiting for " << what;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace qcu::test
