// Protocol versions and every compiled-in limit of the helper. Each value is defined once here
// and used by name wherever it applies.
#pragma once

#include <cstdint>

namespace qcu {

inline constexpr int PROTOCOL_VERSION = 1;
inline constexpr const char* HELPER_VERSION = "2.9.1";
inline constexpr const char* APP_VERSION = "2.9.93";

// Largest accepted request line and largest serialised outgoing message, both inclusive.
inline constexpr std::size_t MAX_MESSAGE_BYTES = 65536;
inline constexpr int MAX_COMPUTER_CANDIDATES = 128;
inline constexpr int MAX_COMPUTER_ELEMENTS = 300;
// UTF-8 bytes summed over the text chunks of one prepared action.
inline constexpr std::size_t MAX_COMPUTER_TEXT_BYTES = 32768;
inline constexpr std::size_t MAX_COMPUTER_SCREENSHOT_BYTES = 16384;
inline constexpr int MAX_COMPUTER_SCREENSHOT_WIDTH = 512;
inline constexpr int MAX_COMPUTER_SCREENSHOT_HEIGHT = 384;
// Largest accepted width and height of a captured window picture, in pixels.
inline constexpr int MAX_CAPTURED_SIDE = 8192;
inline constexpr double CANDIDATE_LEASE_TTL = 30.0;  // seconds
inline constexpr double PREPARED_TTL = 30.0;         // seconds
inline constexpr int MAX_PREPARED = 32;
inline constexpr double OBSERVATION_TIMEOUT = 5.0;  // seconds
// Longest text-field value fingerprinted or typed into, in Unicode scalar values.
inline constexpr std::size_t MAX_VALUE_SCALARS = 32768;
// Longest displayed title, in UTF-16 code units.
inline constexpr std::size_t MAX_TITLE_DISPLAY = 300;
inline constexpr int SURFACE_MAX_ELEMENTS = 512;
inline constexpr double SURFACE_BUDGET = 1.5;              // seconds
inline constexpr double MAX_TARGET_CHECK_INTERVAL = 0.25;  // seconds
// The surface fingerprint's walk: elements (the window included), time, and the value prefix in
// user-perceived characters.
inline constexpr int SURFACE_FINGERPRINT_ELEMENTS = 96;
inline constexpr double SURFACE_FINGERPRINT_BUDGET = 0.4;  // seconds
inline constexpr std::size_t SURFACE_FINGERPRINT_VALUE_CHARS = 512;

// Request ids remembered for duplicate detection.
inline constexpr std::size_t MAX_SEEN_REQUESTS = 2048;
// Largest distance between a start time given for a process and the one measured, in 100-ns units.
inline constexpr std::uint64_t START_TIME_TOLERANCE_100NS = 20'000'000;

}  // namespace qcu
