// What the window says beside its captions: English tooltips and accessible names for every
// control, and the notices about capture, links and pass-through in the status bar's first panel.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>

#include <algorithm>
#include <string>
#include <vector>

#include "app/Notices.h"
#include "app/UnitMain.h"
#include "device/UnitCorvastelDevice.h"

namespace {
struct TControlHelp {
    QWidget* Control;
    const char* Name;
    const char* ToolTip;  // null: the control shows something else as its tooltip
};
}  // namespace

void TFormCorvastelPc::ApplyControlHelp() {
    const TControlHelp help[] = {
        {BtnScan, "Search for dongles",
         "搜索设备 / 停止搜索: search for Corvastel dongles nearby for three seconds, or stop the search "
         "(Alt+S)"},
        {BtnConnect, "Connect or disconnect",
         "连接 / 断开连接: connect the selected dongle, or disconnect it when it is connected (Alt+C)"},
        {DeviceListView, "Dongles found",
         "The dongles found by the last search. The picture shows each one's state: found, connecting, "
         "connected. A connected dongle shows its computer's lock lights (N, C, S) and its link latency; "
         "the framed one takes the input. Double-click a dongle to connect it (or, once connected, to "
         "see its details); right-click for more"},
        {gbDeviceInfo, "Selected dongle", "The selected dongle's name and Bluetooth address"},
        {lbName, "Dongle name", "Its nickname, or the name it advertises"},
        {lbMacAddress, "Bluetooth address", "Its Bluetooth address"},
        {BtnRename, "Set nickname", "设置昵称: give the selected dongle a nickname of your own"},
        {cbKeyboard, "Send the keyboard",
         "键盘: send this computer's keyboard to the dongles during pass-through"},
        {cbMouse, "Send the mouse",
         "鼠标: send this computer's mouse to the dongles as well during pass-through (Alt+M)"},
        {BtnHook, "Pass-through", nullptr},
        {Memo1, "Key display background", "Behind the key display"},
        {Memo2, "Connection log", "What the connected dongles reported"},
        {Panel1, "Last key",
         "The key display: the last key sent during pass-through, large, with its shifted meaning "
         "above it; empty until a key is sent"},
        {lbKeyPrimary, "Last key sent", nullptr},
        {lbKeySecond, "Its second meaning", nullptr},
        {StatusBar1, "Status", nullptr},
        {ProgressBar1, "Progress", "How far the search or the connection has come"},
        {Button1, "Send Ctrl+Alt+Del", "Send Ctrl+Alt+Del to the dongles' computers"},
        {Button2, "Send Win+L", "Send Win+L (lock) to the dongles' computers"},
        {PanelCorvInfo, "Dongle version", "The selected dongle's firmware and version"},
    };
    for (const TControlHelp& entry : help) {
        entry.Control->setAccessibleName(QString::fromUtf8(entry.Name));
        if (entry.ToolTip != nullptr) {
            entry.Control->setToolTip(ToolTipText(QString::fromUtf8(entry.ToolTip)));
        }
    }
    // The key display's labels overlap and are empty most of the time: hovering them shows the
    // display's own tooltip, not words about a key that is not there.
    for (QLabel* label : {lbKeyPrimary, lbKeySecond}) {
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    ShowHookButtonHelp();
}

void TFormCorvastelPc::ShowHookButtonHelp() {
    BtnHook->setToolTip(ToolTipText(QString::fromUtf8(
        "键鼠直传: keyboard-and-mouse pass-through. Sends this computer's keyboard (and the mouse if 鼠标 "
        "is ticked) to every connected dongle instead of this computer (Alt+T). Ctrl+Shift+F12 ends it")));
}

bool TFormCorvastelPc::PassThroughOn() const {
    return (FHook != nullptr && FHook->Active()) || FShortcutHeld;
}

bool TFormCorvastelPc::MouseForwarded() const {
    return PassThroughOn() && cbMouse->isChecked();
}

void TFormCorvastelPc::UpdateLinkNotices() {
    TLinkState state;
    state.PassThroughOn = PassThroughOn();
    state.MouseSent = MouseForwarded();
    state.AnyTakesInput =
        std::any_of(Sessions.begin(), Sessions.begin() + SessionCount,
                    [this](const TCorvastelDevice* session) { return TakesInput(session); });
    state.RouteHeld = RouteHeld();
    state.Radio = FRadioProblem;
    for (const std::string& address : Reconnect.Addresses()) {
        // The held route's own notice names its dongle already.
        if (!(state.RouteHeld && address == Route().Target())) {
            state.Dropped << DongleLabel(address);
        }
    }
    const TLinkNotices notices = LinkNotices(state);
    SetNotice(TNotice::LinkLost, notices.LinkLost);
    SetNotice(TNotice::NoDongle, notices.NoDongle);
    if (notices.ClearGuide) {
        SetNotice(TNotice::Guide, QString());
    }
    SetNotice(TNotice::KeypadHint, notices.KeypadHint);
    // A dongle that went takes its notice along.
    ShowNotAnswering();
}

void TFormCorvastelPc::ShowNotAnswering() {
    std::vector<std::string> addresses;
    for (int i = 0; i < SessionCount; ++i) {
        if (Sessions[i] != nullptr && Sessions[i]->Device != nullptr && Sessions[i]->NotAnswering())
            addresses.push_back(Sessions[i]->Device->Address());
    }
    SetNotice(
        TNotice::NotAnswering,
        addresses.empty()
            ? QString()
            : DongleLabels(addresses) +
                  QStringLiteral(" is not answering: input to it waits. Bring it closer to this computer, "
                                 "or disconnect it and connect it again."));
}
