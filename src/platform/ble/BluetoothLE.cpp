#include "platform/ble/BluetoothLE.h"

#include <cctype>
#include <stdexcept>
#include <utility>

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

namespace {
// Whether the write completion being raised on this thread was held up by the backend; the
// handler runs within the raise, on the same thread.
thread_local bool GCompletionDelayed = false;
}  // namespace

bool TBluetoothLEDevice::CompletionDelayed() const {
    return GCompletionDelayed;
}

void TBluetoothLEDevice::RaiseCharacteristicWrite(TBluetoothGattCharacteristic& c, uint16_t gattStatus,
                                                  bool delayed) {
    const bool outer = std::exchange(GCompletionDelayed, delayed);
    Dispatch([&](const TBluetoothLEDeviceHandlers& h) {
        if (h.OnCharacteristicWrite)
            h.OnCharacteristicWrite(*this, c, gattStatus);
    });
    GCompletionDelayed = outer;
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

void TBluetoothLEManager::SetOnRadioChanged(TRadioHandler handler) {
    std::lock_guard lock(FRadioHandlerLock);
    FOnRadioChanged = std::move(handler);
}

void TBluetoothLEManager::RaiseRadioChanged(TRadioProblem problem) {
    TRadioHandler handler;
    {
        std::lock_guard lock(FRadioHandlerLock);
        handler = FOnRadioChanged;
    }
    RunReportingErrors([&] {
        if (handler)
            handler(*this, problem);
    });
}

std::string RadioProblemText(TRadioProblem Problem) {
    switch (Problem) {
        case TRadioProblem::None:
            break;
        case TRadioProblem::NoBus:
            return "The system's message bus (D-Bus) cannot be reached, so Bluetooth cannot be used. Restart "
                   "the computer, or ask its administrator.";
        case TRadioProblem::NoStack:
            return "The Bluetooth service (BlueZ) is not running. Start it with: sudo systemctl start "
                   "bluetooth (install it first where it is missing: sudo apt install bluez).";
        case TRadioProblem::NoAdapter:
            return "No Bluetooth adapter was found. Plug in a Bluetooth adapter, or switch on the computer's "
                   "own Bluetooth (it may be turned off in the firmware settings or by a key).";
        case TRadioProblem::PoweredOff:
            return "The Bluetooth adapter is switched off. Switch Bluetooth on in the system settings "
                   "(Settings > Bluetooth), or run: bluetoothctl power on (if it stays off, it is blocked: "
                   "rfkill unblock bluetooth).";
    }
    return {};
}
