// Random version-4 UUIDs from the kernel's random source.
#pragma once

#include <string>

namespace qcu {

// Canonical text form: 32 upper-case hexadecimal digits in groups 8-4-4-4-12 joined by hyphens.
std::string randomUUIDString();
// 32 lower-case hexadecimal digits, no hyphens.
std::string randomUUIDHexLower();

}  // namespace qcu
