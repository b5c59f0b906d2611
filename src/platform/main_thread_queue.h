#pragma once
// The main thread's task queue: how worker threads get work done in the main thread (state
// changes, termination notifications of connection threads, "cache loaded" messages).
//
// TMainThreadQueue is the seam: the Qt UI implements it on the Qt event loop; the plain
// implementation below is drained by a loop of our own (headless service, tests). post and sync
// may be called from any thread. A task must not throw out of a posted call; an exception of a
// synchronous task is rethrown in the caller of sync.
//
// A main-thread caller that waits for worker threads whose last step is a posted task must keep
// draining the queue while it waits (process_pending), or the wait never ends.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class TMainThreadQueue {
 public:
  virtual ~TMainThreadQueue() = default;

  // Queues `task` for the main thread and returns at once. False when the queue takes no more
  // tasks (it was closed); the task is then not run, so the caller can do the work itself.
  virtual bool post(std::function<void()> task) = 0;

  // Runs `task` in the main thread and returns when it has run; in the main thread it runs at
  // once. False when the queue was closed before the task ran (the task is not run).
  virtual bool sync(std::function<void()> task) = 0;

  // True in the thread that drains the queue.
  virtual bool is_main_thread() const = 0;

  // In the main thread: runs the tasks queued before the call and returns their number.
  // Elsewhere: does nothing and returns 0.
  virtual std::size_t process_pending() = 0;
};

// A queue drained by whoever created it: the constructing thread is the main thread. Either call
// process_pending / wait_and_process from a loop of your own, or run() until quit().
//
// `wake`, when given, is called after every queued task (from the posting thread, outside the
// lock): an event loop of another kind (the Qt UI's) uses it to schedule a process_pending in
// the main thread, so the queue's rules stay the same for both front ends. It must be
// thread-safe and must not run the tasks itself.
class TPlainMainThreadQueue final : public TMainThreadQueue {
 public:
  explicit TPlainMainThreadQueue(std::function<void()> wake = {});
  ~TPlainMainThreadQueue() override;  // close()
  TPlainMainThreadQueue(const TPlainMainThreadQueue&) = delete;
  TPlainMainThreadQueue& operator=(const TPlainMainThreadQueue&) = delete;

  bool post(std::function<void()> task) override;
  bool sync(std::function<void()> task) override;
  bool is_main_thread() const override;
  std::size_t process_pending() override;

  // Main thread: waits up to `timeout` for a task (or quit/close), then runs what is queued.
  std::size_t wait_and_process(std::chrono::milliseconds timeout);

  // Main thread: runs tasks as they come until quit() is called (from any thread, also from a
  // task). A quit() before run() makes the next run() return at once; run() clears the request.
  void run();
  void quit();

  // Drops the queued tasks (waiting sync callers get false) and refuses all later ones.
  void close();

 private:
  const std::thread::id FMainThread;
  const std::function<void()> FWakeHandler;
  mutable std::mutex FLock;
  std::condition_variable FWake;
  std::deque<std::function<void()>> FTasks;  // guarded by FLock
  bool FClosed = false;                      // guarded by FLock
  bool FQuit = false;                        // guarded by FLock
};
