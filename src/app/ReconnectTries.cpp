#include "app/ReconnectTries.h"

#include <algorithm>
#include <chrono>

#include "platform/ble/BluetoothLE.h"

void TReconnectTries::Dropped(TBluetoothLEDevice& Device, TTime Now) {
    const std::string address = Device.Address();
    FDevices[address] = &Device;
    FPolicy.Dropped(address, Now);
}

void TReconnectTries::StartDue(TTime Now, const std::function<bool(TBluetoothLEDevice&)>& Start) {
    for (const std::string& address : FPolicy.TakeDue(Now)) {
        const auto known = FDevices.find(address);
        if (known == FDevices.end()) {
            FPolicy.Forget(address);
            continue;
        }
        if (!Start(*known->second)) {
            FPolicy.AttemptFailed(address, Now);
        }
    }
}

bool TReconnectTries::TryEnded(const std::string& Address, bool Back, TTime Now) {
    if (!FPolicy.Scheduled(Address)) {
        return false;
    }
    if (Back) {
        Stop(Address);
    } else {
        FPolicy.AttemptFailed(Address, Now);
    }
    return true;
}

bool TReconnectTries::Stop(const std::string& Address) {
    if (!FPolicy.Scheduled(Address)) {
        return false;
    }
    FPolicy.Forget(Address);
    FDevices.erase(Address);
    return true;
}

std::optional<TReconnectTries::TDelay> TReconnectTries::NextWait(TTime Now) const {
    const auto next = FPolicy.NextDue();
    if (!next) {
        return std::nullopt;
    }
    return std::max(TDelay(0), std::chrono::ceil<TDelay>(*next - Now));
}

TBluetoothLEDevice* TReconnectTries::Device(const std::string& Address) const {
    const auto known = FDevices.find(Address);
    return known != FDevices.end() ? known->second : nullptr;
}
