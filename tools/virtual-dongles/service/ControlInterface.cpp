// The control interface tests use to steer and observe the virtual dongles:
// org.corvastel.VirtualDongles.Control at /org/corvastel/VirtualDongles on the service's bus name.
//
//   Status() -> s                      JSON: adapter state and every dongle's link state
//   Writes(s address) -> s             JSON: every write received, in order, with its kind, fate,
//                                      and when it was made and reached the target ("madeUs",
//                                      "arrivedUs": CLOCK_MONOTONIC microseconds, 0: not arrived)
//   Target(s address) -> s             JSON: the virtual target (typed text, held keys, pointer...)
//   FailNextWrites(s address, i count)
//   DropLink(s address)                the dongle drops the link (out of range)
//   SetPowered(b on)                   the adapter's power switch
//   AddDongle(s traits) -> s address     a new advertiser (same traits as --dongle)
//   RemoveDongle(s address)
//   SetAdvertising(s address, b on)
//   NotifyLed(s address, y leds) -> b  LED status notification on 0xF801
//   NotifyIdentity(s address) -> b     identity reply on 0xF80F, unasked
//   SetWriteDelay(s address, u microseconds)
//   SetConnectionEvents(s address, u intervalMicroseconds, i packetsPerEvent)
//   ClearRecords(s address)
//   StallAir(s address, u ms)          no connection event carries a packet for ms from now
//   DelayNextAnswer(s address, u ms)   the next write with response is answered ms late
//   LoseNextAnswer(s address)          the next write with response is never answered
//   SetObjectsDelay(u ms)              GetManagedObjects is answered ms late (a busy bluetoothd)
//   ObjectsCallsHeld() -> i            calls of GetManagedObjects held back so far and not answered
//
// Both fronts (the imitation of bluetoothd and the peripheral front on a real bluetoothd) answer
// the calls about one dongle's model the same way (DongleCalls.cpp).

#include <QJsonArray>
#include <QJsonObject>

#include "BluezService.h"
#include "DongleCalls.h"

bool TBluezService::HandleControl(const QDBusMessage& m) {
    const QString member = m.member();
    const QVariantList args = m.arguments();
    const QString address = args.value(0).toString();
    auto unknown = [&] {
        Reply(m.createErrorReply(QStringLiteral("org.corvastel.VirtualDongles.Error.UnknownDongle"),
                                 QStringLiteral("No dongle with address '%1'").arg(address)));
        return true;
    };

    if (member == QStringLiteral("Status")) {
        std::vector<TDongleLinkStatus> dongles;
        for (const auto& e : FEntries)
            dongles.push_back({e->dongle.get(), e->connected, e->resolved, e->maxInFlight, std::nullopt});
        Reply(m.createReply(StatusJson(FAdapterPresent, FPowered, FDiscovering, dongles)));
        return true;
    }
    if (member == QStringLiteral("SetObjectsDelay")) {
        FObjectsDelay = std::chrono::milliseconds(args.value(0).toUInt());
        Reply(m.createReply());
        return true;
    }
    if (member == QStringLiteral("ObjectsCallsHeld")) {
        Reply(m.createReply(FObjectsHeld));
        return true;
    }
    if (member == QStringLiteral("SetPowered")) {
        SetPowered(args.value(0).toBool());
        Reply(m.createReply());
        return true;
    }
    if (member == QStringLiteral("PlugAdapter")) {
        // An adapter plugged in (true) while the stack runs: it turns up as a new object, powered.
        const bool plug = args.value(0).toBool();
        if (plug != FAdapterPresent) {
            if (!plug)
                SetPowered(false);
            FAdapterPresent = plug;
            if (plug) {
                FPowered = true;
                FRadio.SetPresent(true);
                EmitInterfacesAdded(AdapterPath());
            } else {
                EmitInterfacesRemoved(AdapterPath(), {QStringLiteral("org.bluez.Adapter1"),
                                                      QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                                      QStringLiteral("org.freedesktop.DBus.Properties")});
            }
        }
        Reply(m.createReply());
        return true;
    }
    if (member == QStringLiteral("AddDongle")) {
        std::string error;
        auto d = ParseDongleTraits(args.value(0).toString().toStdString(), static_cast<int>(FEntries.size()),
                                   &error);
        if (!d) {
            Reply(m.createErrorReply(QStringLiteral("org.bluez.Error.InvalidArguments"),
                                     QString::fromStdString(error)));
            return true;
        }
        if (EntryByAddress(QString::fromStdString(d->config.address))) {
            Reply(m.createErrorReply(QStringLiteral("org.bluez.Error.AlreadyExists"),
                                     QStringLiteral("Already Exists")));
            return true;
        }
        AddEntry(*d);
        Reply(m.createReply(QString::fromStdString(d->config.address)));
        return true;
    }

    TEntry* e = EntryByAddress(address);
    if (!e)
        return unknown();
    const auto& dongle = e->dongle;

    if (member == QStringLiteral("RemoveDongle")) {
        RemoveEntry(address);
        Reply(m.createReply());
        return true;
    }
    QDBusMessage reply;
    if (!AnswerDongleCall(m, *dongle, &reply)) {
        Reply(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), member));
        return true;
    }
    if (member == QStringLiteral("ClearRecords"))
        e->maxInFlight = 0;
    Reply(reply);
    return true;
}
