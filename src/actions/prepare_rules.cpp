// The rules of a preparation that depend on the action's kind and on the element it names.
#include <algorithm>
#include <limits>
#include <mutex>

#include "actions/keys.h"
#include "actions/pasteboard.h"
#include "actions/prepare.h"
#include "desktop/accessibility.h"
#include "foundation/errors.h"
#include "foundation/limits.h"
#include "foundation/text.h"
#include "runtime/dispatch.h"
#include "session/state.h"

namespace qcu {
namespace {

[[noreturn]] void staleElement() {
  throw SafeError("stale_element", "element reference expired or belongs to another target");
}

const Json* objectField(const Json& object, const char* key) {
  const Json* value = fieldValue(object, key);
  return value && value->is_object() ? value : nullptr;
}

const std::string* stringField(const Json& object, const char* key) {
  const Json* value = fieldValue(object, key);
  return value && value->is_string() ? &value->get_ref<const std::string&>() : nullptr;
}

std::shared_ptr<const ElementEntry> lookUpElement(const std::string& reference) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  auto it = s.elements.find(reference);
  return it == s.elements.end() ? nullptr : it->second;
}

void readTransition(Prepared& prepared, const Json& transition) {
  const std::string* kind = stringField(transition, "kind");
  const std::string* before = stringField(transition, "before");
  const std::string* after = stringField(transition, "after");
  if (!kind || (*kind != "toggle" && *kind != "selection") || !before || !after) {
    throw SafeError("bad_transition", "expected element transition invalid");
  }
  prepared.transitionKind = *kind;
  prepared.stateBefore = *before;
  prepared.stateAfter = *after;
}

void readValueState(Prepared& prepared, const Json& valueState) {
  const std::string* fingerprint = stringField(valueState, "fingerprint");
  auto length = intValue(fieldValue(valueState, "scalarLength"));
  if (!fingerprint || !length) throw SafeError("bad_value_state", "expected value state invalid");
  prepared.expectedValueFP = *fingerprint;
  prepared.expectedValueLen = *length;
}

// Typing starts from exactly the value the owner saw and must end within the value limit.
void checkTypeTarget(Prepared& prepared, const ElementEntry& entry) {
  std::optional<std::string> value;
  if (entry.role != "AXSecureTextField" && isTextInputRole(entry.role) &&
      axSettable(entry.element, "AXValue")) {
    value = currentStringValue(entry.element);
  }
  if (!value) throw SafeError("stale_element", "writable text value is required for type");
  std::size_t scalars = scalarCount(*value);
  if (scalars > MAX_VALUE_SCALARS) {
    throw SafeError("value_oversize", "current value exceeds bounded input limit");
  }
  if (!prepared.expectedValueFP || valueStateFingerprint(*value) != *prepared.expectedValueFP ||
      static_cast<std::int64_t>(scalars) != prepared.expectedValueLen) {
    throw SafeError("stale_value_state", "value changed after observation");
  }
  std::string result = *value;
  for (const auto& chunk : prepared.textChunks) {
    result += chunk;
    scalars += scalarCount(chunk);
    if (scalars > MAX_VALUE_SCALARS) {
      throw SafeError("value_oversize", "resulting value exceeds bounded input limit");
    }
  }
  prepared.expectedAfterFP = valueStateFingerprint(result);
  prepared.expectedAfterLen = static_cast<std::int64_t>(scalars);
}

bool containsHalfOpen(const Rect& rect, double x, double y) {
  return x >= rect.x && x < rect.x + rect.width && y >= rect.y && y < rect.y + rect.height;
}

std::int64_t sign(std::optional<std::int64_t> value) {
  if (!value || *value == 0) return 0;
  return *value < 0 ? -1 : 1;
}

}  // namespace

std::shared_ptr<const ElementEntry> applyResolvedElement(Prepared& prepared, const Json& request) {
  const Json* resolved = objectField(request, "resolvedElement");
  if (!resolved) return nullptr;
  prepared.backendRef = requiredString(*resolved, "backendRef", 200);
  auto entry = lookUpElement(*prepared.backendRef);
  if (!entry || !(entry->expires > wallNow()) || !(entry->identity == prepared.identity)) {
    staleElement();
  }
  requireElementCurrent(*entry);
  if (const Json* transition = objectField(*resolved, "expectedTransition")) {
    readTransition(prepared, *transition);
  }
  if (const Json* valueState = objectField(*resolved, "expectedValueState")) {
    readValueState(prepared, *valueState);
  }
  if (prepared.kind == "type") checkTypeTarget(prepared, *entry);
  return entry;
}

void applyFallbackPoint(Prepared& prepared, const Json& request, const ProbeData& probe) {
  const Json* point = objectField(request, "fallbackPoint");
  if (!point) return;
  auto x = intValue(fieldValue(*point, "x"));
  auto y = intValue(fieldValue(*point, "y"));
  if (!x || !y) throw SafeError("bad_point", "fallback point invalid");
  auto px = static_cast<double>(*x);
  auto py = static_cast<double>(*y);
  if (!containsHalfOpen(probe.geometry, px, py)) {
    throw SafeError("point_outside", "fallback point outside exact window");
  }
  prepared.point = Point{px, py};
}

void applyKeyRules(Prepared& prepared, const Json& request, const Json& action) {
  const std::string* requestKey = stringField(request, "key");
  const std::string* actionKey = stringField(action, "key");
  if (requestKey && !requestKey->empty()) {
    prepared.key = *requestKey;
  } else if (actionKey) {
    prepared.key = *actionKey;
  }
  if (prepared.kind != "key") return;
  if (!prepared.key || !allowedKeys().contains(*prepared.key)) {
    throw SafeError("key_blocked", "key is not allowlisted");
  }
  if (*prepared.key != "Ctrl+V") {
    if (action.contains("expectedClipboardSequence")) {
      throw SafeError("bad_action", "clipboard sequence is accepted only for Ctrl+V");
    }
    return;
  }
  // Booleans are not sequences; a fraction is cut toward zero like any integer reading.
  const Json* sequence = fieldValue(action, "expectedClipboardSequence");
  std::optional<std::int64_t> value =
      sequence && sequence->is_number() ? intValue(sequence) : std::nullopt;
  if (!value || *value < 0 || *value > std::numeric_limits<std::uint32_t>::max()) {
    throw SafeError("clipboard_sequence_required",
                    "Ctrl+V requires the run's own clipboard sequence");
  }
  prepared.expectedClipboard = static_cast<std::uint32_t>(*value);
  if (pasteboardSequence() != *prepared.expectedClipboard) {
    throw SafeError("clipboard_changed", "clipboard changed after the run's own copy");
  }
}

void applyScrollRules(Prepared& prepared, const Json& request, const Json& action,
                      const ProbeData& probe) {
  const Json* scroll = objectField(request, "scroll");
  const Json& source = scroll ? *scroll : action;
  prepared.deltaX = sign(intValue(fieldValue(source, "deltaX")));
  prepared.deltaY = sign(intValue(fieldValue(source, "deltaY")));
  if (prepared.kind != "scroll") return;
  if (prepared.deltaX == 0 && prepared.deltaY == 0) {
    throw SafeError("zero_scroll", "scroll requires a non-zero axis");
  }
  if (!prepared.point && !prepared.backendRef) {
    const Rect& g = probe.geometry;
    prepared.point = Point{g.x + g.width / 2, g.y + g.height / 2};
  }
}

void chooseMethod(Prepared& prepared, const std::shared_ptr<const ElementEntry>& element) {
  if (prepared.kind == "click") {
    if (element) {
      auto actions = axActions(element->element);
      if (std::find(actions.begin(), actions.end(), "AXPress") != actions.end()) {
        prepared.method = "uia";
        return;
      }
    }
    if (!prepared.point) {
      throw SafeError("unsupported_action", "no safe action method for exact target");
    }
    prepared.method = "coordinates";
  } else if (prepared.kind == "type") {
    prepared.method = "uia";
  } else {
    prepared.method = "send-input";
  }
}

}  // namespace qcu
