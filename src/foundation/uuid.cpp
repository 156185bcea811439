#include "foundation/uuid.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace qcu {
namespace {

std::array<std::uint8_t, 16> randomBytes() {
  std::array<std::uint8_t, 16> bytes{};
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      // Without randomness no identifier can be trusted; there is nothing safe to return.
      std::abort();
    }
    filled += static_cast<std::size_t>(got);
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return bytes;
}

std::string format(bool upper, bool hyphens) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  auto bytes = randomBytes();
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (hyphens && (i == 4 || i == 6 || i == 8 || i == 10)) out.push_back('-');
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 0x0F]);
  }
  return out;
}

}  // namespace

std::string randomUUIDString() {
  return format(true, true);
}
std::string randomUUIDHexLower() {
  return format(false, false);
}

}  // namespace qcu
