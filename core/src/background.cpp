#include "kestro/background.hpp"

#include <utility>

namespace kestro {

BackgroundTask::BackgroundTask() : thread_([this] { loop(); }) {}

BackgroundTask::~BackgroundTask() {
  quiesce();
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

std::exception_ptr BackgroundTask::take_failure(std::unique_lock<std::mutex>& lock) {
  cv_.wait(lock, [this] { return !busy_; });
  return std::exchange(error_, nullptr);
}

void BackgroundTask::start(std::function<void()> job) {
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (std::exception_ptr err = take_failure(lock)) std::rethrow_exception(err);
    job_ = std::move(job);
    busy_ = true;
  }
  cv_.notify_all();
}

void BackgroundTask::settle() {
  std::exception_ptr err;
  {
    std::unique_lock<std::mutex> lock(mu_);
    err = take_failure(lock);
  }
  if (err) std::rethrow_exception(err);
}

void BackgroundTask::quiesce() noexcept {
  std::unique_lock<std::mutex> lock(mu_);
  take_failure(lock);
}

void BackgroundTask::loop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return busy_ || stop_; });
    if (!busy_) return;  // stop_ and nothing to do
    std::function<void()> job = std::move(job_);
    lock.unlock();
    std::exception_ptr err;
    try {
      job();
    } catch (...) {
      err = std::current_exception();
    }
    // what the job holds goes before the caller hears that it ended
    job = nullptr;
    lock.lock();
    error_ = err;
    busy_ = false;
    cv_.notify_all();
  }
}

}  // namespace kestro
