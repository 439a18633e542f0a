// The device's side of pairing on BlueZ: everything goes through the manager's agent on the BLE
// thread; the bond state it keeps answers the window's questions without a D-Bus call.

#include "platform/ble/qt/QtBleThread.h"
#include "platform/ble/qt/QtBluetoothLEDevice.h"
#if defined(Q_OS_LINUX)
#include "platform/ble/qt/QtBluezAgent.h"
#endif

TLinkSecurity TQtBluetoothLEDevice::LinkSecurity() const {
#if defined(Q_OS_LINUX)
    if (!FPairing || !IsConnected())
        return TLinkSecurity::NotEncrypted;
    // bluetoothd encrypts the link of a paired device as soon as it is up (device.c sets medium
    // security for a bonded LE device before it attaches the ATT channel).
    const auto state = FPairing->BondState(Address());
    if (!state.paired)
        return TLinkSecurity::NotEncrypted;
    return state.bonded ? TLinkSecurity::EncryptedPaired : TLinkSecurity::Encrypted;
#else
    return TLinkSecurity::NotEncrypted;
#endif
}

bool TQtBluetoothLEDevice::Paired() const {
#if defined(Q_OS_LINUX)
    return FPairing && FPairing->BondState(Address()).paired;
#else
    return false;
#endif
}

void TQtBluetoothLEDevice::Pair() {
#if defined(Q_OS_LINUX)
    if (FPairing)
        FThread.Post([this] { FPairing->Pair(Address()); });
#endif
}

void TQtBluetoothLEDevice::CancelPairing() {
#if defined(Q_OS_LINUX)
    if (FPairing)
        FThread.Post([this] { FPairing->CancelPairing(Address()); });
#endif
}

bool TQtBluetoothLEDevice::ForgetPairing() {
#if defined(Q_OS_LINUX)
    if (!FPairing)
        return false;
    // RemoveDevice takes the link down too; the disconnect arrives as for any lost link.
    return FThread.Call([this] { return FPairing->Remove(Address()); });
#else
    return false;
#endif
}

// ---- the manager's part

#include <cstdio>

#include "platform/ble/qt/QtBluetoothLEManager.h"

TQtBluetoothLEDevice* TQtBluetoothLEManager::FindDevice(const std::string& address) {
    std::lock_guard lock(FDevicesLock);
    auto it = FDevices.find(address);
    return it == FDevices.end() ? nullptr : it->second.get();
}

void TQtBluetoothLEManager::StartPairingAgent() {
#if defined(Q_OS_LINUX)
    TQtBluezAgent::THandlers handlers;
    handlers.OnQuestion = [this](const std::string& address, const TPairingQuestion& question) {
        if (TQtBluetoothLEDevice* device = FindDevice(address))
            RaisePairingQuestion(*device, question);
    };
    handlers.OnPairingFinished = [this](const std::string& address, const TPairingResult& result) {
        if (TQtBluetoothLEDevice* device = FindDevice(address))
            RaisePairingFinished(*device, result);
    };
    FPairingAgent = new TQtBluezAgent(std::move(handlers), FThread->Context());
    // Without bluetoothd now, the first Pair registers it (TQtBluezAgent::Pair).
    QString error;
    if (!FPairingAgent->Register(&error))
        std::fprintf(stderr, "pairing agent not registered yet: %s\n", qPrintable(error));
#endif
}

void TQtBluetoothLEManager::StopPairingAgent() {
#if defined(Q_OS_LINUX)
    delete FPairingAgent;
    FPairingAgent = nullptr;
#endif
}

void TQtBluetoothLEManager::AttachPairing(TQtBluetoothLEDevice& device) {
#if defined(Q_OS_LINUX)
    if (!FPairingAgent)
        return;
    device.SetPairingAgent(FPairingAgent);
    // Once per device and run; bluetoothd announces every later change.
    FThread->Post([this, address = device.Address()] {
        if (FPairingAgent)
            FPairingAgent->RefreshBondState(address);
    });
#else
    (void)device;
#endif
}

void TQtBluetoothLEManager::AnswerPairingQuestion(TBluetoothLEDevice& device, const TPairingAnswer& answer) {
#if defined(Q_OS_LINUX)
    FThread->Post([this, address = device.Address(), answer] {
        if (FPairingAgent)
            FPairingAgent->Answer(address, answer);
    });
#else
    (void)device;
    (void)answer;
#endif
}
