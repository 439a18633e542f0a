// Scanning for dongles and the device list.
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <string_view>

#include "app/CorvastelApplication.h"
#include "app/TargetState.h"
#include "app/UnitMain.h"
#include "device/UnitCorvastelDevice.h"

namespace {
// Dongles advertise the vendor service; the scan asks the stack for nothing else.
constexpr TBluetoothUuid VendorServiceUuid = TBluetoothUuid::FromShort(0xF800);
constexpr int ScanDurationMs = 3000;
constexpr std::string_view DongleNameMark = "corvastel";

// Only A to Z are folded: names are matched the same way whatever the user's locale.
bool IsDongleName(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded.find(DongleNameMark) != std::string::npos;
}

// Progress of a scan that has run elapsedMs, on a bar that ends at maximum. Rounded to nearest,
// halves to even (the rounding mode nearbyint uses by default).
int ScanProgress(int maximum, uint32_t elapsedMs) {
    const double position = std::nearbyint(maximum * static_cast<double>(static_cast<float>(elapsedMs)) /
                                           static_cast<double>(ScanDurationMs));
    // QProgressBar ignores a value outside its range instead of holding it at the end.
    return static_cast<int>(std::clamp(position, 0.0, static_cast<double>(maximum)));
}
}  // namespace

namespace {
// Why, and what to do, as far as the stack can tell.
QString ScanRefusedText(const std::string& reason) {
    if (!reason.empty()) {
        return QString::fromStdString(reason);
    }
    return QStringLiteral(
        "The search for dongles could not start. Try again; if it keeps failing, "
        "switch Bluetooth off and on again.");
}
}  // namespace

uint32_t MonotonicTickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void TFormCorvastelPc::btnScanClick(QObject* /*Sender*/) {
    if (Scanning) {
        Timer1->stop();
        ProgressBar1->setVisible(false);
        BleManager.CancelDiscovery();  // DiscoveryEnded has run when this returns
        ShowProgress();
        return;
    }

    // The scan is asked for first; the window never waits for the Bluetooth stack (a refusal comes
    // back by event, at once from a backend that knows at once).
    Scanning = true;
    BtnScan->setText(ScanCaptions[1]);
    BleManager.RequestDiscovery(ScanDurationMs, {VendorServiceUuid});
    if (!Scanning) {
        return;  // refused at once; ScanRefused said why
    }

    SelectedDevice = -1;
    lbName->setText(NoDeviceText);
    lbMacAddress->setText(NoDeviceText);
    BtnRename->setEnabled(false);

    DeviceListView->clear();
    FoundDeviceCount = 0;
    // Dongles with a session stay listed, first and in session order, before any new report.
    for (int i = 0; i < SessionCount && FoundDeviceCount < DeviceSlots; ++i) {
        TCorvastelDevice* session = Sessions[i];
        if (session == nullptr || session->Device == nullptr) {
            continue;
        }
        AppendFoundDevice(*session->Device, DeviceImageConnected);
    }
    // So do dongles waiting to be reconnected, or nothing would be left to let them go with.
    for (const std::string& address : Reconnect.Addresses()) {
        TBluetoothLEDevice* device = Reconnect.Device(address);
        if (device == nullptr || FoundDeviceCount >= DeviceSlots || FoundSlotOf(address) >= 0) {
            continue;
        }
        AppendFoundDevice(*device, DeviceImageConnecting);
    }
    ShowRoute();  // the routed dongle's new item is marked again

    ScanningStart = TickCount();

    Timer1->start();
    ProgressBar1->setValue(0);
    ProgressBar1->setVisible(true);
    SetNotice(TNotice::Guide, QStringLiteral("Searching for dongles\u2026"));
    if (!RadioDown()) {
        // A refusal of the last scan, or the news that Bluetooth is back: the scan runs now.
        SetNotice(TNotice::StackProblem, QString());
    }
}

void TFormCorvastelPc::Timer1Timer(QObject* /*Sender*/) {
    if (!Scanning) {
        return;
    }
    const uint32_t elapsed = TickCount() - ScanningStart;  // unsigned: right across a wrap
    ProgressBar1->setValue(ScanProgress(ProgressBar1->maximum(), elapsed));
    if (ProgressBar1->value() == ProgressBar1->maximum()) {
        BleManager.CancelDiscovery();
        Timer1->stop();
        ProgressBar1->setVisible(false);
        ShowProgress();
    }
}

void TFormCorvastelPc::ScanRefused(const std::string& Reason) {
    if (!Scanning) {
        return;  // cancelled before the stack answered
    }
    Timer1->stop();
    Scanning = false;
    BtnScan->setText(ScanCaptions[0]);
    ShowProgress();
    SetNotice(TNotice::Guide, QString());
    // The box answers the key press; the notice stays once it is closed, until the radio changes.
    const QString text = ScanRefusedText(Reason);
    if (!RadioDown()) {
        SetNotice(TNotice::StackProblem, text);  // else the radio's own notice stands, in short
    }
    ShowMessage(text);
}

void TFormCorvastelPc::DiscoveryEnded(TBluetoothLEManager& /*Sender*/,
                                      const std::vector<TBluetoothLEDevice*>& /*ADeviceList*/) {
    if (Scanning) {
        ProgressBar1->setValue(ProgressBar1->maximum());
    }
    Timer1->stop();
    const bool scanned = Scanning;
    Scanning = false;
    BtnScan->setText(ScanCaptions[0]);
    // The bar shows only while something runs: a scan the stack ended leaves no full bar behind.
    ShowProgress();
    if (scanned) {
        SetNotice(TNotice::Guide, FoundText());
    }
}

QString TFormCorvastelPc::FoundText() const {
    int connectable = 0;
    for (int k = 0; k < FoundDeviceCount; ++k) {
        connectable += FindSession(FoundDevices[k]->Address()) < 0 ? 1 : 0;
    }
    if (FoundDeviceCount == 0) {
        return QString::fromUtf8(
            "Found no dongle. Plug one in near this computer, then press 搜索设备 (Alt+S) again");
    }
    QString text = FoundDeviceCount == 1 ? QStringLiteral("Found 1 dongle")
                                         : QStringLiteral("Found %1 dongles").arg(FoundDeviceCount);
    if (connectable > 0) {
        text += QString::fromUtf8(": select one and press 连接 (Alt+C), or double-click it");
    }
    return text;
}

int TFormCorvastelPc::FoundSlotOf(const std::string& Address) const {
    for (int k = 0; k < FoundDeviceCount; ++k) {
        if (FoundDevices[k] != nullptr && FoundDevices[k]->Address() == Address) {
            return k;
        }
    }
    return -1;
}

void TFormCorvastelPc::DeviceDiscovered(TBluetoothLEManager& /*Sender*/, TBluetoothLEDevice& ADevice,
                                        int /*Rssi*/, const TBytes& /*ScanResponse*/) {
    if (!IsDongleName(ADevice.DeviceName())) {
        return;
    }
    const std::string address = ADevice.Address();
    int k = FoundSlotOf(address);
    if (k < 0) {
        k = FoundDeviceCount;
    }
    if (k == DeviceSlots) {
        return;  // the table is full: further dongles are not listed
    }
    if (k < FoundDeviceCount) {
        FoundDevices[k] = &ADevice;
        if (QListWidgetItem* item = DeviceListView->item(k)) {
            item->setText(FoundCaption(ADevice));
        }
        return;
    }
    AppendFoundDevice(ADevice, DeviceImageFound);
    if (FoundDeviceCount == 1) {
        // Raises DeviceListViewSelectItem before returning, as a click would.
        DeviceListView->setCurrentRow(0, QItemSelectionModel::ClearAndSelect);
    }
}

QString TFormCorvastelPc::FoundCaption(TBluetoothLEDevice& Device) {
    return DongleName(ReadNickname(Device.Address()), Device.DeviceName(), Device.Identifier());
}

void TFormCorvastelPc::AppendFoundDevice(TBluetoothLEDevice& Device, TDeviceImage Image) {
    FoundDevices[FoundDeviceCount] = &Device;
    auto* item = new QListWidgetItem(FoundCaption(Device));
    DeviceListView->addItem(item);
    SetDeviceImage(item, Image);
    ++FoundDeviceCount;
}

void TFormCorvastelPc::DeviceListViewSelectItem(QObject* /*Sender*/, QListWidgetItem* Item, bool Selected) {
    if (!Selected) {
        SelectedDevice = -1;
        BtnConnect->setEnabled(false);
        ProgressBar1->setValue(0);
        return;
    }

    const int k = DeviceListView->row(Item);
    if (k < 0 || k >= FoundDeviceCount) {
        return;  // not an item of the found-device table
    }
    SelectedDevice = k;
    TBluetoothLEDevice& device = *FoundDevices[k];
    const std::string address = device.Address();

    lbName->setText(DongleName(ReadNickname(address), device.DeviceName(), device.Identifier()));
    lbMacAddress->setText(QString::fromStdString(address));
    BtnRename->setEnabled(true);
    BtnConnect->setEnabled(true);

    const int slot = FindSession(address);
    if (slot >= 0) {
        const TCorvastelDevice* session = Sessions[slot];
        // The firmware text is written by a Bluetooth thread before its arrival bit is set; until
        // then it may be changing under us.
        const bool firmwareArrived = (session->infoValue.load() & InfoFirmware) != 0;
        lbFirmware->setText(firmwareArrived ? QString::fromStdString(session->Firmware) : QString());
        lbVer->setText("v" + QString::number(session->HidId().ver));
        BtnConnect->setText(ConnectCaptions[1]);
    } else {
        lbFirmware->clear();
        lbVer->clear();
        // A dongle waiting to be reconnected can be let go with the button.
        BtnConnect->setText(ConnectCaptions[Reconnect.Scheduled(address)]);
    }
    BtnConnect->setEnabled(true);

    ProgressBar1->setValue(0);
}
