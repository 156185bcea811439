#include "foundation/lines.h"

#include <cstring>

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
      if (line_.size() + count > maxBytes_) {
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

}  // namespace qcu
