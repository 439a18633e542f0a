#include "DongleCalls.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <chrono>

namespace {

QString HexText(const vdongle::TBytes& b) {
    return QString::fromStdString(vdongle::ToHex(b));
}

QString ShortUuid(uint16_t u) {
    return QStringLiteral("%1").arg(u, 4, 16, QLatin1Char('0')).toUpper();
}

// The steady clock is CLOCK_MONOTONIC here, so other processes on the machine can compare.
qint64 MonotonicUs(std::chrono::steady_clock::time_point t) {
    if (t == std::chrono::steady_clock::time_point{})
        return 0;
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

}  // namespace

QStringList GattFlagsOf(uint8_t properties) {
    QStringList flags;
    if (properties & 0x01)
        flags << QStringLiteral("broadcast");
    if (properties & vdongle::prop::Read)
        flags << QStringLiteral("read");
    if (properties & vdongle::prop::WriteNoResponse)
        flags << QStringLiteral("write-without-response");
    if (properties & vdongle::prop::Write)
        flags << QStringLiteral("write");
    if (properties & vdongle::prop::Notify)
        flags << QStringLiteral("notify");
    if (properties & vdongle::prop::Indicate)
        flags << QStringLiteral("indicate");
    return flags;
}

QStringList GattServerFlagsOf(uint8_t properties, vdongle::TSecurity security) {
    QStringList flags = GattFlagsOf(properties);
    if (security == vdongle::TSecurity::None)
        return flags;
    const QString level = security == vdongle::TSecurity::Encrypt ? QStringLiteral("encrypt-")
                                                                  : QStringLiteral("encrypt-authenticated-");
    if (properties & vdongle::prop::Read)
        flags << level + QStringLiteral("read");
    if (properties & (vdongle::prop::Write | vdongle::prop::WriteNoResponse))
        flags << level + QStringLiteral("write");
    return flags;
}

QString ControlJson(const QJsonValue& v) {
    return QString::fromUtf8(v.isArray() ? QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact)
                                         : QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact));
}

QJsonObject DongleStatusJson(const vdongle::TVirtualDongle& dongle) {
    QJsonObject d;
    d[QStringLiteral("address")] = QString::fromStdString(dongle.Address());
    d[QStringLiteral("name")] = QString::fromStdString(dongle.Name());
    d[QStringLiteral("advertising")] = dongle.Advertising();
    d[QStringLiteral("connectCount")] = dongle.ConnectCount();
    QJsonArray notifying;
    for (const auto& s : dongle.Gatt()) {
        for (const auto& c : s.characteristics) {
            if (dongle.Notifying(c.handle))
                notifying.append(ShortUuid(c.uuid));
        }
    }
    d[QStringLiteral("notifying")] = notifying;
    d[QStringLiteral("security")] = QString::fromLatin1(vdongle::SecurityName(dongle.Security()));
    const vdongle::TLinkSecurity link = dongle.LinkSecurity();
    d[QStringLiteral("linkSecurity")] = link == vdongle::TLinkSecurity::Open ? QStringLiteral("open")
                                        : link == vdongle::TLinkSecurity::Encrypted
                                            ? QStringLiteral("encrypted")
                                            : QStringLiteral("authenticated");
    d[QStringLiteral("bonded")] = dongle.Bonded();
    return d;
}

QString StatusJson(bool adapterPresent, bool powered, bool discovering,
                   const std::vector<TDongleLinkStatus>& dongles) {
    QJsonObject status;
    status[QStringLiteral("adapterPresent")] = adapterPresent;
    status[QStringLiteral("powered")] = powered;
    status[QStringLiteral("discovering")] = discovering;
    QJsonArray entries;
    for (const TDongleLinkStatus& link : dongles) {
        QJsonObject d = DongleStatusJson(*link.Dongle);
        d[QStringLiteral("connected")] = link.Connected;
        d[QStringLiteral("servicesResolved")] = link.ServicesResolved;
        d[QStringLiteral("maxWritesInFlight")] = link.MaxWritesInFlight;
        if (link.Adapter)
            d[QStringLiteral("adapter")] = *link.Adapter;
        entries.append(d);
    }
    status[QStringLiteral("dongles")] = entries;
    return ControlJson(status);
}

// The link's bad moments: an air stall, a late answer, an answer that never comes.
static bool AnswerBadMomentCall(const QDBusMessage& m, vdongle::TVirtualDongle& dongle, QDBusMessage* reply) {
    const QString member = m.member();
    const auto ms = std::chrono::milliseconds(m.arguments().value(1).toUInt());
    if (member == QStringLiteral("StallAir")) {
        dongle.StallAir(ms);
    } else if (member == QStringLiteral("DelayNextAnswer")) {
        dongle.DelayNextAnswer(ms);
    } else if (member == QStringLiteral("LoseNextAnswer")) {
        dongle.LoseNextAnswer();
    } else {
        return false;
    }
    *reply = m.createReply();
    return true;
}

bool AnswerDongleCall(const QDBusMessage& m, vdongle::TVirtualDongle& dongle, QDBusMessage* reply) {
    const QString member = m.member();
    const QVariantList args = m.arguments();
    if (member == QStringLiteral("Writes")) {
        QJsonArray writes;
        for (const auto& w : dongle.Writes()) {
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
        *reply = (m.createReply(ControlJson(writes)));
    } else if (member == QStringLiteral("Target")) {
        const vdongle::TVirtualTarget t = dongle.Target();
        QJsonObject o;
        o[QStringLiteral("text")] = QString::fromStdString(t.text);
        o[QStringLiteral("layout")] = QString::fromStdString(dongle.Layout());
        o[QStringLiteral("system")] = QString::fromStdString(dongle.System());
        QJsonArray keys;
        for (uint8_t k : t.keysHeld)
            keys.append(k);
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
        *reply = (m.createReply(ControlJson(o)));
    } else if (member == QStringLiteral("FailNextWrites")) {
        dongle.FailNextWrites(std::max(1, args.value(1).toInt()));
        *reply = (m.createReply());
    } else if (member == QStringLiteral("DropLink")) {
        dongle.DropLink();  // the drop reaches the front through the dongle's sink
        *reply = (m.createReply());
    } else if (member == QStringLiteral("SetAdvertising")) {
        dongle.SetAdvertising(args.value(1).toBool());
        *reply = (m.createReply());
    } else if (member == QStringLiteral("NotifyLed")) {
        *reply = (m.createReply(dongle.NotifyLedStatus(static_cast<uint8_t>(args.value(1).toUInt()))));
    } else if (member == QStringLiteral("NotifyIdentity")) {
        *reply = (m.createReply(dongle.NotifyIdentity()));
    } else if (member == QStringLiteral("SetWriteDelay")) {
        dongle.SetWriteDelay(std::chrono::microseconds(args.value(1).toUInt()));
        *reply = (m.createReply());
    } else if (member == QStringLiteral("SetConnectionEvents")) {
        dongle.SetConnectionEvents(std::chrono::microseconds(args.value(1).toUInt()), args.value(2).toInt());
        *reply = (m.createReply());
    } else if (member == QStringLiteral("Passkey")) {
        // What the dongle's display shows: the passkey of a pairing that waits for it, else -1.
        const auto shown = dongle.ShownPasskey();
        *reply = m.createReply(shown ? static_cast<int>(*shown) : -1);
    } else if (AnswerBadMomentCall(m, dongle, reply)) {
    } else if (member == QStringLiteral("ClearRecords")) {
        dongle.ClearRecords();
        *reply = (m.createReply());
    } else {
        return false;
    }
    return true;
}
