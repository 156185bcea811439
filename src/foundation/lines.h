// Newline-delimited framing: a byte stream cut into lines, each complete non-empty line handed
// on; a line over the size limit is refused once, when its line feed arrives.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "foundation/limits.h"

namespace qcu {

// Splits a byte stream into lines. Keeps a partial line between feeds. One carriage return at
// the end of a line is removed; empty lines are skipped.
class LineFramer {
 public:
  using LineHandler = std::function<void(std::string_view line)>;
  using OversizeHandler = std::function<void()>;

  LineFramer(LineHandler onLine, OversizeHandler onOversize,
             std::size_t maxBytes = MAX_MESSAGE_BYTES)
      : onLine_(std::move(onLine)), onOversize_(std::move(onOversize)), maxBytes_(maxBytes) {}

  void feed(const char* data, std::size_t size);

 private:
  LineHandler onLine_;
  OversizeHandler onOversize_;
  std::size_t maxBytes_;  // longest line, counted before the carriage return is removed
  std::string line_;      // reused between lines
  bool discarding_ = false;
};

}  // namespace qcu
