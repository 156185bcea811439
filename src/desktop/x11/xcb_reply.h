// Replies read over a connection's XCB side, owned by their reader.
#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace qcu::x11 {

template <typename Reply>
using XcbReply = std::unique_ptr<Reply, decltype(&std::free)>;

// Takes a reply and frees its request's error, if any. The error is passed by address so that it
// is read only after the reply was fetched (the order in which a call's arguments are evaluated
// is unspecified). gone, when given, says whether the request failed only because its window no
// longer exists.
template <typename Reply>
XcbReply<Reply> takeReply(Reply* reply, xcb_generic_error_t** error, bool* gone = nullptr) {
  if (gone) {
    *gone = *error && ((*error)->error_code == XCB_WINDOW || (*error)->error_code == XCB_DRAWABLE);
  }
  std::free(*error);
  *error = nullptr;
  return XcbReply<Reply>(reply, &std::free);
}

}  // namespace qcu::x11
