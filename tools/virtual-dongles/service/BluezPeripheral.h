#pragma once
// The virtual dongles as real peripherals: each dongle's GATT database and advertisement go to the
// system's bluetoothd (GattManager1.RegisterApplication, LEAdvertisingManager1.RegisterAdvertisement)
// on an adapter of its own, so a central on another adapter meets them over a real link. The same
// dongle model answers: reads, writes (identity reply, replay into the virtual target), LED
// notifications; the same control interface steers it, on the bus name
// org.corvastel.VirtualDongles (tools/virtual-dongles/service/org.corvastel.VirtualDongles.conf
// lets the system bus grant it).
//
// What differs from the imitation, because the radio is real:
//   * a dongle's address is its adapter's address;
//   * the central is another adapter of this machine (the central's, hci0 in the rig): links from
//     anyone else on a dongle's adapter are not the dongle's (a test may hold one to steer the
//     emulator);
//   * "connected" is what bluetoothd reports for the central's device on the dongle's adapter, and a
//     read or write from the central counts as proof of the link (bluetoothd may call before the
//     property change arrives). StopNotify proves nothing: bluetoothd calls it when the last
//     subscriber's link is already gone;
//   * an emulated radio delivers an advertisement once per scan start, so the advertisement is
//     registered afresh every second while nothing is connected and a central scans (never while
//     one connects: a connection request that meets the gap fails);
//   * "the adapter" of Status and SetPowered is every adapter the service does not use: the
//     central's.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QTimer>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DongleOptions.h"
#include "VirtualDongle.h"

class TBluezPeripheral : public QDBusVirtualObject {
    Q_OBJECT
  public:
    static constexpr const char* BusName = "org.corvastel.VirtualDongles";

    TBluezPeripheral(QDBusConnection bus, const TServiceOptions& options);
    ~TBluezPeripheral() override;

    // Checks the adapters, serves the objects, takes the bus name and starts registering with
    // bluetoothd. Ready() follows once every dongle's database is registered; Failed() when one
    // cannot be.
    bool Start(QString* error);

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

  signals:
    void Ready();
    void Failed(const QString& why);

  private slots:
    void OnBluezSignal(const QDBusMessage& message);

  private:
    enum class TAdvert { Off, Registering, On, Unregistering };
    struct TEntry {
        TServiceDongle traits;
        std::shared_ptr<vdongle::TVirtualDongle> dongle;
        QString adapter;  // /org/bluez/hci1
        QString appPath;
        QString advertPath;
        QString central;  // the central's device object on our adapter while connected
        // The central's device object while bluetoothd ends a link the dongle dropped (it holds a
        // Disconnect for its disconnect timer): the central's writes meanwhile prove no new link.
        QString dropping;
        bool connected = false;
        bool registered = false;
        TAdvert advert = TAdvert::Off;
        int maxInFlight = 0;
        int inFlight = 0;
    };
    enum class TKind { Service, Characteristic, Descriptor };
    struct TGattObject {
        size_t entry;
        TKind kind;
        uint16_t handle;
        uint16_t uuid;
        QString parentPath;
    };
    struct TOtherAdapter {
        QString address;  // upper case
        bool powered = false;
        bool discovering = false;
    };

    // The entry whose adapter holds this device object, when the device is the central (one of
    // the other adapters); nullptr otherwise.
    TEntry* EntryOfCentral(const QString& devicePath);
    TEntry* EntryByAddress(const QString& address);
    QVariantMap GattProperties(const TGattObject& o) const;
    QVariantMap AdvertProperties(const TEntry& e) const;

    void RegisterApplication(size_t index);
    void AdvertiseTick();
    void Advertise(TEntry& e, bool on);
    void LinkUp(TEntry& e, const QString& central);
    void LinkDown(TEntry& e);
    void OnNotify(size_t index, uint16_t handle, const vdongle::TBytes& value);
    void OnDropped(size_t index);

    bool HandleGatt(const QDBusMessage& m, const TGattObject& o);
    bool HandleProperties(const QDBusMessage& m);
    bool HandleControl(const QDBusMessage& m);
    void Reply(const QDBusMessage& reply);
    void Log(const QString& line) const;

    QDBusConnection FBus;
    std::vector<std::unique_ptr<TEntry>> FEntries;
    std::map<QString, TGattObject> FGatt;  // by object path
    std::map<QString, TOtherAdapter> FOthers;
    QTimer FAdvertTimer;
    int FRegistered = 0;
};
