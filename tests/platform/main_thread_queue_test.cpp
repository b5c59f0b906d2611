// The plain main-thread queue: tasks from other threads run in the draining thread, in order;
// sync waits for its task; closing never leaves a caller waiting.
#include "platform/main_thread_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(MainThreadQueue, PostedTasksRunInTheMainThreadInOrder) {
  TPlainMainThreadQueue queue;
  const auto main_id = std::this_thread::get_id();
  std::vector<int> order;
  std::atomic<bool> all_in_main{true};
  std::thread worker([&] {
    EXPECT_FALSE(queue.is_main_thread());
    EXPECT_EQ(queue.process_pending(), 0u);  // not the main thread: nothing runs here
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(queue.post([&, i] {
        if (std::this_thread::get_id() != main_id) all_in_main = false;
        order.push_back(i);
      }));
    }
  });
  worker.join();
  EXPECT_TRUE(order.empty());  // nothing runs before the main thread drains
  EXPECT_EQ(queue.process_pending(), 5u);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_TRUE(all_in_main);

  // A task that posts again runs its successor in the next round, not in this one.
  int rounds = 0;
  std::function<void()> again = [&] {
    if (++rounds < 3) queue.post(again);
  };
  queue.post(again);
  EXPECT_EQ(queue.process_pending(), 1u);
  EXPECT_EQ(queue.process_pending(), 1u);
  EXPECT_EQ(rounds, 2);
}

TEST(MainThreadQueue, SyncWaitsForTheMainThreadAndPassesExceptionsBack) {
  TPlainMainThreadQueue queue;
  const auto main_id = std::this_thread::get_id();

  bool ran_inline = false;
  EXPECT_TRUE(queue.sync([&] { ran_inline = true; }));  // in the main thread: at once
  EXPECT_TRUE(ran_inline);

  std::atomic<bool> returned{false};
  std::thread::id ran_in;
  std::atomic<bool> thrown{false};
  std::thread worker([&] {
    EXPECT_TRUE(queue.sync([&] { ran_in = std::this_thread::get_id(); }));
    returned = true;
    try {
      queue.sync([] { throw std::runtime_error("boom"); });
    } catch (const std::runtime_error& e) {
      thrown = std::string(e.what()) == "boom";
    }
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(returned);  // blocked until the main thread drains
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!thrown && std::chrono::steady_clock::now() < deadline) queue.wait_and_process(5ms);
  worker.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(ran_in, main_id);
  EXPECT_TRUE(thrown);
}

TEST(MainThreadQueue, CloseReleasesWaitersAndRefusesNewTasks) {
  TPlainMainThreadQueue queue;
  std::atomic<int> sync_result{-1};
  std::atomic<bool> ran{false};
  std::thread worker([&] { sync_result = queue.sync([&] { ran = true; }) ? 1 : 0; });
  std::this_thread::sleep_for(50ms);  // the worker now waits on a task nobody drains
  EXPECT_EQ(sync_result, -1);
  queue.close();
  worker.join();  // a hang here is the fault
  EXPECT_EQ(sync_result, 0);
  EXPECT_FALSE(ran);

  EXPECT_FALSE(queue.post([] {}));
  std::thread late([&] { EXPECT_FALSE(queue.sync([] {})); });
  late.join();
}

TEST(MainThreadQueue, RunEndsOnQuitFromAnyThread) {
  TPlainMainThreadQueue queue;
  int ran = 0;
  std::thread worker([&] {
    queue.post([&] { ++ran; });
    queue.post([&] { ++ran; });
    queue.quit();
  });
  worker.join();
  queue.run();  // returns: the quit request was already there
  queue.post([&] {
    ++ran;
    queue.quit();  // quitting from inside a task
  });
  queue.run();
  EXPECT_EQ(ran, 3);
}

}  // namespace
