#pragma once
// The control calls about one dongle's model (Writes, Target, FailNextWrites, DropLink,
// SetAdvertising, NotifyLed, NotifyIdentity, SetWriteDelay, ClearRecords), answered the same way by
// every front of the service. The front finds the dongle (first argument: its address) and adds
// what only it knows (link state, adapter state) to the status.

#include <QDBusMessage>
#include <QJsonObject>
#include <QString>

#include "VirtualDongle.h"

QString ControlJson(const QJsonValue& v);
// The model's part of a dongle's status entry: address, name, advertising, connectCount, notifying.
QJsonObject DongleStatusJson(const vdongle::TVirtualDongle& dongle);
// Answers m into *reply when it is one of the calls above; false when it is not.
bool AnswerDongleCall(const QDBusMessage& m, vdongle::TVirtualDongle& dongle, QDBusMessage* reply);
