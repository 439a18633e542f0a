#pragma once
// The one thread that owns every Qt Bluetooth object. Qt's BlueZ backend makes blocking D-Bus calls
// on the thread that drives it (a property Get per characteristic on every operation,
// GetManagedObjects on connect and discovery), so nothing else may touch those objects: public
// methods of the backend hand their work to this thread with queued invocations on its context
// object, and the caller never runs Qt Bluetooth code itself.

#include <QObject>
#include <QThread>

#include <functional>
#include <future>
#include <memory>

class TQtBleThread {
  public:
    TQtBleThread();
    // Runs the teardown (if any was set) on the thread, then stops it.
    ~TQtBleThread();
    TQtBleThread(const TQtBleThread&) = delete;
    TQtBleThread& operator=(const TQtBleThread&) = delete;

    // Lives on the BLE thread: the context of every queued invocation and signal connection.
    QObject* Context() const { return FContext; }
    bool IsCurrent() const;

    // Runs fn later on the BLE thread; never inline, even when called from it.
    void Post(std::function<void()> fn);

    // Runs fn on the BLE thread and waits for its result; inline when already on it.
    template <typename Fn>
    auto Call(Fn&& fn) -> decltype(fn()) {
        using R = decltype(fn());
        if (IsCurrent())
            return fn();
        auto task = std::make_shared<std::packaged_task<R()>>(std::forward<Fn>(fn));
        auto result = task->get_future();
        Post([task] { (*task)(); });
        return result.get();
    }

  private:
    QThread FThread;
    QObject* FContext = nullptr;
};
