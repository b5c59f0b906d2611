#include "platform/main_thread_queue.h"

#include <exception>
#include <memory>
#include <utility>

TPlainMainThreadQueue::TPlainMainThreadQueue(std::function<void()> wake)
    : FMainThread(std::this_thread::get_id()), FWakeHandler(std::move(wake)) {}

TPlainMainThreadQueue::~TPlainMainThreadQueue() { close(); }

bool TPlainMainThreadQueue::post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (FClosed) return false;
    FTasks.push_back(std::move(task));
  }
  FWake.notify_all();
  if (FWakeHandler) FWakeHandler();
  return true;
}

namespace {

// One synchronous call in flight. The caller waits on it; the queued task owns a Completion,
// which reports back when the task has run and also when the queue drops it unrun, so the
// caller can never be left waiting.
struct SyncState {
  std::mutex lock;
  std::condition_variable finished_cv;
  bool finished = false;
  bool ran = false;
  std::exception_ptr error;
};

class Completion {
 public:
  Completion(std::shared_ptr<SyncState> state, std::function<void()> task)
      : FState(std::move(state)), FTask(std::move(task)) {}
  Completion(const Completion&) = delete;
  Completion& operator=(const Completion&) = delete;
  ~Completion() { Finish(false, nullptr); }

  void Run() {
    std::exception_ptr error;
    try {
      FTask();
    } catch (...) {
      error = std::current_exception();
    }
    Finish(true, std::move(error));
  }

 private:
  void Finish(bool ran, std::exception_ptr error) {
    if (!FState) return;
    FTask = nullptr;  // the task's captures belong to the caller: gone before it resumes
    std::shared_ptr<SyncState> state = std::move(FState);
    std::lock_guard<std::mutex> guard(state->lock);
    state->finished = true;
    state->ran = ran;
    state->error = std::move(error);
    state->finished_cv.notify_all();
  }

  std::shared_ptr<SyncState> FState;
  std::function<void()> FTask;
};

}  // namespace

bool TPlainMainThreadQueue::sync(std::function<void()> task) {
  if (is_main_thread()) {
    task();
    return true;
  }
  auto state = std::make_shared<SyncState>();
  auto completion = std::make_shared<Completion>(state, std::move(task));
  const bool queued = post([completion] { completion->Run(); });
  completion.reset();  // from here on only the queued task owns it (or nobody, if refused)
  if (!queued) return false;
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> guard(state->lock);
    state->finished_cv.wait(guard, [&] { return state->finished; });
    if (!state->ran) return false;
    error = std::move(state->error);  // the exception is released in this thread, not there
  }
  if (error) std::rethrow_exception(error);
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
