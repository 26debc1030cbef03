#pragma once

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include <QObject>

// Hands work from any thread to the thread the inbox lives in (the GUI thread here).
//
// The work itself travels through a std::mutex; only a wake-up without arguments goes through
// Qt's event queue. That keeps the hand-over visible to ThreadSanitizer (Qt's own locks are
// not instrumented) and posts one event per batch instead of one per item.
//
// `post` may be called from any thread while the inbox exists; everything else on its thread.
// Work still queued when the inbox is destroyed is dropped.
class Inbox : public QObject {
    Q_OBJECT

  public:
    explicit Inbox(QObject* parent = nullptr) : QObject(parent) {
        connect(this, &Inbox::wake, this, &Inbox::drain, Qt::QueuedConnection);
    }

    void post(std::function<void()> work) {
        bool first = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            first = pending.empty();
            pending.push_back(std::move(work));
        }
        // A non-empty queue already has its wake-up on the way.
        if (first) {
            Q_EMIT wake();
        }
    }

  Q_SIGNALS:
    void wake();

  private:
    void drain() {
        std::vector<std::function<void()>> batch;
        {
            std::lock_guard<std::mutex> lock(mutex);
            batch.swap(pending);
        }
        for (auto& work : batch) {
            work();
        }
    }

    std::mutex mutex;
    std::vector<std::function<void()>> pending;  // guarded by mutex
};
