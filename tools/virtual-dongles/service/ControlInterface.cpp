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

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "BluezService.h"

namespace {

QString HexText(const vdongle::TBytes& b) { return QString::fromStdString(vdongle::ToHex(b)); }

QString ShortUuid(uint16_t u) { return QStringLiteral("%1").arg(u, 4, 16, QLatin1Char('0')).toUpper(); }

QString Json(const QJsonValue& v) {
    return QString::fromUtf8(v.isArray() ? QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact)
                                         : QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact));
}

// The steady clock is CLOCK_MONOTONIC here, so other processes on the machine can compare.
qint64 MonotonicUs(std::chrono::steady_clock::time_point t) {
    if (t == std::chrono::steady_clock::time_point{})
        return 0;
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

}  // namespace

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
        QJsonObject status;
        status[QStringLiteral("adapterPresent")] = FAdapterPresent;
        status[QStringLiteral("powered")] = FPowered;
        status[QStringLiteral("discovering")] = FDiscovering;
        QJsonArray dongles;
        for (const auto& e : FEntries) {
            QJsonObject d;
            d[QStringLiteral("address")] = QString::fromStdString(e->dongle->Address());
            d[QStringLiteral("name")] = QString::fromStdString(e->dongle->Name());
            d[QStringLiteral("advertising")] = e->dongle->Advertising();
            d[QStringLiteral("connected")] = e->connected;
            d[QStringLiteral("servicesResolved")] = e->resolved;
            d[QStringLiteral("connectCount")] = e->dongle->ConnectCount();
            d[QStringLiteral("maxWritesInFlight")] = e->maxInFlight;
            QJsonArray notifying;
            for (const auto& s : e->dongle->Gatt()) {
                for (const auto& c : s.characteristics) {
                    if (e->dongle->Notifying(c.handle)) notifying.append(ShortUuid(c.uuid));
                }
            }
            d[QStringLiteral("notifying")] = notifying;
            dongles.append(d);
        }
        status[QStringLiteral("dongles")] = dongles;
        Reply(m.createReply(Json(status)));
        return true;
    }
    if (member == QStringLiteral("SetPowered")) {
        SetPowered(args.value(0).toBool());
        Reply(m.createReply());
        return true;
    }
    if (member == QStringLiteral("AddDongle")) {
        std::string error;
        auto d = ParseDongleTraits(args.value(0).toString().toStdString(), static_cast<int>(FEntries.size()), &error);
        if (!d) {
            Reply(m.createErrorReply(QStringLiteral("org.bluez.Error.InvalidArguments"), QString::fromStdString(error)));
            return true;
        }
        if (EntryByAddress(QString::fromStdString(d->config.address))) {
            Reply(m.createErrorReply(QStringLiteral("org.bluez.Error.AlreadyExists"), QStringLiteral("Already Exists")));
            return true;
        }
        AddEntry(*d);
        Reply(m.createReply(QString::fromStdString(d->config.address)));
        return true;
    }

    TEntry* e = EntryByAddress(address);
    if (!e) return unknown();
    const auto& dongle = e->dongle;

    if (member == QStringLiteral("Writes")) {
        QJsonArray writes;
        for (const auto& w : dongle->Writes()) {
            QJsonObject o;
            o[QStringLiteral("seq")] = static_cast<qint64>(w.seq);
            o[QStringLiteral("kind")] = w.kind == vdongle::TWriteKind::Command ? QStringLiteral("command")
                                                                               : QStringLiteral("request");
            o[QStringLiteral("characteristic")] = ShortUuid(w.characteristic);
            o[QStringLiteral("bytes")] = HexText(w.bytes);
            o[QStringLiteral("status")] = w.status;
            o[QStringLiteral("madeUs")] = MonotonicUs(w.madeAt);
            o[QStringLiteral("arrivedUs")] = MonotonicUs(w.arrivedAt);
            writes.append(o);
        }
        Reply(m.createReply(Json(writes)));
    } else if (member == QStringLiteral("Target")) {
        const vdongle::TVirtualTarget t = dongle->Target();
        QJsonObject o;
        o[QStringLiteral("text")] = QString::fromStdString(t.text);
        QJsonArray keys;
        for (uint8_t k : t.keysHeld) keys.append(k);
        o[QStringLiteral("keysHeld")] = keys;
        o[QStringLiteral("modifiers")] = t.modifiers;
        o[QStringLiteral("pointerX")] = static_cast<qint64>(t.pointerX);
        o[QStringLiteral("pointerY")] = static_cast<qint64>(t.pointerY);
        o[QStringLiteral("buttons")] = t.buttons;
        o[QStringLiteral("wheel")] = static_cast<qint64>(t.wheel);
        o[QStringLiteral("keyboardReports")] = t.keyboardReports;
        o[QStringLiteral("mouseReports")] = t.mouseReports;
        o[QStringLiteral("rejectedReports")] = t.rejectedReports;
        o[QStringLiteral("lastReport")] = HexText(t.lastReport);
        o[QStringLiteral("ledStatus")] = t.ledStatus;
        o[QStringLiteral("anyInputHeld")] = t.AnyInputHeld();
        Reply(m.createReply(Json(o)));
    } else if (member == QStringLiteral("FailNextWrites")) {
        dongle->FailNextWrites(std::max(1, args.value(1).toInt()));
        Reply(m.createReply());
    } else if (member == QStringLiteral("DropLink")) {
        dongle->DropLink();  // the drop reaches the bus queued, like every push from a dongle
        Reply(m.createReply());
    } else if (member == QStringLiteral("RemoveDongle")) {
        RemoveEntry(address);
        Reply(m.createReply());
    } else if (member == QStringLiteral("SetAdvertising")) {
        dongle->SetAdvertising(args.value(1).toBool());
        Reply(m.createReply());
    } else if (member == QStringLiteral("NotifyLed")) {
        Reply(m.createReply(dongle->NotifyLedStatus(static_cast<uint8_t>(args.value(1).toUInt()))));
    } else if (member == QStringLiteral("NotifyIdentity")) {
        Reply(m.createReply(dongle->NotifyIdentity()));
    } else if (member == QStringLiteral("SetWriteDelay")) {
        dongle->SetWriteDelay(std::chrono::microseconds(args.value(1).toUInt()));
        Reply(m.createReply());
    } else if (member == QStringLiteral("SetConnectionEvents")) {
        dongle->SetConnectionEvents(std::chrono::microseconds(args.value(1).toUInt()), args.value(2).toInt());
        Reply(m.createReply());
    } else if (member == QStringLiteral("ClearRecords")) {
        dongle->ClearRecords();
        e->maxInFlight = 0;
        Reply(m.createReply());
    } else {
        Reply(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), member));
    }
    return true;
}
