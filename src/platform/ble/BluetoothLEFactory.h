#pragma once
// Picks the Bluetooth LE backend for this build and platform and logs the choice. Tests do not come
// here: they construct the fake backend directly.

#include <memory>

#include "platform/ble/BluetoothLE.h"

std::unique_ptr<TBluetoothLEManager> CreateBluetoothLEManager();
