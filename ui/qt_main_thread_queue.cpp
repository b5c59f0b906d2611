#include "qt_main_thread_queue.h"

#include <QMetaObject>

TQtMainThreadQueue::TQtMainThreadQueue()
    : FQueue([this] {
        QMetaObject::invokeMethod(
            &FReceiver, [this] { FQueue.process_pending(); }, Qt::QueuedConnection);
      }) {}

// The queue closes before the receiver goes, so no wake-up can target a dead object; queued
// calls still pending for the receiver are discarded with it.
TQtMainThreadQueue::~TQtMainThreadQueue() { FQueue.close(); }
