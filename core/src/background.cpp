#include "kestro/background.hpp"

#include <stdexcept>
#include <utility>

namespace kestro {

BackgroundTask::BackgroundTask() : thread_([this] { loop(); }) {}

BackgroundTask::~BackgroundTask() {
  {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return !busy_; });
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void BackgroundTask::start(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (busy_) throw std::logic_error("BackgroundTask::start while a task runs");
    task_ = std::move(task);
    busy_ = true;
    error_ = nullptr;
  }
  cv_.notify_all();
}

void BackgroundTask::wait() {
  std::exception_ptr err;
  {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return !busy_; });
    err = std::exchange(error_, nullptr);
  }
  if (err) std::rethrow_exception(err);
}

void BackgroundTask::loop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return busy_ || stop_; });
    if (!busy_) return;  // stop_ and nothing to do
    std::function<void()> task = std::move(task_);
    lock.unlock();
    std::exception_ptr err;
    try {
      task();
    } catch (...) {
      err = std::current_exception();
    }
    lock.lock();
    error_ = err;
    busy_ = false;
    cv_.notify_all();
  }
}

}  // namespace kestro
