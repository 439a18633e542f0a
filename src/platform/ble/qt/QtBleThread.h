#pragma once
// The one thread that owns every Qt Bluetooth object. Qt's BlueZ backend makes blocking D-Bus calls
// on the thread that drives it (GetManagedObjects on every connect and service discovery, property
// reads), so nothing else may touch those objects: public methods of the backend hand their work to
// this thread with queued invocations on its context object, and the caller never runs Qt Bluetooth
// code itself. The same class also runs the write thread, which sends writes without response to
// bluetoothd past Qt and never blocks.
//
// The thread keeps account of the times it was held up (a task or a handler that ran for more than
// StallThreshold), so that a completion raised after such a stall can say that its round trip
// measured the thread rather than the link.

#include <QObject>
#include <QThread>

#include <chrono>
#include <functional>
#include <future>
#include <memory>

class TQtBleThread {
  public:
    using TClock = std::chrono::steady_clock;
    // Longer than any step of ours or Qt's that does not wait for another process.
    static constexpr std::chrono::milliseconds StallThreshold{4};

    explicit TQtBleThread(const char* name = "corvastel-ble");
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

    // On the thread, around a handler of a Qt signal (Post does it for its tasks): the time it runs
    // counts as the thread being busy. Nested scopes count once.
    class TBusy {
      public:
        explicit TBusy(TQtBleThread& thread);
        ~TBusy();
        TBusy(const TBusy&) = delete;
        TBusy& operator=(const TBusy&) = delete;

      private:
        TQtBleThread& FThread;
        const bool FOuter;
    };
    // On the thread: whether it was held up at some time after since (a stall that ended after it,
    // or the step running now has run for longer than StallThreshold).
    bool StalledSince(TClock::time_point since) const;

  private:
    QThread FThread;
    QObject* FContext = nullptr;
    // Thread only.
    int FBusyDepth = 0;
    TClock::time_point FBusySince;
    TClock::time_point FLastStallEnd;
};
