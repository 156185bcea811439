#include "runtime/framing.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/limits.h"
#include "runtime/dispatch.h"
#include "runtime/lifecycle.h"
#include "runtime/output.h"

namespace qcu {

void LineFramer::feed(const char* data, std::size_t size) {
  const char* p = data;
  const char* end = data + size;
  while (p < end) {
    const auto* lf =
        static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* stop = lf ? lf : end;
    if (!discarding_) {
      auto count = static_cast<std::size_t>(stop - p);
      if (line_.size() + count > MAX_MESSAGE_BYTES) {
        // Too long: drop what was gathered and skip everything up to the next line feed.
        line_.clear();
        discarding_ = true;
      } else {
        line_.append(p, count);
      }
    }
    if (!lf) break;  // a partial line waits for the next chunk
    if (discarding_) {
      onOversize_();
    } else if (!line_.empty()) {
      if (line_.back() == '\r') line_.pop_back();
      if (!line_.empty()) onLine_(line_);
    }
    line_.clear();
    discarding_ = false;
    p = lf + 1;
  }
}

void readLines(int fd) {
  LineFramer framer([](std::string_view line) { handleLine(line); },
                    [] {
                      writeMessage({{"v", PROTOCOL_VERSION},
                                    {"type", "error"},
                                    {"requestId", "none"},
                                    {"ok", false},
                                    {"code", "oversize"},
                                    {"message", "message exceeds limit"}});
                    });
  char chunk[4096];
  for (;;) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;  // end of input or a read error
    framer.feed(chunk, static_cast<std::size_t>(got));
  }
}

void readLoop() {
  readLines(0);
  cancelEverything();
  exitProcess(0);
}

}  // namespace qcu
