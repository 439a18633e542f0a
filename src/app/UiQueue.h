#pragma once
// Carries work raised on other threads (Bluetooth stack callbacks, device events, connect workers)
// onto the window's thread, so the window's tables and controls are only ever touched there and need
// no lock. Work runs in the order it was posted. Once the queue is closed (the window's close
// handling) nothing posted earlier or later runs any more, so no event reaches a window that is
// going away.
//
// Held by shared_ptr: the callbacks handed to the Bluetooth stack keep the queue alive, not the
// window, so a late callback after the window is gone finds a closed queue instead of a dead object.

#include <QObject>

#include <functional>
#include <memory>
#include <mutex>

class TUiQueue : public std::enable_shared_from_this<TUiQueue> {
  public:
    // context: the object whose thread runs the work; it must outlive the queue's open state (close
    // the queue before destroying it).
    static std::shared_ptr<TUiQueue> Create(QObject* context);

    TUiQueue(const TUiQueue&) = delete;
    TUiQueue& operator=(const TUiQueue&) = delete;

    // Runs fn on the context's thread after everything posted before it. Any thread.
    void Post(std::function<void()> fn);
    // Runs fn at once when called on the context's thread, else posts it. For events that callers
    // expect to have been handled when the raising call returns (a cancelled scan ends at once).
    void Run(std::function<void()> fn);
    // Runs fn on the context's thread and waits until it has run. At once on the context's thread.
    // Returns false (fn not run) when the queue is closed. Never call it from a thread the context's
    // thread may be waiting for.
    bool RunAndWait(std::function<void()> fn);

    // Stops all work not yet run. The context's thread.
    void Close();
    bool Closed() const;

  private:
    explicit TUiQueue(QObject* context) : FContext(context) {}
    bool OnContextThread() const;

    mutable std::mutex FLock;
    QObject* FContext;
    bool FClosed = false;
};
