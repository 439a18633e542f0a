#include "platform/ble/BluetoothLE.h"

#include <cctype>
#include <stdexcept>

#include "platform/GeneralError.h"

void TBluetoothGattDescriptor::SetNotification(bool enable) {
    if (!(FUuid == ClientCharacteristicConfigurationUuid)) {
        throw std::logic_error("Descriptor " + ShortUUIDText(FUuid) +
                               " is not a Client Characteristic Configuration descriptor");
    }
    SetValue(TBytes{static_cast<uint8_t>(enable ? 0x01 : 0x00), 0x00});
}

TBluetoothGattDescriptor* TBluetoothGattCharacteristic::AddDescriptor(
    std::unique_ptr<TBluetoothGattDescriptor> d) {
    FDescriptorRefs.push_back(d.get());
    FDescriptors.push_back(std::move(d));
    return FDescriptorRefs.back();
}

TBluetoothGattCharacteristic* TBluetoothGattService::AddCharacteristic(
    std::unique_ptr<TBluetoothGattCharacteristic> c) {
    FCharacteristicRefs.push_back(c.get());
    FCharacteristics.push_back(std::move(c));
    return FCharacteristicRefs.back();
}

std::string TBluetoothLEDevice::Identifier() const {
    std::string id;
    for (char c : Address()) {
        if (c != ':')
            id.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return id;
}

void TBluetoothLEDevice::SetHandlers(TBluetoothLEDeviceHandlers handlers, const void* owner) {
    std::unique_lock lock(FHandlersLock);
    FHandlers = std::move(handlers);
    FHandlersOwner = owner;
}

void TBluetoothLEDevice::ClearHandlers(const void* owner) {
    // Taking the lock exclusively waits for every handler call in progress.
    std::unique_lock lock(FHandlersLock);
    if (owner == nullptr || owner == FHandlersOwner) {
        FHandlers = {};
        FHandlersOwner = nullptr;
    }
}

template <typename Fn>
void TBluetoothLEDevice::Dispatch(Fn&& fn) {
    std::shared_lock lock(FHandlersLock);
    RunReportingErrors([&] { fn(FHandlers); });
}

void TBluetoothLEDevice::RaiseServicesDiscovered(const TBluetoothGattServiceList& services) {
    Dispatch([&](const TBluetoothLEDeviceHandlers& h) {
        if (h.OnServicesDiscovered)
            h.OnServicesDiscovered(*this, services);
    });
}

void TBluetoothLEDevice::RaiseCharacteristicRead(TBluetoothGattCharacteristic& c, uint16_t gattStatus,
                                                 std::span<const uint8_t> value) {
    Dispatch([&](const TBluetoothLEDeviceHandlers& h) {
        if (h.OnCharacteristicRead)
            h.OnCharacteristicRead(*this, c, gattStatus, value);
    });
}

void TBluetoothLEDevice::RaiseCharacteristicWrite(TBluetoothGattCharacteristic& c, uint16_t gattStatus) {
    Dispatch([&](const TBluetoothLEDeviceHandlers& h) {
        if (h.OnCharacteristicWrite)
            h.OnCharacteristicWrite(*this, c, gattStatus);
    });
}

void TBluetoothLEDevice::RaiseDisconnect() {
    Dispatch([&](const TBluetoothLEDeviceHandlers& h) {
        if (h.OnDisconnect)
            h.OnDisconnect(*this);
    });
}

void TBluetoothLEManager::RaiseDiscoverLEDevice(TBluetoothLEDevice& device, int rssi,
                                                const TBytes& scanResponse) {
    RunReportingErrors([&] {
        if (OnDiscoverLEDevice)
            OnDiscoverLEDevice(*this, device, rssi, scanResponse);
    });
}

void TBluetoothLEManager::RaiseDiscoveryLEEnd(const std::vector<TBluetoothLEDevice*>& devices) {
    RunReportingErrors([&] {
        if (OnDiscoveryLEEnd)
            OnDiscoveryLEEnd(*this, devices);
    });
}

void TBluetoothLEManager::RaiseDiscoveryRefused(const std::string& reason) {
    RunReportingErrors([&] {
        if (OnDiscoveryRefused)
            OnDiscoveryRefused(*this, reason);
    });
}

void TBluetoothLEManager::RaisePairingQuestion(TBluetoothLEDevice& device, const TPairingQuestion& question) {
    RunReportingErrors([&] {
        if (OnPairingQuestion)
            OnPairingQuestion(*this, device, question);
    });
}

void TBluetoothLEManager::RaisePairingFinished(TBluetoothLEDevice& device, const TPairingResult& result) {
    RunReportingErrors([&] {
        if (OnPairingFinished)
            OnPairingFinished(*this, device, result);
    });
}
