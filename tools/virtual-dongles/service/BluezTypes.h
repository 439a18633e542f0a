#pragma once
// The D-Bus container types of BlueZ's object manager, as QtDBus marshals them.

#include <QDBusObjectPath>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QVariantMap>

using TInterfaceList = QMap<QString, QVariantMap>;                 // a{sa{sv}}
using TManagedObjectList = QMap<QDBusObjectPath, TInterfaceList>;  // a{oa{sa{sv}}}

Q_DECLARE_METATYPE(TInterfaceList)
Q_DECLARE_METATYPE(TManagedObjectList)

void RegisterBluezTypes();
