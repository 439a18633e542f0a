#pragma once
// A Bluetooth LE central for window tests that records the scan calls it gets and keeps the
// contract the window relies on: CancelDiscovery raises the end of the scan on the calling thread
// before it returns.

#include <functional>
#include <vector>

#include "platform/ble/BluetoothLE.h"

class TTestBleManager : public TBluetoothLEManager {
  public:
    int ConnectionState() const override { return Connected; }
    bool StartDiscovery(int, const std::vector<TBluetoothUuid>&, bool) override {
        ++Starts;
        return true;
    }
    void CancelDiscovery() override {
        ++Cancels;
        if (OnCancel) {
            OnCancel();
        }
        RaiseDiscoveryLEEnd({});
    }
    // Raises the end of a scan as the stack's time-out does (from any thread).
    void RaiseEnd() { RaiseDiscoveryLEEnd({}); }

    int Starts = 0;
    int Cancels = 0;
    std::function<void()> OnCancel;  // runs inside CancelDiscovery, before the end is raised
};
