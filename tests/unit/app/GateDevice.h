#pragma once
// A radio device whose connect can be held: for tests of connections whose set-up is still running
// when something else happens (a disconnect, a second click, the window closing).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "StubDevice.h"

// Service discovery waits at a gate, then refuses or throws. Disconnect opens the gate, as a backend
// cuts a pending connect short. A gate nobody opens opens by itself after a while and says so
// (TimedOut), so that a test missing its Open fails instead of hanging.
class TGateDevice final : public TStubDevice {
  public:
    enum class TOutcome { Refuse, Throw };

    TGateDevice(std::string address, std::string name, TOutcome outcome, bool open)
        : TStubDevice(std::move(address), std::move(name)), FOutcome(outcome), FOpen(open) {}

    bool DiscoverServices() override {
        {
            std::unique_lock lock(FLock);
            ++FEntered;
            FChanged.notify_all();
            if (!FChanged.wait_for(lock, std::chrono::seconds(20), [this] { return FOpen; })) {
                TimedOut = true;
            }
        }
        ++Returned;
        if (FOutcome == TOutcome::Throw) {
            throw std::runtime_error("the Bluetooth adapter went away");
        }
        return false;
    }
    void Disconnect() override {
        ++Disconnects;
        if (CutsShort) {
            Open();
        }
    }
    // Whether a disconnect ends a pending connect at once; false: the connect runs on until the
    // gate is opened (a backend that waits out its own time-out).
    std::atomic<bool> CutsShort{true};

    void Open() {
        std::lock_guard lock(FLock);
        FOpen = true;
        FChanged.notify_all();
    }
    bool WaitEntered(int count = 1) {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, std::chrono::seconds(5), [&] { return FEntered >= count; });
    }
    int Entered() const {
        std::lock_guard lock(FLock);
        return FEntered;
    }
    // The link drop as the backend reports it, from a thread of its own.
    void DropFromBackend() {
        std::thread([this] { RaiseDisconnect(); }).join();
    }

    std::atomic<int> Disconnects{0};
    std::atomic<int> Returned{0};
    std::atomic<bool> TimedOut{false};

  private:
    const TOutcome FOutcome;
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    bool FOpen;
    int FEntered = 0;
};
