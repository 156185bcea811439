// Inbound framing: standard input cut into lines, each complete non-empty line handed to the
// dispatcher; lines over the size limit are refused once, when their line feed arrives.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace qcu {

// Splits a byte stream into request lines. Keeps a partial line between feeds.
class LineFramer {
 public:
  using LineHandler = std::function<void(std::string_view line)>;
  using OversizeHandler = std::function<void()>;

  LineFramer(LineHandler onLine, OversizeHandler onOversize)
      : onLine_(std::move(onLine)), onOversize_(std::move(onOversize)) {}

  void feed(const char* data, std::size_t size);

 private:
  LineHandler onLine_;
  OversizeHandler onOversize_;
  std::string line_;  // reused between lines
  bool discarding_ = false;
};

// Reads standard input until it ends, dispatching every line; then cancels all work and exits
// with status 0. Never returns in the real process.
void readLoop();

// Reads lines from a file descriptor and dispatches them; returns at end of input or on a read
// error. readLoop is this on descriptor 0 followed by the exit.
void readLines(int fd);

}  // namespace qcu
