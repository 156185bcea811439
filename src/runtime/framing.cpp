#include "runtime/framing.h"

#include <unistd.h>

#include <cerrno>

#include "foundation/limits.h"
#include "runtime/dispatch.h"
#include "runtime/lifecycle.h"
#include "runtime/output.h"

namespace qcu {

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
