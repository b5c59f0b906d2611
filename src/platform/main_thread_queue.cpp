#include "platform/main_thread_queue.h"

#include <exception>
#include <future>
#include <memory>
#include <utility>

TPlainMainThreadQueue::TPlainMainThreadQueue() : FMainThread(std::this_thread::get_id()) {}

TPlainMainThreadQueue::~TPlainMainThreadQueue() { close(); }

bool TPlainMainThreadQueue::post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (FClosed) return false;
    FTasks.push_back(std::move(task));
  }
  FWake.notify_all();
  return true;
}

bool TPlainMainThreadQueue::sync(std::function<void()> task) {
  if (is_main_thread()) {
    task();
    return true;
  }
  // The promise lives as long as the queued wrapper. If close() drops the wrapper unrun, the
  // promise dies unfulfilled and the waiting caller learns it from the broken promise.
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  bool queued = post([done, task = std::move(task)]() mutable {
    try {
      task();
      done->set_value();
    } catch (...) {
      done->set_exception(std::current_exception());
    }
  });
  if (!queued) return false;
  done.reset();
  try {
    finished.get();
  } catch (const std::future_error&) {
    return false;
  }
  return true;
}

bool TPlainMainThreadQueue::is_main_thread() const {
  return std::this_thread::get_id() == FMainThread;
}

std::size_t TPlainMainThreadQueue::process_pending() {
  if (!is_main_thread()) return 0;
  std::size_t budget;
  {
    std::lock_guard<std::mutex> guard(FLock);
    budget = FTasks.size();
  }
  // Only the tasks present at entry: a task that posts again must not keep us here forever.
  std::size_t ran = 0;
  while (ran < budget) {
    std::function<void()> task;
    {
      std::lock_guard<std::mutex> guard(FLock);
      if (FTasks.empty()) break;
      task = std::move(FTasks.front());
      FTasks.pop_front();
    }
    ++ran;
    task();
  }
  return ran;
}

std::size_t TPlainMainThreadQueue::wait_and_process(std::chrono::milliseconds timeout) {
  if (!is_main_thread()) return 0;
  {
    std::unique_lock<std::mutex> guard(FLock);
    FWake.wait_for(guard, timeout, [this] { return !FTasks.empty() || FQuit || FClosed; });
  }
  return process_pending();
}

void TPlainMainThreadQueue::run() {
  if (!is_main_thread()) return;
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(FLock);
      FWake.wait(guard, [this] { return !FTasks.empty() || FQuit || FClosed; });
      if (FQuit || FClosed) {
        FQuit = false;
        return;
      }
    }
    process_pending();
  }
}

void TPlainMainThreadQueue::quit() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FQuit = true;
  }
  FWake.notify_all();
}

void TPlainMainThreadQueue::close() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> guard(FLock);
    FClosed = true;
    dropped.swap(FTasks);
  }
  FWake.notify_all();
  // Destroyed outside the lock: a dropped sync wrapper wakes its caller as it goes.
  dropped.clear();
}
