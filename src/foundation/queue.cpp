#include "foundation/queue.h"

#include <pthread.h>

#include <chrono>
#include <map>

#include "foundation/clock.h"

namespace qcu {

void SerialQueue::async(std::function<void()> task) {
  std::lock_guard<std::mutex> guard(lock_);
  tasks_.push_back(std::move(task));
  if (!started_) {
    started_ = true;
    // The worker lives as long as the process; it is never joined (the process ends with _exit).
    std::thread([this] { run(); }).detach();
  }
  wake_.notify_one();
}

void SerialQueue::run() {
  pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> guard(lock_);
      wake_.wait(guard, [this] { return !tasks_.empty(); });
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

namespace {

struct TimerThread {
  std::mutex lock;  // guards due and started
  std::condition_variable wake;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> due;
  bool started = false;

  void run() {
    pthread_setname_np(pthread_self(), "quorvel.timer");
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
      if (due.empty()) {
        wake.wait(guard);
        continue;
      }
      auto first = due.begin();
      if (std::chrono::steady_clock::now() < first->first) {
        wake.wait_until(guard, first->first);
        continue;
      }
      auto task = std::move(first->second);
      due.erase(first);
      guard.unlock();
      task();
      guard.lock();
    }
  }
};

TimerThread& timerThread() {
  static auto* timers = new TimerThread();  // never destroyed: used until _exit
  return *timers;
}

}  // namespace

void runAfter(double seconds, std::function<void()> task) {
  auto& timers = timerThread();
  auto when = std::chrono::steady_clock::now() +
              std::chrono::duration_cast<std::chrono::steady_clock::duration>(Seconds(seconds));
  std::lock_guard<std::mutex> guard(timers.lock);
  timers.due.emplace(when, std::move(task));
  if (!timers.started) {
    timers.started = true;
    std::thread([&timers] { timers.run(); }).detach();
  }
  timers.wake.notify_one();
}

}  // namespace qcu
