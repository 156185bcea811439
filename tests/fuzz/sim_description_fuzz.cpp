// Fuzz target: the simulated desktop's description parser, from the bytes of a description file
// as `--sim-desktop` reads them. A description that loads is loaded a second time, which must
// succeed again: a description either loads or is refused with an error text, whatever it holds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "desktop/platform.h"
#include "desktop/sim/sim.h"
#include "foundation/json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<nlohmann::json> description = qcu::decodeJson(text);
  if (!description) return 0;
  std::string error = qcu::sim::load(*description);
  if (error.empty()) (void)qcu::platformWindowList();  // the rows as the helper reads them
  if (error.empty() && !qcu::sim::load(*description).empty()) {
    std::fprintf(stderr, "a description that loaded once was refused the second time\n");
    std::abort();
  }
  qcu::sim::reset();
  return 0;
}
