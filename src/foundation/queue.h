// A serial work queue: one worker thread running tasks one at a time in arrival order.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace qcu {

class SerialQueue {
 public:
  explicit SerialQueue(std::string label) : label_(std::move(label)) {}
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // Queues a task; the worker thread starts with the first task. Tasks must not throw.
  void async(std::function<void()> task);
  const std::string& label() const { return label_; }

 private:
  void run();

  std::string label_;
  std::mutex lock_;  // guards tasks_ and started_
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool started_ = false;
};

// Runs a task once after a delay on one shared timer thread, independent of the work queues.
void runAfter(double seconds, std::function<void()> task);

}  // namespace qcu
