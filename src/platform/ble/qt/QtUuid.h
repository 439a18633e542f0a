#pragma once
// Between Qt's UUID type and ours; both hold the 16 bytes in text order.

#include <QBluetoothUuid>

#include "hid/UnitUtils.h"

inline TBluetoothUuid FromQtUuid(const QBluetoothUuid& uuid) {
    const QByteArray raw = uuid.toRfc4122();
    TBluetoothUuid out;
    for (size_t i = 0; i < out.bytes.size() && i < static_cast<size_t>(raw.size()); ++i) {
        out.bytes[i] = static_cast<uint8_t>(raw[static_cast<qsizetype>(i)]);
    }
    return out;
}

inline QBluetoothUuid ToQtUuid(const TBluetoothUuid& uuid) {
    return QBluetoothUuid(QUuid::fromRfc4122(QByteArrayView(uuid.bytes.data(), uuid.bytes.size())));
}
