#pragma once
// One job at a time on a thread of its own, so that a caller can prepare
// the next piece of work (read the next part of a stream) while the last
// one runs. Needs no GIL; the job must not touch Python objects.
//
// At most one job is in flight: start() waits for the one before, so a
// caller needs no flag of its own, and a job's failure always reaches the
// caller, at the next start() or settle(), unless it is quiesced away.
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace kestro {

class BackgroundTask {
 public:
  BackgroundTask();
  // quiesce(), then stops the thread.
  ~BackgroundTask();
  BackgroundTask(const BackgroundTask&) = delete;
  BackgroundTask& operator=(const BackgroundTask&) = delete;

  // Starts `job` once the job in flight, if any, ended. If that one failed,
  // rethrows its failure and `job` is not started.
  void start(std::function<void()> job);
  // Waits for the job in flight, if any; rethrows its failure. Nothing in
  // flight: returns at once.
  void settle();
  // Waits for the job in flight, if any, and drops its failure: for a way
  // out that already carries a failure of its own.
  void quiesce() noexcept;

 private:
  void loop();
  // The failure of the job in flight, once it ended; none after that.
  std::exception_ptr take_failure(std::unique_lock<std::mutex>& lock);

  std::mutex mu_;
  std::condition_variable cv_;
  std::function<void()> job_;
  bool busy_ = false;  // job_ is waiting or running
  bool stop_ = false;
  std::exception_ptr error_;  // of the last job, until taken
  std::thread thread_;
};

}  // namespace kestro
