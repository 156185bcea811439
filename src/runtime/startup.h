// Start-up: the owner named on the command line is checked before anything else runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qcu {

struct OwnerOptions {
  std::int32_t pid = 0;
  std::uint64_t start = 0;
};

// Reads "--owner-pid" and "--owner-start-time-100ns" from the arguments after the program name.
OwnerOptions parseOwnerOptions(const std::vector<std::string>& arguments);
// Standard decimal parses: optional sign, digits only, within range; anything else reads as 0.
std::int32_t parseInt32OrZero(const std::string& text);
std::uint64_t parseUInt64OrZero(const std::string& text);
// Whether the named owner exists, is not this process, and started within two seconds of start.
bool ownerAcceptable(const OwnerOptions& owner);

// Runs the whole start-up and parks the main thread; never returns. A refused start-up writes
// one line to standard error and exits with status 1.
[[noreturn]] void runHelper(int argc, char** argv);

}  // namespace qcu
