#include "device/UnitCorvastelDevice.h"

#include <charconv>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "device/MessageBus.h"
#include "hid/TextKeys.h"
#include "platform/GeneralError.h"

namespace {

const TBluetoothUuid UuidDeviceInformation = TBluetoothUuid::FromShort(0x180A);
const TBluetoothUuid UuidVendorService = TBluetoothUuid::FromShort(0xF800);

// Device Information characteristics, in the order they are matched and bound.
const TBluetoothUuid UuidSystemId = TBluetoothUuid::FromShort(0x2A23);
const TBluetoothUuid UuidModelNumber = TBluetoothUuid::FromShort(0x2A24);
const TBluetoothUuid UuidSerialNumber = TBluetoothUuid::FromShort(0x2A25);
const TBluetoothUuid UuidFirmware = TBluetoothUuid::FromShort(0x2A26);
const TBluetoothUuid UuidHardware = TBluetoothUuid::FromShort(0x2A27);
const TBluetoothUuid UuidSoftware = TBluetoothUuid::FromShort(0x2A28);
const TBluetoothUuid UuidManufacture = TBluetoothUuid::FromShort(0x2A29);
const TBluetoothUuid UuidPnpId = TBluetoothUuid::FromShort(0x2A50);

const TBluetoothUuid UuidChar1 = TBluetoothUuid::FromShort(0xF801);
const TBluetoothUuid UuidChar2 = TBluetoothUuid::FromShort(0xF802);
const TBluetoothUuid UuidChar3 = TBluetoothUuid::FromShort(0xF803);
const TBluetoothUuid UuidChar4 = TBluetoothUuid::FromShort(0xF804);
const TBluetoothUuid UuidChar5 = TBluetoothUuid::FromShort(0xF80F);

// A firmware version part as an integer; anything else is a conversion error, reported to the user.
int ToInteger(std::string_view text) {
    std::string_view digits = text;
    while (!digits.empty() && digits.front() == ' ')
        digits.remove_prefix(1);
    while (!digits.empty() && digits.back() == ' ')
        digits.remove_suffix(1);
    if (!digits.empty() && digits.front() == '+')
        digits.remove_prefix(1);
    int value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
        throw std::invalid_argument("'" + std::string(text) + "' is not a valid integer value");
    }
    return value;
}

}  // namespace

std::string DecodeDeviceString(std::span<const uint8_t> value) {
    static constexpr std::string_view Replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(value.size());
    size_t i = 0;
    while (i < value.size()) {
        const uint8_t b = value[i];
        size_t length = 0;
        uint32_t min = 0;
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        if ((b & 0xE0) == 0xC0) {
            length = 2;
            min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            length = 3;
            min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            length = 4;
            min = 0x10000;
        }
        bool valid = length != 0 && i + length <= value.size();
        uint32_t cp = length ? (b & (0x7F >> length)) : 0;
        for (size_t k = 1; valid && k < length; ++k) {
            valid = (value[i + k] & 0xC0) == 0x80;
            cp = (cp << 6) | (value[i + k] & 0x3F);
        }
        valid = valid && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        if (valid) {
            out.append(reinterpret_cast<const char*>(&value[i]), length);
            i += length;
        } else {
            out.append(Replacement);
            ++i;
        }
    }
    return out;
}

TCorvastelDevice::TCorvastelDevice(TDeviceUi* ui) : FUi(ui) {
    FWorker = std::thread([this] { SendWorker(); });
}

TCorvastelDevice::~TCorvastelDevice() {
    // Reports still queued on a live link (the all-released ones of a window that closes during
    // pass-through) get a moment to go out, so no key stays held on the target.
    if (Device && Device->IsConnected())
        WaitSent(std::chrono::milliseconds(300));
    // Detach first: after this no handler of ours runs, and calls in progress have returned.
    if (Device)
        Device->ClearHandlers(this);
    {
        std::lock_guard lock(FWorkerLock);
        FStopping = true;
    }
    FWorkerWake.notify_one();
    FWorker.join();
}

void TCorvastelDevice::InitData(TBluetoothLEDevice* bleDev) {
    validValue = 0;
    infoValue = 0;
    SendDatatBusy = false;
    isActived = false;
    // The window may have set Device already, so that lookups by address find a connection still
    // being set up; it reads it on its own thread meanwhile, so write it only when it differs.
    if (Device != bleDev)
        Device = bleDev;
    Device->SetHandlers(
        {
            [this](TBluetoothLEDevice& s, const TBluetoothGattServiceList& l) { OnServicesDiscovered(s, l); },
            [this](TBluetoothLEDevice& s, TBluetoothGattCharacteristic& c, uint16_t st,
                   std::span<const uint8_t> v) { OnCharacteristicRead(s, c, st, v); },
            [this](TBluetoothLEDevice& s, TBluetoothGattCharacteristic& c, uint16_t st) {
                OnCharacteristicWrite(s, c, st);
            },
            [this](TBluetoothLEDevice& s) { OnDisconnect(s); },
        },
        this);
    if (!Device->DiscoverServices()) {
        const std::string text = Device->DeviceName() + " - Service discovery not allowed";
        if (FUi) {
            FUi->ShowMessageAndWait(text);
        } else {
            ReportGeneralError(text);
        }
    }
}

void TCorvastelDevice::OnServicesDiscovered(TBluetoothLEDevice&, const TBluetoothGattServiceList& services) {
    if (services.empty()) {
        DeviceInfoSvr = nullptr;
        CvSvr = nullptr;
    }
    for (TBluetoothGattService* service : services) {
        if (service->UUID() == UuidDeviceInformation) {
            DeviceInfoSvr = service;
            for (auto* c : service->Characteristics())
                SetDeviceInfoCharacteristic(c);
        } else if (service->UUID() == UuidVendorService) {
            CvSvr = service;
            for (auto* c : service->Characteristics())
                SetCorvastelCharacteristic(c);
        }
    }
    if (!isCharacteristicIntegrity()) {
        // No event here: a disconnect event follows if the platform reports the link down.
        Device->Disconnect();
        return;
    }
    const std::string address = Device->Address();
    SendDeviceMessage(ServicesBound, address, 0);
    CorvastelSetNotification(char1);
    CorvastelSetNotification(char5);
    SendDeviceMessage(NotifyEnabled, address, 0);
    infoValue = 0;
    for (TBluetoothGattCharacteristic* c : {charSystemID, charModelNumber, charSerialNumber, charFirmware,
                                            charHardware, charSoftware, charManufacture}) {
        if (c)
            Device->ReadCharacteristic(*c);
    }
}

void TCorvastelDevice::SetDeviceInfoCharacteristic(TBluetoothGattCharacteristic* characteristic) {
    validValue |= ValidDeviceInfo;
    const TBluetoothUuid& uuid = characteristic->UUID();
    if (uuid == UuidSystemId) {
        charSystemID = characteristic;
    } else if (uuid == UuidModelNumber) {
        charModelNumber = characteristic;
    } else if (uuid == UuidSerialNumber) {
        charSerialNumber = characteristic;
    } else if (uuid == UuidFirmware) {
        charFirmware = characteristic;
    } else if (uuid == UuidHardware) {
        charHardware = characteristic;
    } else if (uuid == UuidSoftware) {
        charSoftware = characteristic;
    } else if (uuid == UuidManufacture) {
        charManufacture = characteristic;
    } else if (uuid == UuidPnpId) {
        charPnpId = characteristic;
    }
}

void TCorvastelDevice::SetCorvastelCharacteristic(TBluetoothGattCharacteristic* characteristic) {
    const TBluetoothUuid& uuid = characteristic->UUID();
    if (uuid == UuidChar1) {
        char1 = characteristic;
        validValue |= ValidChar1;
    } else if (uuid == UuidChar2) {
        char2 = characteristic;
        validValue |= ValidChar2;
    } else if (uuid == UuidChar3) {
        char3 = characteristic;
        validValue |= ValidChar3;
    } else if (uuid == UuidChar4) {
        char4 = characteristic;
        validValue |= ValidChar4;
    } else if (uuid == UuidChar5) {
        char5 = characteristic;
        validValue |= ValidChar5;
    }
}

bool TCorvastelDevice::isCharacteristicIntegrity() const {
    return validValue == BindingFull || validValue == BindingMinimal;
}

void TCorvastelDevice::CorvastelSetNotification(TBluetoothGattCharacteristic* characteristic) {
    const auto& descriptors = characteristic->Descriptors();
    if (!descriptors.empty()) {
        // The first descriptor must be the Client Characteristic Configuration; the platform
        // refuses the notification flag on any other, and that error ends the binding.
        TBluetoothGattDescriptor* cccd = descriptors.front();
        cccd->SetNotification(true);
        Device->WriteDescriptor(*cccd);
    }
    Device->SetCharacteristicNotification(*characteristic, true);
}

void TCorvastelDevice::SendDeviceMessage(uint8_t event, const std::string& text, uint32_t para) {
    TMessageManager::DefaultManager().SendMessage(nullptr, TBleDeviceMessage{event, this, text, para});
}

void TCorvastelDevice::OnDisconnect(TBluetoothLEDevice& sender) {
    isActived = false;
    // The last thing this handler does: the window may destroy the session once it has the event.
    SendDeviceMessage(DeviceDisconnected, sender.Address(), 0);
}

// ---------------------------------------------------------------------------------------------
// Sending

TBluetoothGattCharacteristic* TCorvastelDevice::GetReportCharacteristic(TReportType reportType) const {
    switch (reportType) {
        case TReportType::KeyboardIn:
        case TReportType::KeyboardOut:
            return char1;
        case TReportType::Mouse: {
            const TUSBDeviceID id = HidId();
            if (MatchesUsbId(id, USBID_0451_16B4))
                return char1;
            if (MatchesUsbId(id, USBID_0451_E010))
                return id.ver == 0 ? char1 : char3;
            if (MatchesUsbId(id, USBID_4348_E010))
                return char3;
            return nullptr;
        }
        default:
            return nullptr;
    }
}

void TCorvastelDevice::SendReport(TReportType rp, bool empty) {
    const TUSBDeviceID id = HidId();
    QueueReport(rp, empty ? GetEmptyHidReport(id, rp) : GetHidReport(id, rp));
}

void TCorvastelDevice::SendMouseReport(const TMouseSnapshot& mouse) {
    QueueReport(TReportType::Mouse, GetMouseHidReport(HidId(), mouse));
}

void TCorvastelDevice::SendKeyboardState(uint8_t modifiers, uint8_t usage) {
    QueueReport(TReportType::KeyboardIn, MakeKeyboardReportFor(HidId(), modifiers, usage));
}

void TCorvastelDevice::QueueReport(TReportType rp, const THidReport& bytes) {
    if (bytes.empty())
        return;
    TReportInfo report;
    report.BleDevice = Device;
    report.Characteristic = GetReportCharacteristic(rp);
    report.reportSize = static_cast<int32_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), report.reportData.begin());
    if (rp == TReportType::KeyboardIn) {
        std::lock_guard lock(FLastKeyboardLock);
        FLastKeyboard = report;
        FHasLastKeyboard = true;
    }
    ReportQueue.Append(report);
    if (Device && Device->IsConnected())
        TrySendReport();
}

void TCorvastelDevice::TrySendReport() {
    {
        std::lock_guard lock(FWorkerLock);
        FAttemptPending = true;
    }
    FWorkerWake.notify_one();
}

void TCorvastelDevice::DisconnectAfterRelease() {
    if (!Device)
        return;
    if (!isActived || !Device->IsConnected()) {
        Device->Disconnect();
        return;
    }
    SendReport(TReportType::KeyboardIn, true);
    SendReport(TReportType::Mouse, true);
    {
        std::lock_guard lock(FWorkerLock);
        FDisconnectPending = true;
        FDisconnectDeadline = std::chrono::steady_clock::now() + DisconnectGrace;
        FAttemptPending = true;
    }
    FWorkerWake.notify_one();
}

bool TCorvastelDevice::WaitSent(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!Sent()) {
        if (!Device || !Device->IsConnected() || std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void TCorvastelDevice::SendWorker() {
    std::unique_lock lock(FWorkerLock);
    const auto woken = [this] { return FAttemptPending || FStopping; };
    while (true) {
        if (FDisconnectPending) {
            FWorkerWake.wait_until(lock, FDisconnectDeadline, woken);
        } else {
            FWorkerWake.wait(lock, woken);
        }
        if (FStopping)
            return;
        FAttemptPending = false;
        lock.unlock();
        SendStep();
        lock.lock();
        // A disconnect asked for waits until the releases before it are written (or the grace ends).
        if (FDisconnectPending && (Sent() || std::chrono::steady_clock::now() >= FDisconnectDeadline)) {
            FDisconnectPending = false;
            lock.unlock();
            Device->Disconnect();
            lock.lock();
        }
    }
}

// One send attempt. Only the send worker runs it, so its steps cannot interleave with another
// attempt of this session; SendDatatBusy is what a write completion clears.
void TCorvastelDevice::SendStep() {
    if (SendDatatBusy.load())
        return;  // a write is in flight; its completion asks for the next
    // A report with nowhere to go (a mouse report for a dongle bound without char3) is dropped, and
    // the attempt goes on with the next one rather than leaving it waiting for another attempt.
    PReportInfo report;
    while ((report = ReportQueue.Pop()) != nullptr && report->Characteristic == nullptr) {
    }
    if (!report || !Device)
        return;
    SendDatatBusy = true;
    Device->WriteCharacteristic(
        *report->Characteristic,
        std::span<const uint8_t>(report->reportData.data(), static_cast<size_t>(report->reportSize)));
}

void TCorvastelDevice::OnCharacteristicWrite(TBluetoothLEDevice&, TBluetoothGattCharacteristic&,
                                             uint16_t gattStatus) {
    // Any completion ends the write in flight, a failed one too: later reports still go out
    // (otherwise one failure would leave every key stuck).
    if (gattStatus == GattStatusSuccess) {
        FFailedWrites = 0;
    } else if (ReportQueue.Count() == 0 && FFailedWrites.fetch_add(1) < MaxKeyboardResends) {
        // Nothing newer to correct it: send the newest keyboard state again.
        std::lock_guard lock(FLastKeyboardLock);
        if (FHasLastKeyboard)
            ReportQueue.Append(FLastKeyboard);
    }
    SendDatatBusy = false;
    TrySendReport();
}

// ---------------------------------------------------------------------------------------------
// Receiving

TUSBDeviceID TCorvastelDevice::HidId() const {
    std::lock_guard lock(FHidIdLock);
    return FHidId;
}

void TCorvastelDevice::SetHidId(const TUSBDeviceID& id) {
    std::lock_guard lock(FHidIdLock);
    FHidId = id;
}

void TCorvastelDevice::OnCharacteristicRead(TBluetoothLEDevice&, TBluetoothGattCharacteristic& characteristic,
                                            uint16_t gattStatus, std::span<const uint8_t> value) {
    if (gattStatus == GattStatusSuccess)
        ReceiveData(characteristic, value);
}

void TCorvastelDevice::ReceiveData(TBluetoothGattCharacteristic& characteristic,
                                   std::span<const uint8_t> value) {
    const TBluetoothUuid& uuid = characteristic.UUID();
    const auto storeString = [&](std::string& field, uint8_t bit) {
        field = DecodeDeviceString(value);
        TrySendDeviceInfoCompleteMessage(bit);
    };
    if (uuid == UuidSystemId) {
        if (value.size() >= SystemId.size())
            std::copy_n(value.begin(), SystemId.size(), SystemId.begin());
        TrySendDeviceInfoCompleteMessage(InfoSystemId);
    } else if (uuid == UuidModelNumber) {
        storeString(ModelNumber, InfoModelNumber);
    } else if (uuid == UuidSerialNumber) {
        storeString(SerialNumber, InfoSerialNumber);
    } else if (uuid == UuidFirmware) {
        storeString(Firmware, InfoFirmware);
    } else if (uuid == UuidHardware) {
        storeString(Hardware, InfoHardware);
    } else if (uuid == UuidSoftware) {
        storeString(Software, InfoSoftware);
    } else if (uuid == UuidManufacture) {
        storeString(Manufacture, InfoManufacture);
    } else if (&characteristic == char1) {
        // The process-wide status is kept as before; the session keeps its own dongle's, which a
        // malformed value must not replace with what another dongle reported last.
        const TUSBDeviceID id = HidId();
        ParseLedReport(id, uuid, value);
        if (const auto leds = DecodeLedStatus(id, uuid, value)) {
            if (LedStatus.exchange(*leds) != *leds && Device)
                SendDeviceMessage(LedStatusChanged, Device->Address(), *leds);
        }
    } else if (&characteristic == char5 && !value.empty()) {
        const uint8_t code = value[0];
        if ((code == IdentityReplyA0 || code == IdentityReplyA1) && value.size() >= IdentityReplySize) {
            SetHidId({static_cast<uint32_t>(value[1] | value[2] << 8),
                      static_cast<uint32_t>(value[3] | value[4] << 8), value[5]});
            SendDeviceMessage(DeviceActived, Device->Address(), 0);
            isActived = true;
        }
    }
}

void TCorvastelDevice::TrySendDeviceInfoCompleteMessage(uint8_t arrivedBit) {
    // One atomic update per arriving value; exactly the update that completes the set acts, so the
    // event is posted once however the seven reads interleave.
    const uint8_t before = infoValue.fetch_or(arrivedBit);
    if (before == InfoComplete || static_cast<uint8_t>(before | arrivedBit) != InfoComplete)
        return;
    SendDeviceMessage(DeviceInfoComplete, Device->Address(), 0);
    if (UpdateSupport()) {
        const uint8_t request[] = {IdentityRequest, SystemId[6], SystemId[7]};
        if (char5)
            Device->WriteCharacteristic(*char5, request);
    } else {
        SetHidId(USBID_0451_16B4);
        SendDeviceMessage(DeviceActived, Device->Address(), 0);
        isActived = true;
    }
}

bool TCorvastelDevice::UpdateSupport() const {
    std::vector<std::string_view> parts;
    std::string_view rest = Firmware;
    while (true) {
        const auto dot = rest.find('.');
        parts.push_back(rest.substr(0, dot));
        if (dot == std::string_view::npos)
            break;
        rest.remove_prefix(dot + 1);
    }
    if (parts.size() < 3)
        return false;
    const int major = ToInteger(parts[0]);
    if (major > 1)
        return true;
    if (major == 1)
        return ToInteger(parts[1]) >= 2;
    return false;
}

int TCorvastelDevice::PendingReports() const {
    return ReportQueue.Count() + (SendDatatBusy.load() ? 1 : 0);
}

TCorvastelDevice::TLinkStats TCorvastelDevice::LinkStats() const {
    // Not measured yet.
    return {};
}
