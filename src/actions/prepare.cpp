#include "actions/prepare.h"

#include <mutex>

#include "binding/expected.h"
#include "desktop/windows.h"
#include "foundation/errors.h"
#include "foundation/limits.h"
#include "foundation/text.h"
#include "foundation/uuid.h"
#include "runtime/dispatch.h"
#include "runtime/output.h"
#include "session/identity.h"
#include "session/state.h"

namespace qcu {
namespace {

constexpr std::size_t MAX_CHUNK_SCALARS = 16;

bool knownKind(const std::string& kind) {
  return kind == "click" || kind == "type" || kind == "key" || kind == "scroll";
}

std::size_t preparedCount() {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  return s.prepared.size();
}

// The chunks of "textChunks", each 1 to 16 scalars, at most 32768 UTF-8 bytes in all. A value
// that is not an array is no text at all.
std::vector<std::string> readTextChunks(const Json& request) {
  std::vector<std::string> chunks;
  const Json* value = fieldValue(request, "textChunks");
  if (!value || !value->is_array()) return chunks;
  std::size_t total = 0;
  for (const auto& item : *value) {
    if (!item.is_string()) {
      throw SafeError("bad_text_chunk", "text chunk must contain 1-16 Unicode scalars");
    }
    const auto& chunk = item.get_ref<const std::string&>();
    std::size_t scalars = scalarCount(chunk);
    if (chunk.empty() || scalars > MAX_CHUNK_SCALARS) {
      throw SafeError("bad_text_chunk", "text chunk must contain 1-16 Unicode scalars");
    }
    total += chunk.size();
    if (total > MAX_COMPUTER_TEXT_BYTES) throw SafeError("text_oversize", "text exceeds limit");
    chunks.push_back(chunk);
  }
  return chunks;
}

Json prepareResponse(const Prepared& prepared) {
  Json response = {
      {"preparedId", prepared.id},
      {"attemptId", prepared.attemptId},
      {"method", prepared.method},
      {"identity", prepared.identity.object()},
      {"requiresHitTest", prepared.method != "uia"},
      {"targetCheckIntervalMs", static_cast<int>(MAX_TARGET_CHECK_INTERVAL * 1000 + 0.5)},
      {"chunkGuards", "backend-enforced"}};
  if (prepared.expectedAfterFP) {
    response["expectedAfterValueState"] = {{"fingerprint", *prepared.expectedAfterFP},
                                           {"scalarLength", prepared.expectedAfterLen}};
  }
  return response;
}

}  // namespace

void handlePrepare(const std::string& requestId, const nlohmann::json& request) {
  requirePermissions();
  if (preparedCount() >= static_cast<std::size_t>(MAX_PREPARED)) {
    throw SafeError("prepared_limit", "too many prepared actions");
  }
  std::string attemptId = requiredString(request, "attemptId", 160);
  Ident identity = parseIdentity(requiredDictionary(request, "identity"));
  const Json& action = requiredDictionary(request, "action");
  std::string kind = requiredString(action, "kind", 32);
  if (!knownKind(kind)) throw SafeError("bad_action", "action kind blocked");
  if (kind == "type" && (action.contains("clearFirst") || request.contains("clearFirst"))) {
    throw SafeError("clear_first_blocked", "type replacement is not available");
  }
  std::vector<std::string> chunks = readTextChunks(request);
  if (kind == "type" && chunks.empty()) {
    throw SafeError("empty_text", "type requires non-empty text");
  }
  ProbeData expected = parseExpected(requiredDictionary(request, "expected"), identity);
  ProbeData probe = probeExact(identity, true, true, SURFACE_BUDGET);
  requireExpected(expected, probe);
  std::int64_t preparedForeground = foregroundEpoch().get();

  auto prepared = std::make_shared<Prepared>();
  prepared->id = opaque("prepared", attemptId + ":" + randomUUIDString());
  prepared->attemptId = attemptId;
  prepared->identity = identity;
  prepared->kind = kind;
  prepared->expected = expected;
  prepared->expires = wallAfter(PREPARED_TTL);
  prepared->stopEpoch = stopEpoch().get();
  prepared->foregroundEpoch = preparedForeground;
  prepared->textChunks = std::move(chunks);

  auto element = applyResolvedElement(*prepared, request);
  if (kind == "type" && !prepared->expectedValueFP) {
    throw SafeError("expected_value_state_required", "type requires exact observed value state");
  }
  applyFallbackPoint(*prepared, request, probe);
  applyKeyRules(*prepared, request, action);
  applyScrollRules(*prepared, request, action, probe);
  chooseMethod(*prepared, element);

  drainForegroundEvents();
  if (foregroundEpoch().get() != preparedForeground || !probe.foreground) {
    throw SafeError("foreground_changed", "foreground changed during prepare");
  }
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.prepared[prepared->id] = prepared;
  }
  writeOk("prepare_action", requestId, prepareResponse(*prepared));
}

}  // namespace qcu
