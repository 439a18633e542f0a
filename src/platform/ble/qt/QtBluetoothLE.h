#pragma once
// The product's Bluetooth LE central on Qt Bluetooth (BlueZ on Linux, WinRT on Windows,
// CoreBluetooth on macOS). Needs a QCoreApplication (or QApplication) to exist; its Qt objects live
// on a thread of their own, so the application's event loop is not needed for it to work.

#include <chrono>
#include <memory>

#include "platform/ble/BluetoothLE.h"

struct TQtBluetoothLEOptions {
    // A connection whose services have not resolved by then is given up: Qt itself never gives up.
    std::chrono::milliseconds connectTimeout{10000};
};

std::unique_ptr<TBluetoothLEManager> CreateQtBluetoothLEManager(const TQtBluetoothLEOptions& options = {});
