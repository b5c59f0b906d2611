#pragma once
// The main-thread queue of the tray UI: the same queue the headless service drains itself, woken
// through the Qt event loop. Every post schedules one queued call that runs process_pending in
// the GUI thread, so worker threads reach the windows exactly as they reach the headless main
// loop, and a main-thread caller that waits for workers may still drain with process_pending.
//
// Threads: created in the GUI thread (which becomes the main thread); post and sync from any.
// REQUIRES: every thread that posts has ended before the queue is destroyed.

#include <QObject>
#include <cstddef>
#include <functional>

#include "platform/main_thread_queue.h"

class TQtMainThreadQueue final : public TMainThreadQueue {
 public:
  TQtMainThreadQueue();
  ~TQtMainThreadQueue() override;
  TQtMainThreadQueue(const TQtMainThreadQueue&) = delete;
  TQtMainThreadQueue& operator=(const TQtMainThreadQueue&) = delete;

  bool post(std::function<void()> task) override { return FQueue.post(std::move(task)); }
  bool sync(std::function<void()> task) override { return FQueue.sync(std::move(task)); }
  bool is_main_thread() const override { return FQueue.is_main_thread(); }
  std::size_t process_pending() override { return FQueue.process_pending(); }

  // Drops what is queued and refuses later tasks (waiting sync callers get false).
  void close() { FQueue.close(); }

 private:
  QObject FReceiver;  // lives in the GUI thread: queued calls to it run there
  TPlainMainThreadQueue FQueue;
};
