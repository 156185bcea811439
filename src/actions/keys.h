// The keys and chords a "key" action may press, and the key code and modifier flags each one is
// sent with on the keyboard of the desktop the executable is linked with: the Mac keyboard the
// simulated desktop models (keys_mac.cpp), or X keysyms and modifier masks (keys_linux.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>

namespace qcu {

// Event flag masks of the modifiers a chord holds down on the Mac keyboard.
inline constexpr std::uint64_t KEY_FLAG_SHIFT = 0x20000;
inline constexpr std::uint64_t KEY_FLAG_COMMAND = 0x100000;

struct KeySpec {
  std::uint32_t code = 0;   // virtual key code
  std::uint64_t flags = 0;  // set on both the key-down and the key-up event

  bool operator==(const KeySpec&) const = default;
};

struct KeyEntry {
  std::string_view name;
  KeySpec mapping;
};

// The linked keyboard's table: one row per allowed name.
std::span<const KeyEntry> keyTable();

// The 32 allowlisted key names, matched exactly (case included).
const std::set<std::string, std::less<>>& allowedKeys();

// The key code and flags of an allowlisted name; none for every other name.
std::optional<KeySpec> keySpec(std::string_view name);

}  // namespace qcu
