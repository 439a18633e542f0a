#pragma once
// A radio device for window tests that need no link: every operation does nothing.

#include <span>
#include <string>
#include <utility>

#include "platform/ble/BluetoothLE.h"

// A radio device as a scan reports it: an address and an advertised name, nothing else.
class TStubDevice : public TBluetoothLEDevice {
  public:
    TStubDevice(std::string address, std::string name)
        : FAddress(std::move(address)), FName(std::move(name)) {}
    std::string Address() const override { return FAddress; }
    std::string DeviceName() const override { return FName; }
    bool DiscoverServices() override { return false; }
    TBluetoothGattServiceList Services() const override { return {}; }
    void ReadCharacteristic(TBluetoothGattCharacteristic&) override {}
    void WriteCharacteristic(TBluetoothGattCharacteristic&, std::span<const uint8_t>) override {}
    void WriteDescriptor(TBluetoothGattDescriptor&) override {}
    bool SetCharacteristicNotification(TBluetoothGattCharacteristic&, bool) override { return false; }
    bool IsConnected() const override { return false; }
    void Disconnect() override {}

  private:
    std::string FAddress;
    std::string FName;
};
