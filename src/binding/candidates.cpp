#include "binding/candidates.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "desktop/accessibility.h"
#include "desktop/signals.h"
#include "desktop/windows.h"
#include "foundation/clock.h"
#include "foundation/limits.h"
#include "foundation/text.h"
#include "foundation/uuid.h"
#include "policy/policy.h"
#include "runtime/output.h"
#include "session/identity.h"
#include "session/state.h"

namespace qcu {
namespace {

using Json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

// The walk stops at the first window it reaches after this many seconds.
constexpr double LISTING_BUDGET = 2.0;
// Each window's accessibility walk during a listing: cheaper than the probe's.
constexpr int LISTING_SURFACE_ELEMENTS = 64;
constexpr double LISTING_SURFACE_BUDGET = 0.5;
// Windows smaller than this in either direction, in points, are not application windows.
constexpr double MIN_WINDOW_SIDE = 40;
constexpr double MIN_VISIBLE_ALPHA = 0.01;
// Largest encoded payload; the rest of MAX_MESSAGE_BYTES is left for the envelope.
constexpr std::size_t MAX_LISTING_PAYLOAD_BYTES = 65024;
// Distinct skip keys held; "response-size-limit" does not count against it.
constexpr std::size_t MAX_SKIP_KEYS = 32;
// Display limits in UTF-16 code units.
constexpr std::size_t SKIP_NAME_LIMIT = 40;
constexpr std::size_t PROCESS_NAME_LIMIT = 120;
constexpr std::size_t CLASS_NAME_LIMIT = 160;
constexpr std::size_t PRODUCT_NAME_LIMIT = 160;

constexpr const char* LEASE_KIND = "candidate-lease";
constexpr const char* RESPONSE_SIZE_LIMIT = "response-size-limit";

// Skip counters by key: a reason, or the reason and "@" and the process name. New keys stop
// being added once MAX_SKIP_KEYS exist; keys already present always count.
struct SkipCounters {
  std::map<std::string, std::int64_t> counts;

  void skip(const std::string& reason, const std::string& processName = {}) {
    std::string key = reason;
    if (!processName.empty()) key += "@" + safeDisplay(processName, SKIP_NAME_LIMIT);
    auto it = counts.find(key);
    if (it != counts.end()) {
      ++it->second;
    } else if (counts.size() - counts.count(RESPONSE_SIZE_LIMIT) < MAX_SKIP_KEYS) {
      counts.emplace(std::move(key), 1);
    }
  }

  Json object() const {
    Json skipped = Json::object();
    for (const auto& [key, count] : counts)
      skipped[key] = count;
    return skipped;
  }
};

double secondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

std::int64_t millisecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count();
}

// Rows that are not ordinary application windows of another application: left out without a
// trace. Written so that a value that is not a number is left out too.
bool silentlyIgnored(const WinRec& row, std::int32_t self, std::int32_t owner) {
  return row.layer != 0 || !(row.alpha > MIN_VISIBLE_ALPHA) ||
         !(row.bounds.width >= MIN_WINDOW_SIDE) || !(row.bounds.height >= MIN_WINDOW_SIDE) ||
         row.pid == self || row.pid == owner;
}

// The window element's subrole when it reads as a string (even an empty one), else its role,
// else "AXWindow".
std::string topLevelClassName(const AXElement& window) {
  if (auto subrole = axString(window, "AXSubrole")) return safeDisplay(*subrole, CLASS_NAME_LIMIT);
  if (auto role = axString(window, "AXRole")) return safeDisplay(*role, CLASS_NAME_LIMIT);
  return "AXWindow";
}

// Looks the window's process up once per row, and only when a skip or the entry needs it.
struct RowMeta {
  std::int32_t pid;
  std::optional<ProcMeta> meta;
  const ProcMeta& get() {
    if (!meta) meta = processMeta(pid);
    return *meta;
  }
};

// Makes the candidate entry of an accepted window and stores its lease.
Json makeCandidate(const WinRec& row, const Ident& ident, const std::string& title,
                   const AXElement& window, std::uint32_t front, RowMeta& process) {
  std::string token = opaque(LEASE_KIND, ident.start + ":" + std::to_string(ident.pid) + ":" +
                                             std::to_string(ident.win) + ":" + randomUUIDString());
  const ProcMeta& meta = process.get();
  std::string shown = displayTitle(title);
  std::string fingerprint = titleFingerprint(title);
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.leases[token] = Lease{ident, shown, fingerprint, wallAfter(CANDIDATE_LEASE_TTL)};
  }
  Json entry = {
      {"candidateToken", token},
      {"identity", ident.object()},
      {"processName", safeDisplay(meta.name.empty() ? row.owner : meta.name, PROCESS_NAME_LIMIT)},
      {"title", shown},
      {"titleFingerprint", fingerprint},
      {"geometry", geometryObject(row.bounds)},
      {"visible", true},
      {"foreground", row.id == front},
      {"elevated", false},
      {"protectedProcess", false},
      {"secureSurface", false},
      {"topLevelClassName", topLevelClassName(window)}};
  if (!meta.product.empty()) entry["productName"] = safeDisplay(meta.product, PRODUCT_NAME_LIMIT);
  return entry;
}

// One row of the walk: a candidate entry, or nothing when the row is ignored or counted as a
// skip. The tests run in a fixed order, cheapest first; the accessibility walk comes last.
std::optional<Json> considerRow(const WinRec& row, std::uint32_t front, std::int32_t self,
                                std::int32_t owner, SkipCounters& skipped) {
  if (silentlyIgnored(row, self, owner)) return std::nullopt;
  auto started = processStart100ns(row.pid);
  if (!started) {
    skipped.skip("no-process");
    return std::nullopt;
  }
  Ident ident{row.pid, std::to_string(*started), row.id};
  RowMeta process{row.pid, std::nullopt};
  auto window = axWindowElement(row);
  std::string title = resolveTitle(row, window);
  if (title.empty()) {
    skipped.skip("empty-title");
    return std::nullopt;
  }
  if (isBlockedApplication(row.pid)) {
    skipped.skip("blocked-application");
    return std::nullopt;
  }
  if (titleMarkerHit(title)) {
    skipped.skip("secure-title-marker");
    return std::nullopt;
  }
  if (!window) {
    skipped.skip("no-ax-window", process.get().name);
    return std::nullopt;
  }
  if (auto reason =
          unsafeSurfaceReason(*window, LISTING_SURFACE_ELEMENTS, LISTING_SURFACE_BUDGET)) {
    skipped.skip("secure-" + *reason, process.get().name);
    return std::nullopt;
  }
  return makeCandidate(row, ident, title, *window, front, process);
}

Json buildPayload(const std::vector<Json>& candidates, const SkipCounters& skipped,
                  SteadyClock::time_point start) {
  Json list = Json::array();
  for (const auto& entry : candidates)
    list.push_back(entry);
  return {{"candidates", std::move(list)},
          {"skipped", skipped.object()},
          {"listingMs", millisecondsSince(start)}};
}

std::optional<std::size_t> encodedSize(const Json& payload) {
  try {
    return payload.dump(-1, ' ', false, Json::error_handler_t::strict).size();
  } catch (...) {
    return std::nullopt;
  }
}

// The payload's byte limit: MAX_LISTING_PAYLOAD_BYTES, lowered when the envelope (through an
// unusually long request id) leaves less room, so that the whole response fits in one message.
// The payload's keys are merged into the envelope: the message is the two encodings joined,
// less their two inner braces, plus one comma.
std::size_t payloadLimit(const std::string& requestId) {
  Json envelope = {
      {"v", PROTOCOL_VERSION}, {"type", "list_candidates"}, {"requestId", requestId}, {"ok", true}};
  std::size_t envelopeBytes = envelope.dump(-1, ' ', false, Json::error_handler_t::replace).size();
  if (envelopeBytes > MAX_MESSAGE_BYTES) return 0;
  return std::min(MAX_LISTING_PAYLOAD_BYTES, MAX_MESSAGE_BYTES + 1 - envelopeBytes);
}

}  // namespace

void handleListCandidates(const std::string& requestId) {
  requirePermissions();
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.leases.clear();
  }
  drainForegroundEvents();

  const auto start = SteadyClock::now();
  SkipCounters skipped;
  std::vector<Json> candidates;
  const auto snapshot = cgWindows();
  const std::uint32_t front = frontWindowID(snapshot);
  const std::int32_t self = static_cast<std::int32_t>(getpid());
  const std::int32_t owner = ownerPidValue().get();

  for (const auto& row : snapshot) {
    if (secondsSince(start) > LISTING_BUDGET) {
      skipped.skip("listing-budget");
      break;
    }
    if (candidates.size() >= static_cast<std::size_t>(MAX_COMPUTER_CANDIDATES)) break;
    if (auto entry = considerRow(row, front, self, owner, skipped)) {
      candidates.push_back(std::move(*entry));
    }
  }

  // Trim from the back, a tenth at a time, until the payload fits. Dropped candidates keep
  // their leases; their tokens were never sent.
  const std::size_t limit = payloadLimit(requestId);
  Json payload = buildPayload(candidates, skipped, start);
  for (;;) {
    auto size = encodedSize(payload);
    if (!size || *size <= limit || candidates.empty()) break;
    std::size_t drop = candidates.size() < 10 ? 1 : candidates.size() / 10;
    candidates.resize(candidates.size() - drop);
    ++skipped.counts[RESPONSE_SIZE_LIMIT];
    payload = buildPayload(candidates, skipped, start);
  }
  writeOk("list_candidates", requestId, payload);
}

}  // namespace qcu
