#pragma once
// Dongles connected to a window the way the user connects them: found by a scan (an entry in the
// device list), selected, and Connect pressed. For the widget tests that start from connected
// dongles on the fake central.

#include <QListWidget>
#include <QString>

#include <memory>

#include "app/FormControls.h"
#include "app/UnitMain.h"
#include "platform/ble/fake/FakeBluetoothLE.h"

// Adds the dongle to the fake central and to the window's list as found (shown as `caption`), selects
// it and presses Connect. The list item shows DeviceImageConnected once the session is up; right
// after the click it still shows DeviceImageFound only when this build does not connect at all.
inline QListWidgetItem* AddFoundAndConnect(TFormCorvastelPc& window, TFakeBluetoothLEManager& ble,
                                           const vdongle::TDongleConfig& config, const QString& caption,
                                           std::shared_ptr<vdongle::TVirtualDongle>* dongle) {
    *dongle = ble.AddDongle(config);
    const int k = window.FoundDeviceCount++;
    window.FoundDevices[k] = &ble.Device(config.address);
    auto* item = new QListWidgetItem(caption, window.DeviceListView);
    window.SetDeviceImage(item, DeviceImageFound);
    window.SelectedDevice = k;
    window.BtnConnectClick(window.BtnConnect);
    return item;
}
