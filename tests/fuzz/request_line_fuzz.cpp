// Fuzz target: the bytes an owner writes, through the helper's own line framing and dispatcher,
// on the simulated desktop of the protocol document's examples (docs/protocol/desktop.json). Every
// input starts from a fresh session and desktop. After the input's lines are dispatched, the queued
// observation and commit work is waited for, so nothing started by one input still runs during the
// next.
//
// Checked for every input: each line the framer hands on (and each oversize line) gets exactly
// one answer, and every written message is one valid JSON object within the message limit.
//
// Opaque values cannot be guessed, so an input may name the latest ones the helper wrote: the
// texts @token@, @prepared@ and @element@ in a line stand for the latest candidate token,
// prepared id and element reference written before that line. The starting corpus uses them to walk
// whole sessions (tests/fuzz/corpus/request_line/).
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "desktop/platform.h"
#include "desktop/sim/sim.h"
#include "foundation/clock.h"
#include "foundation/limits.h"
#include "foundation/lines.h"
#include "runtime/dispatch.h"
#include "runtime/output.h"
#include "session/state.h"

namespace {

using qcu::Json;

std::mutex outputLock;             // guards written
std::vector<std::string> written;  // every message of the current input, oldest first

void captureLine(std::string_view line) {
  std::lock_guard<std::mutex> guard(outputLock);
  std::string text(line);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  written.push_back(std::move(text));
}

void ignoreExit(int) {}

std::vector<std::string> takeWritten() {
  std::lock_guard<std::mutex> guard(outputLock);
  std::vector<std::string> taken;
  taken.swap(written);
  return taken;
}

Json fixture() {
  std::ifstream file(QCU_FUZZ_DESKTOP, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  Json description = Json::parse(text, nullptr, false);
  if (description.is_discarded()) {
    std::fprintf(stderr, "cannot read %s\n", QCU_FUZZ_DESKTOP);
    std::abort();
  }
  return description;
}

// The latest opaque values written so far, for the placeholders.
struct Latest {
  std::string token, prepared, element;
  std::size_t seen = 0;  // messages of written already looked at
};

void noteLatest(Latest& latest) {
  std::lock_guard<std::mutex> guard(outputLock);
  for (; latest.seen < written.size(); ++latest.seen) {
    Json message = Json::parse(written[latest.seen], nullptr, false);
    if (!message.is_object()) continue;
    if (message.contains("preparedId") && message["preparedId"].is_string()) {
      latest.prepared = message["preparedId"];
    }
    if (message.contains("candidates") && message["candidates"].is_array()) {
      for (const auto& candidate : message["candidates"]) {
        latest.token = candidate.value("candidateToken", latest.token);
        break;
      }
    }
    if (message.contains("observation")) {
      for (const auto& element : message["observation"].value("elements", Json::array())) {
        latest.element = element.value("backendRef", latest.element);
        break;
      }
    }
  }
}

void replaceAll(std::string& line, std::string_view name, const std::string& value) {
  if (value.empty()) return;
  for (std::size_t at = line.find(name); at != std::string::npos;
       at = line.find(name, at + value.size())) {
    line.replace(at, name.size(), value);
  }
}

// Waits until no observation or commit is registered. The helper bounds both (5 seconds for an
// observation, the commit's own probes and guards), so a wait of a minute means work that never
// ends: a finding.
void waitForQueuedWork() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    {
      qcu::State& s = qcu::state();
      std::lock_guard<std::recursive_mutex> guard(s.lock);
      if (s.activeObservations.empty() && s.activeActions.empty()) return;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "queued work still running a minute after its request\n");
      std::abort();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool isAnswer(const Json& message) {
  return message.value("type", "") != "event";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qcu::setOutputSink(&captureLine);
  qcu::setExitHook(&ignoreExit);
  // Captures go to a directory of this run's own, removed at exit: the helper removes each
  // file it made, so the directory is empty by then.
  static char tmp[] = "/tmp/qcu-fuzz-XXXXXX";
  if (!mkdtemp(tmp)) std::abort();
  setenv("TMPDIR", tmp, 1);
  std::atexit([] { rmdir(tmp); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Json description = fixture();
  qcu::sim::reset();
  if (!qcu::sim::load(description).empty()) std::abort();
  qcu::platformSetMessagingTimeout(1.0);
  qcu::resetSessionForTests();
  qcu::resetClockForTests();
  takeWritten();

  Latest latest;
  std::size_t lines = 0;
  qcu::LineFramer framer(
      [&](std::string_view line) {
        ++lines;
        noteLatest(latest);
        std::string text(line);
        replaceAll(text, "@token@", latest.token);
        replaceAll(text, "@prepared@", latest.prepared);
        replaceAll(text, "@element@", latest.element);
        qcu::handleLine(text);
        // Answers to queued work come before the next line is read, as a patient owner sees it.
        waitForQueuedWork();
      },
      [&] {
        ++lines;
        qcu::writeError("none", "oversize", "message exceeds limit");
      });
  framer.feed(reinterpret_cast<const char*>(data), size);
  framer.feed("\n", 1);  // the input's last line is complete
  waitForQueuedWork();

  std::size_t answers = 0;
  for (const auto& line : takeWritten()) {
    if (line.size() > qcu::MAX_MESSAGE_BYTES) std::abort();
    Json message = Json::parse(line, nullptr, false);
    if (!message.is_object() || message.value("v", 0) != 1) std::abort();
    if (isAnswer(message)) ++answers;
  }
  if (answers != lines) {
    std::fprintf(stderr, "%zu lines got %zu answers\n", lines, answers);
    std::abort();
  }
  return 0;
}
