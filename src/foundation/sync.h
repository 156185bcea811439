// Small shared values guarded by their own locks: Locked<T> and CancelToken.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

#include "foundation/errors.h"

namespace qcu {

// A value guarded by its own non-recursive lock. Copies of a Locked share one value.
template <typename T>
class Locked {
 public:
  explicit Locked(T initial = T{}) : shared_(std::make_shared<Shared>(std::move(initial))) {}

  T get() const {
    std::lock_guard<std::mutex> guard(shared_->lock);
    return shared_->value;
  }
  void set(T value) const {
    std::lock_guard<std::mutex> guard(shared_->lock);
    shared_->value = std::move(value);
  }
  // Runs body with mutable access under the lock; body must not touch this Locked again.
  template <typename Body>
  void update(Body&& body) const {
    std::lock_guard<std::mutex> guard(shared_->lock);
    body(shared_->value);
  }

 private:
  struct Shared {
    explicit Shared(T v) : value(std::move(v)) {}
    std::mutex lock;  // guards value
    T value;
  };
  std::shared_ptr<Shared> shared_;
};

// A one-way cancellation flag shared between a request and the work it started.
class CancelToken {
 public:
  CancelToken() : flag_(false) {}
  void cancel() const { flag_.set(true); }
  bool isCancelled() const { return flag_.get(); }
  void check() const {
    if (isCancelled()) throw CancelledError();
  }

 private:
  Locked<bool> flag_;
};

}  // namespace qcu
