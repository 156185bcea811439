// The helper's error values: a refusal with a wire code and a user-safe message, and the
// signal that a piece of work was cancelled.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace qcu {

// A refusal. Raised at the point of failure, never changed, and turned into a wire error by
// the one place that answers the request.
class SafeError : public std::exception {
 public:
  SafeError(std::string code, std::string message)
      : code_(std::move(code)), message_(std::move(message)) {}
  const std::string& code() const noexcept { return code_; }
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string code_;
  std::string message_;
};

// Raised only by CancelToken::check once the token's work was cancelled.
class CancelledError : public std::exception {
 public:
  const char* what() const noexcept override { return "cancelled"; }
};

}  // namespace qcu
