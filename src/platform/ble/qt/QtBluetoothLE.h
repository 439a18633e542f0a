#pragma once
// The product's Bluetooth LE central on Qt Bluetooth (BlueZ on Linux, WinRT on Windows,
// CoreBluetooth on macOS). Needs a QCoreApplication (or QApplication). Its Qt objects live on a
// thread of their own, but QtDBus delivers no D-Bus signal (notifications, disconnects, power
// changes) until the application's event loop has run once: create it before exec() or at least
// let the main thread process its events once.

#include <chrono>
#include <memory>

#include "platform/ble/BluetoothLE.h"

struct TQtBluetoothLEOptions {
    // A connection whose services have not resolved by then is given up: Qt itself never gives up.
    std::chrono::milliseconds connectTimeout{10000};
};

std::unique_ptr<TBluetoothLEManager> CreateQtBluetoothLEManager(const TQtBluetoothLEOptions& options = {});
