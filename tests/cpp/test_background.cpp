// One task at a time on a thread of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "kestro/background.hpp"

TEST(BackgroundTask, RunsTasksInTurnAndHandsBackTheirFailure) {
  kestro::BackgroundTask task;
  int total = 0;
  for (int i = 1; i <= 100; ++i) {
    task.start([&total, i] { total += i; });
    task.wait();
  }
  EXPECT_EQ(total, 5050);
  task.start([] { throw std::runtime_error("boom"); });
  EXPECT_THROW(task.wait(), std::runtime_error);
  // the failure is handed back once; the thread goes on
  task.wait();
  task.start([&total] { total = -1; });
  task.wait();
  EXPECT_EQ(total, -1);
}

TEST(BackgroundTask, StartWhileBusyIsRefusedAndDestructionWaits) {
  std::atomic<bool> done{false};
  {
    kestro::BackgroundTask task;
    task.start([&done] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      done = true;
    });
    EXPECT_THROW(task.start([] {}), std::logic_error);
  }
  EXPECT_TRUE(done);
  {
    kestro::BackgroundTask task;
    task.start([] { throw std::runtime_error("dropped"); });
  }  // a failure nobody waited for is dropped, not thrown
}
