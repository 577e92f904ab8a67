// One job at a time on a thread of its own; a failure reaches the caller
// at the next start() or settle(), or is dropped by quiesce().
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kestro/background.hpp"

namespace {

// A job that runs long enough for a caller that did not wait to be caught.
void linger() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

std::string failure_of(kestro::BackgroundTask& task, bool via_start) {
  try {
    if (via_start)
      task.start([] {});
    else
      task.settle();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(BackgroundTask, JobsStartedBackToBackRunInTurn) {
  kestro::BackgroundTask task;
  std::vector<int> order;  // written by the jobs alone
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 200; ++i) {
    task.start([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      if (i % 50 == 0) linger();
      order.push_back(i);
      running.fetch_sub(1);
    });
  }
  task.settle();
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
}

TEST(BackgroundTask, SettleWaitsHandsBackAFailureOnceAndIsANoOpWhenIdle) {
  kestro::BackgroundTask task;
  task.settle();  // nothing started yet
  task.settle();
  bool done = false;
  task.start([&done] {
    linger();
    done = true;
  });
  task.settle();
  EXPECT_TRUE(done);
  task.settle();  // that job was settled already

  task.start([] {
    linger();
    throw std::runtime_error("write failed");
  });
  EXPECT_EQ(failure_of(task, false), "write failed");
  task.settle();  // handed back once
  int after = 0;
  task.start([&after] { after = 1; });  // the thread goes on
  task.settle();
  EXPECT_EQ(after, 1);
}

TEST(BackgroundTask, StartAfterAFailedJobRethrowsItAndDoesNotRunTheNewJob) {
  kestro::BackgroundTask task;
  std::atomic<bool> ran{false};
  task.start([] {
    linger();
    throw std::runtime_error("first");
  });
  try {
    task.start([&ran] { ran = true; });
    ADD_FAILURE() << "start went on after a failed job";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "first");
  }
  task.settle();  // the refused job was never in flight
  EXPECT_FALSE(ran);
  task.start([&ran] { ran = true; });
  task.settle();
  EXPECT_TRUE(ran);

  // a failure already over when start() comes is rethrown too
  task.start([] { throw std::runtime_error("second"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(failure_of(task, true), "second");
}

TEST(BackgroundTask, QuiesceWaitsAndDropsTheFailure) {
  kestro::BackgroundTask task;
  task.quiesce();  // idle: nothing to wait for
  std::atomic<bool> ended{false};
  task.start([&ended] {
    linger();
    ended = true;
    throw std::runtime_error("dropped");
  });
  task.quiesce();
  EXPECT_TRUE(ended);
  task.settle();  // the failure is gone, not kept for later
  int after = 0;
  task.start([&after] { after = 1; });
  task.settle();
  EXPECT_EQ(after, 1);
}

TEST(BackgroundTask, DestructionWaitsForTheRunningJobAndDropsItsFailure) {
  std::atomic<bool> done{false};
  {
    kestro::BackgroundTask task;
    task.start([&done] {
      linger();
      done = true;
    });
  }
  EXPECT_TRUE(done);
  done = false;
  {
    kestro::BackgroundTask task;
    task.start([&done] {
      linger();
      done = true;
      throw std::runtime_error("nobody settled this");
    });
  }  // no throw from the destructor (it would end the process)
  EXPECT_TRUE(done);
}
