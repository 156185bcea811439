#include <unistd.h>

#include <string>
#include <unordered_set>

#include "foundation/text.h"
#include "policy/policy.h"
#include "policy/tables.h"
#include "session/state.h"

namespace qcu {
namespace {

// Built once; the views point into the constant tables.
// Both platforms' tables apply everywhere: an identifier or name of one never names a safe
// application of the other.
const std::unordered_set<std::string_view>& blockedBundleSet() {
  static const auto* set = [] {
    auto* built =
        new std::unordered_set<std::string_view>(BLOCKED_BUNDLES.begin(), BLOCKED_BUNDLES.end());
    built->insert(LINUX_BLOCKED_APP_IDS.begin(), LINUX_BLOCKED_APP_IDS.end());
    return built;
  }();
  return *set;
}

const std::unordered_set<std::string_view>& blockedNameSet() {
  static const auto* set = [] {
    auto* built =
        new std::unordered_set<std::string_view>(BLOCKED_NAMES.begin(), BLOCKED_NAMES.end());
    built->insert(LINUX_BLOCKED_NAMES.begin(), LINUX_BLOCKED_NAMES.end());
    return built;
  }();
  return *set;
}

bool hasBlockedPrefix(std::string_view bundle) {
  for (std::string_view prefix : BLOCKED_BUNDLE_PREFIXES) {
    if (bundle.starts_with(prefix)) return true;
  }
  for (std::string_view prefix : LINUX_BLOCKED_APP_ID_PREFIXES) {
    if (bundle.starts_with(prefix)) return true;
  }
  return false;
}

}  // namespace

bool isBlockedProcess(const ProcMeta& meta, std::string_view ownerBundle) {
  const std::string bundle = foldForMatch(meta.bundle);
  if (!bundle.empty()) {
    if (!ownerBundle.empty() && foldForMatch(ownerBundle) == bundle) return true;
    if (blockedBundleSet().contains(bundle)) return true;
    if (hasBlockedPrefix(bundle)) return true;
  }
  const std::string name = foldForMatch(meta.name);
  const std::string product = foldForMatch(meta.product);
  // Nothing known about the process: refuse it.
  if (bundle.empty() && name.empty()) return true;
  const auto& names = blockedNameSet();
  if (names.contains(name) || names.contains(product)) return true;
  for (std::string_view word : BROWSER_WORDS) {
    if (product.find(word) != std::string::npos) return true;
  }
  return false;
}

bool isBlockedApplication(std::int32_t pid) {
  if (pid == static_cast<std::int32_t>(::getpid())) return true;
  if (pid == ownerPidValue().get()) return true;
  // Read the owner's bundle before asking the platform, so no lock is held across that call.
  const std::string ownerBundle = ownerBundleValue().get();
  return isBlockedProcess(processMeta(pid), ownerBundle);
}

}  // namespace qcu
