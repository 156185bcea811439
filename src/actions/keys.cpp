#include "actions/keys.h"

namespace qcu {

const std::set<std::string, std::less<>>& allowedKeys() {
  // Built once and never destroyed, so threads still running at exit can use it.
  static const auto* keys = [] {
    auto* names = new std::set<std::string, std::less<>>;
    for (const auto& entry : keyTable())
      names->emplace(entry.name);
    return names;
  }();
  return *keys;
}

std::optional<KeySpec> keySpec(std::string_view name) {
  for (const auto& entry : keyTable()) {
    if (entry.name == name) return entry.mapping;
  }
  return std::nullopt;
}

}  // namespace qcu
