#include "actions/pasteboard.h"

#include "desktop/platform.h"

namespace qcu {

std::uint32_t pasteboardSequence() {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(platformPasteboardChangeCount()));
}

}  // namespace qcu
