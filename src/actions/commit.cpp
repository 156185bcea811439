#include "actions/commit.h"

#include <memory>
#include <mutex>
#include <utility>

#include "actions/executors.h"
#include "actions/pasteboard.h"
#include "binding/expected.h"
#include "desktop/windows.h"
#include "foundation/errors.h"
#include "foundation/text.h"
#include "runtime/dispatch.h"
#include "runtime/output.h"
#include "session/identity.h"
#include "session/state.h"

namespace qcu {
namespace {

// Budget of the probes before and after dispatch, in seconds.
constexpr double COMMIT_PROBE_BUDGET = 1.5;

std::shared_ptr<Prepared> takePrepared(const std::string& preparedId) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  auto found = s.prepared.find(preparedId);
  if (found == s.prepared.end()) return nullptr;
  auto record = std::move(found->second);
  s.prepared.erase(found);
  return record;
}

void registerAttempt(const std::string& attemptId, const CancelToken& token) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  if (!s.activeActions.emplace(attemptId, token).second) {
    throw SafeError("attempt_active", "attempt already active");
  }
}

void unregisterAttempt(const std::string& attemptId) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.activeActions.erase(attemptId);
}

// The element the action names, still registered for this target and still the same element.
std::shared_ptr<const ElementEntry> resolveElement(const Prepared& prepared) {
  std::shared_ptr<const ElementEntry> entry;
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    auto found = s.elements.find(*prepared.backendRef);
    if (found != s.elements.end()) entry = found->second;
  }
  if (!entry || entry->expires <= wallNow() || entry->identity != prepared.identity) {
    throw SafeError("stale_element", "element changed before dispatch");
  }
  requireElementCurrent(*entry);
  return entry;
}

// Everything that must hold right before the executor runs; nothing has been dispatched yet.
std::shared_ptr<const ElementEntry> checkBeforeDispatch(const Prepared& prepared,
                                                        const CancelToken& token) {
  token.check();
  requirePermissions();
  const ProbeData probe = probeExact(prepared.identity, true, true, COMMIT_PROBE_BUDGET);
  requireExpected(prepared.expected, probe);
  if (prepared.kind == "key" && prepared.key == "Ctrl+V" && prepared.expectedClipboard &&
      pasteboardSequence() != *prepared.expectedClipboard) {
    throw SafeError("clipboard_changed", "clipboard changed after the run's own copy");
  }
  if (!prepared.backendRef) return nullptr;
  return resolveElement(prepared);
}

Outcome runExecutor(Prepared& prepared, const std::shared_ptr<const ElementEntry>& element,
                    const CancelToken& token) {
  const std::int64_t expectedInput = prepared.expected.epoch;
  if (prepared.kind == "click") return executeClick(prepared, element, expectedInput, token);
  if (prepared.kind == "type") return executeType(prepared, element, expectedInput, token);
  if (prepared.kind == "key") return executeKey(prepared, element, expectedInput, token);
  return executeScroll(prepared, element, expectedInput, token);
}

// The answer after the executor returned: is the exact target still current, in front,
// unlocked and untouched by the user?
Json answerAfterDispatch(const Prepared& prepared, const Outcome& outcome,
                         const CancelToken& token) {
  token.check();
  drainForegroundEvents();
  const ProbeData probe = probeExact(prepared.identity, false, false, COMMIT_PROBE_BUDGET);
  drainForegroundEvents();
  const bool targetCurrent =
      probe.identity == prepared.identity &&
      sameGeometry(prepared.expected.geometry, probe.geometry) &&
      probe.dpi == prepared.expected.dpi && probe.epoch == prepared.expected.epoch &&
      foregroundEpoch().get() == prepared.foregroundEpoch && probe.foreground;
  const bool matched = targetCurrent && !probe.locked;
  std::string detail;
  if (!matched) {
    detail = "uncertain: post-action target check failed";
  } else if (outcome.effectMatched) {
    detail = "target-current; action-specific effect proven";
  } else if (outcome.dispatchAccepted) {
    detail = "target-current; dispatch accepted; effect not independently proven";
  } else {
    detail = "target-current; no effect dispatched";
  }
  return readback(prepared, probe, matched, outcome.dispatchAccepted,
                  matched && outcome.effectMatched, detail);
}

void writeReadback(const std::string& requestId, const Json& object) {
  writeOk("commit_action", requestId, {{"readback", object}});
}

// A failure after the executor was entered: the input may have reached the screen, so the
// answer is a readback that says it cannot vouch for the target.
void answerUncertain(const std::string& requestId, const Prepared& prepared,
                     const std::string& detail) {
  writeReadback(requestId, readback(prepared, std::nullopt, false, prepared.dispatchAccepted, false,
                                    "uncertain: " + detail));
}

// Answers a failure of the commit being handled (call only from a catch block): an error
// response while nothing can have been sent, a readback once the executor was entered.
void answerFailure(const std::string& requestId, const Prepared& prepared, bool entered) {
  try {
    throw;
  } catch (const CancelledError&) {
    if (entered) {
      answerUncertain(requestId, prepared, "stopped after dispatch began");
    } else {
      writeError(requestId, "cancelled_before_effect", "action cancelled before dispatch");
    }
  } catch (const SafeError& error) {
    if (entered) {
      answerUncertain(requestId, prepared,
                      "post-dispatch safety check failed (" + error.code() + ")");
    } else {
      writeError(requestId, error.code(), error.message());
    }
  } catch (...) {
    if (entered) {
      answerUncertain(requestId, prepared, "helper failure after dispatch began");
    } else {
      writeError(requestId, "action_failed", "action rejected before dispatch");
    }
  }
}

// The input gate and the attempt's registration, held for one commit and given back on every
// path, so a failed commit never blocks later ones.
class CommitSlot {
 public:
  explicit CommitSlot(std::string attemptId) : attemptId_(std::move(attemptId)) {
    inputGate().acquire();
  }
  ~CommitSlot() {
    inputGate().release();
    unregisterAttempt(attemptId_);
  }
  CommitSlot(const CommitSlot&) = delete;
  CommitSlot& operator=(const CommitSlot&) = delete;

 private:
  std::string attemptId_;
};

// The worker: one commit behind the input gate, answered exactly once.
void runCommit(const std::string& attemptId, const std::shared_ptr<Prepared>& prepared,
               const CancelToken& token, const std::string& requestId) {
  CommitSlot slot(attemptId);
  bool entered = false;
  try {
    const auto element = checkBeforeDispatch(*prepared, token);
    // A cancel that came during the checks still finds nothing sent.
    token.check();
    entered = true;
    const Outcome outcome = runExecutor(*prepared, element, token);
    writeReadback(requestId, answerAfterDispatch(*prepared, outcome, token));
  } catch (...) {
    try {
      answerFailure(requestId, *prepared, entered);
    } catch (...) {
      // Not even the answer could be made (memory exhausted); the queue must go on.
    }
  }
}

}  // namespace

Json readback(const Prepared& prepared, const std::optional<ProbeData>& probe, bool matched,
              bool dispatch, bool effect, const std::string& detail) {
  Json object = {{"matched", matched},
                 {"dispatchAccepted", dispatch},
                 {"effectMatched", effect},
                 {"detail", detail},
                 {"attemptId", prepared.attemptId}};
  if (probe) {
    object["identity"] = probe->identity.object();
    object["geometry"] = geometryObject(probe->geometry);
    object["dpi"] = probe->dpi;
    object["foreground"] = probe->foreground;
    object["userInputEpoch"] = probe->epoch;
    object["postUserInputEpoch"] = probe->epoch;
  }
  if (prepared.kind == "type") {
    std::int64_t length = 0;
    for (const auto& chunk : prepared.textChunks)
      length += static_cast<std::int64_t>(scalarCount(chunk));
    object["inputLength"] = length;
  }
  if (prepared.kind == "key" && effect && prepared.clipboardSequence) {
    object["clipboardSequence"] = *prepared.clipboardSequence;
  }
  return object;
}

void handleCommit(const std::string& requestId, const nlohmann::json& request) {
  const std::string preparedId = requiredString(request, "preparedId", 200);
  const std::string attemptId = requiredString(request, "attemptId", 160);
  std::shared_ptr<Prepared> prepared = takePrepared(preparedId);
  if (!prepared) throw SafeError("not_prepared", "prepared action missing or already used");
  if (prepared->attemptId != attemptId || wallNow() >= prepared->expires) {
    throw SafeError("stale_prepare", "prepared action expired or mismatched");
  }
  if (stopEpoch().get() != prepared->stopEpoch) {
    throw SafeError("stopped", "Stop invalidated prepared action");
  }
  CancelToken token;
  registerAttempt(attemptId, token);
  try {
    inputQueue().async([attemptId, prepared, token, requestId] {
      runCommit(attemptId, prepared, token, requestId);
    });
  } catch (...) {
    unregisterAttempt(attemptId);
    throw;
  }
}

}  // namespace qcu
