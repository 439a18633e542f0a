#pragma once
// The control calls about one dongle's model (Writes, Target, FailNextWrites, DropLink,
// SetAdvertising, NotifyLed, NotifyIdentity, SetWriteDelay, ClearRecords, and the link's bad moments:
// StallAir, DelayNextAnswer, LoseNextAnswer), answered the same way by
// every front of the service. The front finds the dongle (first argument: its address) and adds
// what only it knows (link state, adapter state) to the status.

#include <QDBusMessage>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

#include "VirtualDongle.h"

QString ControlJson(const QJsonValue& v);
// A characteristic's properties as the Flags of org.bluez.GattCharacteristic1, for every front.
QStringList GattFlagsOf(uint8_t properties);
// The Flags a peripheral serves a characteristic with, where reads and writes demand a secure
// link: "encrypt-read"/"encrypt-write" or "encrypt-authenticated-read"/"-write" in place of the
// plain ones (bluetoothd then answers an open link with Insufficient Encryption or
// Authentication). A write without response demands the same (bluetoothd drops it otherwise).
QStringList GattServerFlagsOf(uint8_t properties, vdongle::TSecurity security);
// The model's part of a dongle's status entry: address, name, advertising, connectCount, notifying.
QJsonObject DongleStatusJson(const vdongle::TVirtualDongle& dongle);
// What a front knows of one dongle's link, beside the model's part of its status entry.
struct TDongleLinkStatus {
    const vdongle::TVirtualDongle* Dongle = nullptr;
    bool Connected = false;
    bool ServicesResolved = false;
    int MaxWritesInFlight = 0;
    std::optional<QString> Adapter;  // only the front with an adapter per dongle knows it
};
// The answer to the Status control call, the same shape from every front.
QString StatusJson(bool adapterPresent, bool powered, bool discovering,
                   const std::vector<TDongleLinkStatus>& dongles);
// Answers m into *reply when it is one of the calls above; false when it is not.
bool AnswerDongleCall(const QDBusMessage& m, vdongle::TVirtualDongle& dongle, QDBusMessage* reply);
