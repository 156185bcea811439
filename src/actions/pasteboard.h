// The general pasteboard's change count as the helper compares it.
#pragma once

#include <cstdint>

namespace qcu {

// The change count truncated to its low 32 bits.
std::uint32_t pasteboardSequence();

}  // namespace qcu
