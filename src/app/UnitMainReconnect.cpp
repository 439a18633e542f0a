// Dongles that dropped without the user asking are brought back by themselves: tries follow the
// schedule of TReconnectPolicy (1, 2, 4 ... 30 s apart) until the dongle is back, the user lets it
// go (the connect button, which reads disconnect meanwhile) or the window closes. A try is an
// ordinary connection set-up; the window sends a session its all-released reports when it first
// becomes active, so a dongle that comes back starts with nothing held on its target.
#include <QPushButton>
#include <QTimer>

#include <chrono>

#include "app/UnitMain.h"

void TFormCorvastelPc::LinkDropped(TBluetoothLEDevice* Device) {
    if (FClosed) {
        return;
    }
    const std::string address = Device->Address();
    Reconnect.Dropped(*Device, ReconnectClock());
    if (ShowDongleImage(address, DeviceImageConnecting)) {
        BtnConnect->setText(ConnectCaptions[1]);
        BtnConnect->setEnabled(true);
    }
    ArmReconnectTimer();
    UpdateLinkNotices();
}

void TFormCorvastelPc::ReconnectDue() {
    if (FClosed || RadioDown()) {
        return;  // the radio's return starts the tries (RadioChanged)
    }
    Reconnect.StartDue(ReconnectClock(), [this](TBluetoothLEDevice& device) {
        // Refused while its last link is still closing, or every slot is taken: it waits for its
        // next turn.
        return StartConnection(&device, true) == TConnections::TStart::Started;
    });
    ArmReconnectTimer();
}

void TFormCorvastelPc::ReconnectTryEnded(const std::string& Address, bool Back) {
    if (!Reconnect.TryEnded(Address, Back, ReconnectClock())) {
        return;
    }
    if (!Back) {
        // Between tries it still shows as being connected, and the button still lets it go.
        if (ShowDongleImage(Address, DeviceImageConnecting)) {
            BtnConnect->setText(ConnectCaptions[1]);
        }
    }
    ArmReconnectTimer();
    UpdateLinkNotices();
}

bool TFormCorvastelPc::StopReconnecting(const std::string& Address) {
    if (!Reconnect.Stop(Address)) {
        return false;
    }
    ArmReconnectTimer();
    ShowRoute();  // let go: its number is free again
    UpdateLinkNotices();
    return true;
}

void TFormCorvastelPc::ArmReconnectTimer() {
    if (ReconnectTimer == nullptr) {
        return;
    }
    const auto wait = Reconnect.NextWait(ReconnectClock());
    if (!wait || FClosed || RadioDown()) {
        ReconnectTimer->stop();
        return;
    }
    ReconnectTimer->start(static_cast<int>(wait->count()));
}
