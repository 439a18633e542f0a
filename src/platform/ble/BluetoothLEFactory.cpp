#include "platform/ble/BluetoothLEFactory.h"

#include <cstdio>

#include "platform/ble/qt/QtBluetoothLE.h"

std::unique_ptr<TBluetoothLEManager> CreateBluetoothLEManager() {
    // Qt Bluetooth is the one product backend: BlueZ over D-Bus on Linux, WinRT on Windows,
    // CoreBluetooth on macOS.
    std::fprintf(stderr, "Bluetooth LE backend: Qt Bluetooth (connect time-out %lld ms)\n",
                 static_cast<long long>(TQtBluetoothLEOptions{}.connectTimeout.count()));
    return CreateQtBluetoothLEManager();
}
