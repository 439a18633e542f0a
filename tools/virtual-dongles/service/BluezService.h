#pragma once
// The virtual dongles behind BlueZ's D-Bus surface: the objects Qt Bluetooth talks to (object
// manager, adapter hci0, Device1, GattService1, GattCharacteristic1, GattDescriptor1 at BlueZ's
// object paths with BlueZ's property types) and a control interface for tests
// (org.corvastel.VirtualDongles.Control at /org/corvastel/VirtualDongles).
//
// Everything runs on the thread that owns this object; what a dongle pushes (notifications, link
// drops) comes back to that thread queued.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>
#include <QTimer>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "DongleOptions.h"
#include "VirtualDongle.h"

class TBluezService : public QDBusVirtualObject {
    Q_OBJECT
  public:
    static constexpr const char* ControlPath = "/org/corvastel/VirtualDongles";
    static constexpr const char* ControlInterface = "org.corvastel.VirtualDongles.Control";

    TBluezService(QDBusConnection bus, const TServiceOptions& options);
    ~TBluezService() override;

    // Serves the objects and takes the name org.bluez.
    bool Start(QString* error);

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

    // For the preview window.
    struct TDongleView {
        std::shared_ptr<vdongle::TVirtualDongle> dongle;
        bool connected = false;
        bool resolved = false;
    };
    std::vector<TDongleView> Dongles() const;
    bool Powered() const { return FPowered; }

  private:
    struct TEntry {
        std::shared_ptr<vdongle::TVirtualDongle> dongle;
        QString path;
        bool neverResolve = false;
        bool exported = false;
        bool connecting = false;  // a Connect waits for its reply
        QDBusMessage connectCall;
        std::chrono::steady_clock::time_point connectDeadline;
        bool connected = false;
        bool resolved = false;
        // Disconnect calls waiting for the disconnect timer; answered when the link goes.
        std::vector<QDBusMessage> disconnectCalls;
        // Counts disconnect timers, so that a timer of a link that ended another way meanwhile
        // cannot end a later link before its own timer runs out.
        unsigned disconnectTimer = 0;
        // bluetoothd forgets a device it never connected once it has not heard it for a while.
        bool everConnected = false;
        std::chrono::steady_clock::time_point lastHeard;
        // bluetoothd keeps a device's GATT objects (and the UUIDs they add) once it has discovered
        // them, across link losses, until the device is removed.
        bool gattExported = false;
        // Characteristics the client subscribed to; bluetoothd keeps the subscription across a
        // link loss and renews it at the dongle when the link is back.
        std::set<uint16_t> subscribed;
        int rssiShown = 0;  // 0: not heard in this scan (BlueZ drops the property then)
        int inFlight = 0;
        int maxInFlight = 0;
        // Pairing (BluezPairing.cpp). bluetoothd keeps Paired/Bonded with the device object.
        bool paired = false;
        bool bonded = false;
        bool trusted = false;
        bool pairing = false;  // a Pair call waits for its answer
        QDBusMessage pairCall;
        QString pairAgentOwner;  // the agent asked, if any
        QString pairAgentPath;
        unsigned pairSerial = 0;  // tells a late agent answer from the current pairing's
    };
    // An org.bluez.Agent1 registered with AgentManager1, by the bus name that registered it.
    struct TAgent {
        QString owner;
        QString path;
        QString capability;
    };
    enum class TKind { Service, Characteristic, Descriptor };
    struct TGattObject {
        QString devicePath;
        TKind kind;
        uint16_t handle;
        uint16_t characteristicHandle;  // for a descriptor
        uint16_t uuid;
        QString parentPath;
    };

    QString AdapterPath() const { return QStringLiteral("/org/bluez/hci0"); }
    TEntry* EntryByPath(const QString& devicePath);
    TEntry* EntryByAddress(const QString& address);
    void AddEntry(const TServiceDongle& d);

    QMap<QString, QVariantMap> InterfacesAt(const QString& path);
    QVariantMap AdapterProperties() const;
    QVariantMap DeviceProperties(const TEntry& e) const;
    QVariantMap GattProperties(const QString& path, const TGattObject& o) const;

    void EmitPropertiesChanged(const QString& path, const QString& iface, const QVariantMap& changed,
                               const QStringList& invalidated = {});
    void EmitInterfacesAdded(const QString& path);
    void EmitInterfacesRemoved(const QString& path, const QStringList& ifaces);

    void DiscoveryTick();
    void SetDiscovering(bool on);
    void SetPowered(bool on);
    void ExportDevice(TEntry& e);
    void ExportGatt(TEntry& e);
    void UnexportGatt(TEntry& e);
    void FinishConnect(const QString& address);
    void ResolveServices(const QString& address);
    void LinkDown(TEntry& e);
    void FinishDisconnect(const QString& address, unsigned timer);
    void ForgetUnheard();
    void Forget(TEntry& e);
    void RemoveEntry(const QString& address);
    void OnNotify(const QString& address, uint16_t handle, const vdongle::TBytes& value);

    void AnswerManagedObjects(const QDBusMessage& m);
    bool HandleAdapter(const QDBusMessage& m);
    bool HandleDevice(const QDBusMessage& m, TEntry& e);
    bool HandleGatt(const QDBusMessage& m, const QString& path, const TGattObject& o);
    bool HandleProperties(const QDBusMessage& m);
    bool HandleControl(const QDBusMessage& m);

    // Pairing and agents (BluezPairing.cpp).
    bool HandleAgentManager(const QDBusMessage& m);
    void Pair(const QDBusMessage& m, TEntry& e);
    void CancelPairing(const QDBusMessage& m, TEntry& e);
    // Ends a pairing that waits: answers Pair with the error and tells the agent it asked to
    // stop asking.
    void AbandonPairing(TEntry& e, const QString& error, const QString& text);
    void FinishPasskey(const QString& address, unsigned serial, const QDBusMessage& answer);
    void SetPaired(TEntry& e, bool paired);
    const TAgent* AgentFor(const QString& sender) const;
    void AgentVanished(const QString& owner);
    void Reply(const QDBusMessage& reply);

    QDBusConnection FBus;
    vdongle::TVirtualRadio FRadio;
    std::vector<std::unique_ptr<TEntry>> FEntries;
    std::map<QString, TGattObject> FGatt;  // by object path
    bool FAdapterPresent = true;
    bool FPowered = true;
    bool FDiscovering = false;
    QTimer FDiscoveryTimer;
    int FTick = 0;
    const std::chrono::milliseconds FDisconnectTimer;
    const std::chrono::milliseconds FTemporaryTimeout;  // 0: never forget
    QTimer FForgetTimer;
    std::vector<TAgent> FAgents;  // in registration order
    QString FDefaultAgent;        // the owner of the default agent, empty: none
    QDBusServiceWatcher* FAgentWatcher = nullptr;
    // bluetoothd busy: GetManagedObjects is answered this much later (SetObjectsDelay).
    std::chrono::milliseconds FObjectsDelay{0};
    int FObjectsHeld = 0;  // calls of GetManagedObjects not answered yet
};
