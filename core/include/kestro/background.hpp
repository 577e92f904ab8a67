#pragma once
// One task at a time on a thread of its own, so that a caller can prepare
// the next piece of work (read the next part of a stream) while the last
// one runs. Needs no GIL; the task must not touch Python objects.
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace kestro {

class BackgroundTask {
 public:
  BackgroundTask();
  // Waits for a running task (its failure is dropped), then stops the
  // thread.
  ~BackgroundTask();
  BackgroundTask(const BackgroundTask&) = delete;
  BackgroundTask& operator=(const BackgroundTask&) = delete;

  // Starts `task`. Call wait() for the previous one first.
  void start(std::function<void()> task);
  // Waits until the current task (if any) ended; rethrows what it threw.
  void wait();

 private:
  void loop();

  std::mutex mu_;
  std::condition_variable cv_;
  std::function<void()> task_;
  bool busy_ = false;
  bool stop_ = false;
  std::exception_ptr error_;
  std::thread thread_;
};

}  // namespace kestro
