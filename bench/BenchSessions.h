#pragma once
// A session bound to a device whose writes complete at once, for benchmarks of the sending path:
// no radio, no Bluetooth threads, no pace, only the session's own work and its send worker.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "device/UnitCorvastelDevice.h"

namespace bench {

using Clock = std::chrono::steady_clock;

// A device whose writes complete at once, on the writing thread; it notes when each write arrived.
class TInstantDevice final : public TBluetoothLEDevice {
  public:
    std::string Address() const override { return "C0:FF:EE:00:00:01"; }
    std::string DeviceName() const override { return "Corvastel-Bench"; }
    bool DiscoverServices() override { return false; }
    TBluetoothGattServiceList Services() const override { return {}; }
    void ReadCharacteristic(TBluetoothGattCharacteristic&) override {}
    void WriteCharacteristic(TBluetoothGattCharacteristic& c, std::span<const uint8_t>) override {
        {
            std::lock_guard l(lock);
            writtenAt = Clock::now();
            ++writes;
        }
        written.notify_one();
        RaiseCharacteristicWrite(c, GattStatusSuccess);
    }
    void WriteDescriptor(TBluetoothGattDescriptor&) override {}
    bool SetCharacteristicNotification(TBluetoothGattCharacteristic&, bool) override { return true; }
    bool IsConnected() const override { return true; }
    void Disconnect() override {}

    using TBluetoothLEDevice::SetHandlers;
    std::mutex lock;
    std::condition_variable written;
    Clock::time_point writtenAt;
    long writes = 0;
};

// An active session on an instant device, identity 0451:16B4 (as the identity reply sets it).
// The link takes writes as fast as they come, so it needs no pace: with the estimator's, each write
// would wait for the next slot of a guessed 7.5 ms link and the figures would be that wait.
struct TBoundSession {
    TBoundSession() {
        session.SetLinkEstimator(TLinkEstimator::Fixed(std::chrono::microseconds::zero()));
        session.Device = &device;
        session.char1 = &char1;
        device.SetHandlers({{},
                            {},
                            [this](TBluetoothLEDevice& d, TBluetoothGattCharacteristic& c, uint16_t s) {
                                session.OnCharacteristicWrite(d, c, s);
                            },
                            {}},
                           &session);
        std::vector<uint8_t> reply{0xA1, 0x51, 0x04, 0xB4, 0x16, 0x00};
        TBluetoothGattCharacteristic char5(TBluetoothUuid::FromShort(0xF80F), PropNotify);
        session.char5 = &char5;
        session.ReceiveData(char5, reply);
        session.char5 = nullptr;
        session.isActived = true;
    }
    TInstantDevice device;
    TBluetoothGattCharacteristic char1{TBluetoothUuid::FromShort(0xF801), PropWriteNoResponse};
    TCorvastelDevice session;
};

}  // namespace bench
