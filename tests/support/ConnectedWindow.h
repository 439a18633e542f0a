#pragma once
// Dongles connected to a window the way the user connects them: found by a scan (an entry in the
// device list), selected, and Connect pressed. For the widget tests that start from connected
// dongles on the fake central.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QString>
#include <QThread>

#include <chrono>
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

// Waits until everything the window's sessions were given has been written and answered, the
// central has nothing in hand, and the window has handled what that posted to it. A session paces
// its own writes, so an idle central alone says nothing: on a busy machine its send worker may
// not have handed the next report over yet. A session whose link is down is not waited for.
inline bool SettleLinks(TFormCorvastelPc& window, TFakeBluetoothLEManager& ble, int timeoutMs = 5000) {
    const auto settled = [&] {
        for (int i = 0; i < window.Connections.Count; ++i) {
            TCorvastelDevice* s = window.Connections.Sessions[i];
            if (s != nullptr && s->Device != nullptr && s->Device->IsConnected() &&
                !s->WaitSent(std::chrono::milliseconds(0)))
                return false;
        }
        return ble.WaitIdle(std::chrono::milliseconds(0));
    };
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (settled()) {
            // What the links posted to the window is handled; settled only if that sent nothing.
            QCoreApplication::processEvents();
            if (settled())
                return true;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return false;
}
