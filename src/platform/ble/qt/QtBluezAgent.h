#pragma once
// Pairing on BlueZ: this program's own org.bluez.Agent1 on the system bus, registered with
// AgentManager1 beside whatever agent the desktop runs (not as the default: bluetoothd asks the
// agent of whoever called Device1.Pair, so the desktop's dialogs stay out of our pairings and
// ours out of its own), the Pair / CancelPairing / RemoveDevice calls, and the Paired and Bonded
// state bluetoothd announces per device.
//
// Lives on the BLE thread (TQtBleThread): created, called and destroyed there; bluetoothd's calls
// to the agent arrive there too. Linux only.

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/ble/BluetoothLE.h"

class TQtBluezAgent : public QDBusVirtualObject {
    Q_OBJECT
  public:
    struct THandlers {
        // bluetoothd asks the user something about the device with this address.
        std::function<void(const std::string& address, const TPairingQuestion& question)> OnQuestion;
        // A Pair asked through this agent ended.
        std::function<void(const std::string& address, const TPairingResult& result)> OnPairingFinished;
    };
    explicit TQtBluezAgent(THandlers handlers, QObject* parent = nullptr);
    ~TQtBluezAgent() override;

    // Exports the agent and registers it (capability KeyboardDisplay: the user can type a passkey
    // a dongle shows and compare one both show). False and *error when bluetoothd refuses.
    bool Register(QString* error);

    // Pairs the device (connected or not: bluetoothd connects first). OnPairingFinished follows.
    void Pair(const std::string& address);
    void CancelPairing(const std::string& address);
    // Removes the device and its bond from bluetoothd. False when refused or unknown.
    bool Remove(const std::string& address);
    // The user's answer to the question that waits for this device; false when none waits.
    bool Answer(const std::string& address, const TBluetoothLEManager::TPairingAnswer& answer);

    // bluetoothd's Paired and Bonded of a device, as last announced (any thread).
    struct TBondState {
        bool paired = false;
        bool bonded = false;
    };
    TBondState BondState(const std::string& address) const;
    // Asks bluetoothd anew without waiting: the answer updates the state when it comes (BLE thread
    // only; a slow bluetoothd must not hold up the other dongles' writes).
    void RefreshBondState(const std::string& address);

    // How bluetoothd's answer to Pair reads as a result.
    static TPairingResult ResultOf(const QDBusMessage& reply);

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

  private Q_SLOTS:
    void OnPropertiesChanged(const QDBusMessage& message);

  private:
    // The object path of the device with this address, looked up in bluetoothd's objects; empty
    // when it has none.
    QString DevicePath(const std::string& address) const;
    // RefreshBondState's answer: bluetoothd's objects.
    void TakeBondState(const std::string& address, const QDBusArgument& objects);
    std::string AddressOf(const QString& devicePath) const;

    const THandlers FHandlers;
    const QString FPath;
    bool FRegistered = false;
    // Questions that wait for the user, by device path (bluetoothd asks one at a time per device).
    std::map<QString, QDBusMessage> FWaiting;
    std::map<QString, bool> FWaitingIsConfirmation;

    mutable std::mutex FStateLock;
    std::map<std::string, TBondState> FStates;  // by upper-case address
    mutable std::map<QString, std::string> FPathAddresses;
};
