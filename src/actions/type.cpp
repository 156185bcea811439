// The text executor: appends text to one observed text element by setting its value chunk by
// chunk, every chunk guarded and read back. No keystrokes are synthesised.
#include <chrono>

#include "actions/executors.h"
#include "binding/probe.h"
#include "foundation/errors.h"
#include "foundation/limits.h"
#include "foundation/text.h"
#include "policy/policy.h"

namespace qcu {
namespace {

using SteadyClock = std::chrono::steady_clock;

// The target probe after each chunk; it skips the surface walk.
constexpr double CHUNK_PROBE_BUDGET = 1.5;  // seconds

std::string valueOf(const ElementEntry& element) {
  return currentStringValue(element.element).value_or(std::string());
}

// The field must still hold exactly the value the owner observed.
void requireObservedValue(const Prepared& prepared, const std::string& current) {
  if (!prepared.expectedValueFP || *prepared.expectedValueFP != valueStateFingerprint(current) ||
      prepared.expectedValueLen != static_cast<std::int64_t>(scalarCount(current))) {
    throw SafeError("stale_value_state", "value changed after observation");
  }
}

// The title the next chunk's guard expects follows the window, so a title that changes because
// of the typing itself does not stop the rest. A failing probe leaves the expectation as it was.
void refreshExpectedTitle(Prepared& prepared) {
  try {
    const ProbeData probe = probeExact(prepared.identity, true, false, CHUNK_PROBE_BUDGET);
    prepared.expected.title = probe.title;
    prepared.expected.titleFingerprint = probe.titleFingerprint;
  } catch (const CancelledError&) {
    throw;
  } catch (...) {
    // Whatever the probe could not answer, the next chunk's guard probes again.
  }
}

bool afterStateProven(const Prepared& prepared, const std::string& base, const std::string& written,
                      const std::string& final) {
  return prepared.dispatchAccepted && !canonicalEquals(written, base) &&
         canonicalEquals(final, written) && prepared.expectedAfterFP &&
         *prepared.expectedAfterFP == valueStateFingerprint(final) &&
         prepared.expectedAfterLen == static_cast<std::int64_t>(scalarCount(final));
}

}  // namespace

Outcome executeType(Prepared& prepared, const std::shared_ptr<const ElementEntry>& element,
                    std::int64_t expectedInput, const CancelToken& token) {
  if (!element) {
    throw SafeError("element_required", "type requires an exact Accessibility element");
  }
  if (isPasswordElement(element->element)) {
    throw SafeError("password_control", "password control blocked");
  }
  if (prepared.textChunks.empty()) throw SafeError("empty_text", "type requires non-empty text");

  std::string base;
  std::string written;
  bool first = true;
  for (const std::string& chunk : prepared.textChunks) {
    requireActionCurrent(prepared, expectedInput, token);
    requireElementCurrent(*element);
    const std::string current = valueOf(*element);
    if (first) {
      requireObservedValue(prepared, current);
      base = current;
      written = current;
      first = false;
    } else if (!canonicalEquals(current, written)) {
      throw SafeError("stale_value_state", "value changed between chunks");
    }
    written += chunk;

    const auto started = SteadyClock::now();
    if (!platformSetAttribute(element->element, "AXValue", written)) {
      throw SafeError("action_failed", "value rejected by the element");
    }
    prepared.dispatchAccepted = true;
    if (Seconds(SteadyClock::now() - started).count() > MAX_TARGET_CHECK_INTERVAL) {
      throw SafeError("dispatch_interval_exceeded", "action chunk exceeded safety interval");
    }
    token.check();
    // An application that reformats or drops what it is given ends the typing: the rest would
    // be appended to a value nobody asked for.
    if (!canonicalEquals(valueOf(*element), written)) return {true, false};
    refreshExpectedTitle(prepared);
  }

  const std::string final = valueOf(*element);
  prepared.effectMatched = afterStateProven(prepared, base, written, final);
  return {prepared.dispatchAccepted, prepared.effectMatched};
}

}  // namespace qcu
