#include "device/UnitCorvastelDevice.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "device/MessageBus.h"
#include "hid/TextKeys.h"
#include "platform/GeneralError.h"

namespace {

const TBluetoothUuid UuidDeviceInformation = TBluetoothUuid::FromShort(0x180A);

// Device Information characteristics, in the order they are matched and bound.
const TBluetoothUuid UuidSystemId = TBluetoothUuid::FromShort(0x2A23);
const TBluetoothUuid UuidModelNumber = TBluetoothUuid::FromShort(0x2A24);
const TBluetoothUuid UuidSerialNumber = TBluetoothUuid::FromShort(0x2A25);
const TBluetoothUuid UuidFirmware = TBluetoothUuid::FromShort(0x2A26);
const TBluetoothUuid UuidHardware = TBluetoothUuid::FromShort(0x2A27);
const TBluetoothUuid UuidSoftware = TBluetoothUuid::FromShort(0x2A28);
const TBluetoothUuid UuidManufacture = TBluetoothUuid::FromShort(0x2A29);
const TBluetoothUuid UuidPnpId = TBluetoothUuid::FromShort(0x2A50);

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

// A peer's text quoted in a message: long texts are cut, so a hostile value cannot flood the box.
std::string Quoted(const std::string& text) {
    constexpr size_t Limit = 40;
    if (text.size() <= Limit)
        return "\"" + text + "\"";
    size_t cut = Limit;
    while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80)
        --cut;  // not inside a UTF-8 sequence
    return "\"" + text.substr(0, cut) + "...\" (" + std::to_string(text.size()) + " bytes)";
}

// Bytes as "A1 34 12", at most the first few.
std::string HexBytes(std::span<const uint8_t> value) {
    constexpr size_t Limit = 8;
    if (value.empty())
        return "an empty value";
    std::string out;
    char byte[4];
    for (size_t i = 0; i < value.size() && i < Limit; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", value[i]);
        out += byte;
    }
    if (value.size() > Limit)
        out += " ... (" + std::to_string(value.size()) + " bytes)";
    return out;
}

std::string Hex4(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
    return text;
}

}  // namespace

const char* SetupStepText(TSetupStep step) {
    switch (step) {
        case TSetupStep::Connecting:
            return "connecting and finding its services";
        case TSetupStep::Binding:
            return "checking its services";
        case TSetupStep::Subscribing:
            return "subscribing to its notifications";
        case TSetupStep::ReadingInformation:
            return "reading its Device Information";
        case TSetupStep::CheckingFirmware:
            return "checking its firmware version";
        case TSetupStep::AwaitingIdentity:
            return "asking which USB identity it presents";
        case TSetupStep::Done:
            break;
    }
    return "setting it up";
}

bool IsKnownUsbId(const TUSBDeviceID& id) {
    for (const TUSBDeviceID& known : {USBID_0451_16B4, USBID_0451_E010, USBID_4348_E010, USBID_045E_002D}) {
        if (MatchesUsbId(id, known))
            return true;
    }
    return false;
}

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

TCorvastelDevice::TCorvastelDevice(TDeviceUi* ui, uint64_t serial) : Serial(serial), FUi(ui) {
    FSetupProgress = std::chrono::steady_clock::now().time_since_epoch().count();
    FWorker = std::thread([this] { SendWorker(); });
}

TCorvastelDevice::~TCorvastelDevice() {
    // A session that goes while its link is up (the window closes) leaves nothing held on the
    // target: the all-released reports go behind what is queued, and the session waits until they
    // have reached the dongle (while the link shows progress, up to a bound).
    if (Device && Device->IsConnected() && isActived && !FReleaseWaited) {
        ReleaseBeforeClose();
        WaitReleasesDelivered(DeliveryProofLimit + DisconnectGrace);
    }
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
    SetSetupStep(TSetupStep::Connecting);
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
    // A connect that fails ends the setup as every other failure does, through the window's one
    // setup report: a box of its own here while the window gives up on the same stalled setup
    // would say one time-out twice. A setup cancelled while discovery ran ends without a word.
    if (!Device->DiscoverServices()) {
        FailSetup(TSetupStep::Connecting,
                  "the dongle could not be reached (it may be off, out of range, or no longer known "
                  "to the Bluetooth service)");
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
    SetSetupStep(TSetupStep::Binding);
    if (!isCharacteristicIntegrity()) {
        FailSetup(TSetupStep::Binding, CvSvr == nullptr || DeviceInfoSvr == nullptr
                                           ? "it does not offer the services of a Corvastel dongle"
                                           : "its services lack characteristics a Corvastel dongle has");
        Device->Disconnect();
        return;
    }
    // A value that is never read would keep the information from ever completing.
    std::string missing;
    const std::pair<TBluetoothGattCharacteristic*, const char*> wanted[] = {
        {charSystemID, "System ID"},           {charModelNumber, "Model Number"},
        {charSerialNumber, "Serial Number"},   {charFirmware, "Firmware Revision"},
        {charHardware, "Hardware Revision"},   {charSoftware, "Software Revision"},
        {charManufacture, "Manufacturer Name"}};
    for (const auto& [c, name] : wanted) {
        if (c == nullptr)
            missing += std::string(missing.empty() ? "" : ", ") + name;
    }
    if (!missing.empty()) {
        FailSetup(TSetupStep::Binding, "it does not offer its Device Information value(s) " + missing);
        Device->Disconnect();
        return;
    }
    const std::string address = Device->Address();
    SendDeviceMessage(ServicesBound, address, 0);
    SetSetupStep(TSetupStep::Subscribing);
    CorvastelSetNotification(char1);
    CorvastelSetNotification(char5);
    SendDeviceMessage(NotifyEnabled, address, 0);
    SetSetupStep(TSetupStep::ReadingInformation);
    infoValue = 0;
    for (TBluetoothGattCharacteristic* c : {charSystemID, charModelNumber, charSerialNumber, charFirmware,
                                            charHardware, charSoftware, charManufacture}) {
        if (c)
            Device->ReadCharacteristic(*c);
    }
}

void TCorvastelDevice::SetDeviceInfoCharacteristic(TBluetoothGattCharacteristic* characteristic) {
    using TSlot = TBluetoothGattCharacteristic* TCorvastelDevice::*;
    static const std::array<std::pair<TBluetoothUuid, TSlot>, 8> slots{{
        {UuidSystemId, &TCorvastelDevice::charSystemID},
        {UuidModelNumber, &TCorvastelDevice::charModelNumber},
        {UuidSerialNumber, &TCorvastelDevice::charSerialNumber},
        {UuidFirmware, &TCorvastelDevice::charFirmware},
        {UuidHardware, &TCorvastelDevice::charHardware},
        {UuidSoftware, &TCorvastelDevice::charSoftware},
        {UuidManufacture, &TCorvastelDevice::charManufacture},
        {UuidPnpId, &TCorvastelDevice::charPnpId},
    }};
    validValue |= ValidDeviceInfo;
    for (const auto& [uuid, slot] : slots) {
        if (characteristic->UUID() == uuid) {
            this->*slot = characteristic;
            return;
        }
    }
}

void TCorvastelDevice::SetCorvastelCharacteristic(TBluetoothGattCharacteristic* characteristic) {
    struct TVendorSlot {
        TBluetoothUuid Uuid;
        TBluetoothGattCharacteristic* TCorvastelDevice::*Slot;
        uint8_t Bit;
    };
    static const std::array<TVendorSlot, 5> slots{{
        {UuidChar1, &TCorvastelDevice::char1, ValidChar1},
        {UuidChar2, &TCorvastelDevice::char2, ValidChar2},
        {UuidChar3, &TCorvastelDevice::char3, ValidChar3},
        {UuidChar4, &TCorvastelDevice::char4, ValidChar4},
        {UuidChar5, &TCorvastelDevice::char5, ValidChar5},
    }};
    for (const TVendorSlot& s : slots) {
        if (characteristic->UUID() == s.Uuid) {
            this->*s.Slot = characteristic;
            validValue |= s.Bit;
            return;
        }
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
    TMessageManager::DefaultManager().SendMessage(nullptr,
                                                  TBleDeviceMessage{event, this, text, para, Serial});
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

void TCorvastelDevice::ReleaseAll() {
    SendReport(TReportType::KeyboardIn, true);
    SendReport(TReportType::Mouse, true);
}

void TCorvastelDevice::SendReport(TReportType rp, bool empty) {
    if (FClosing)
        return;
    if (rp == TReportType::Mouse) {
        // An all-released report is written whatever the session believes the target holds (a
        // dongle that dropped and came back may still hold a button).
        if (empty) {
            if (HidFraming(HidId()) == THidFraming::ReportId || HidFraming(HidId()) == THidFraming::Plain)
                Scheduler.PushMouse({}, true);
            AfterPush();
        } else {
            SendMouseReport(TakeMouseSnapshot());
        }
        return;
    }
    if (rp != TReportType::KeyboardIn)
        return;
    const TUSBDeviceID id = HidId();
    THidReport report = empty ? GetEmptyHidReport(id, rp) : GetHidReport(id, rp);
    NoteLockKeys(report);
    Scheduler.PushKeyboard(std::move(report));
    AfterPush();
}

void TCorvastelDevice::NoteLockKeys(const THidReport& Report) {
    uint8_t down = 0;
    if (Report.size() >= KeyboardPayloadSize) {
        const std::size_t payload = Report.size() - KeyboardPayloadSize;
        for (std::size_t i = payload + KeyboardKeysOffset; i < Report.size(); ++i) {
            switch (Report[i]) {
                case 83:  // Num Lock
                    down |= 1;
                    break;
                case 57:  // Caps Lock
                    down |= 2;
                    break;
                case 71:  // Scroll Lock
                    down |= 4;
                    break;
                default:
                    break;
            }
        }
    }
    const uint8_t pressed = down & static_cast<uint8_t>(~FLockKeysDown);
    FLockKeysDown = down;
    for (uint8_t bit = 1; bit < 8; bit <<= 1) {
        if ((pressed & bit) != 0) {
            ++LightsAwaited;
        }
    }
}

void TCorvastelDevice::SendMouseReport(const TMouseSnapshot& mouse) {
    if (FClosing)
        return;
    // A dongle whose target has no mouse takes no mouse input: it would only pile up.
    const THidFraming framing = HidFraming(HidId());
    if (framing != THidFraming::ReportId && framing != THidFraming::Plain)
        return;
    Scheduler.PushMouse(mouse);
    AfterPush();
}

void TCorvastelDevice::SendKeyboardState(uint8_t modifiers, uint8_t usage) {
    if (FClosing)
        return;
    THidReport report = MakeKeyboardReportFor(HidId(), modifiers, usage);
    NoteLockKeys(report);
    Scheduler.PushKeyboard(std::move(report));
    AfterPush();
}

void TCorvastelDevice::AfterPush() {
    const uint32_t merged = Scheduler.MergedTransitions();
    if (merged != FMergedLogged) {
        std::clog << "Corvastel-" << (Device ? Device->Address() : std::string())
                  << " - send queue full: " << (merged - FMergedLogged)
                  << " key/button transitions merged into the newest state\n";
        FMergedLogged = merged;
    }
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

void TCorvastelDevice::QueueReleases() {
    const TUSBDeviceID id = HidId();
    Scheduler.PushKeyboard(GetEmptyHidReport(id, TReportType::KeyboardIn));
    const THidFraming framing = HidFraming(id);
    if (framing == THidFraming::ReportId || framing == THidFraming::Plain)
        Scheduler.PushMouse({}, true);
}

void TCorvastelDevice::ReleaseBeforeClose() {
    if (!FClosing.exchange(true))
        QueueReleases();
    TrySendReport();
}

bool TCorvastelDevice::ReleasesDelivered() const {
    // Transitions waiting or a write in flight: the releases are not through yet. Motion still
    // merged behind them does not count: nothing is held by it.
    if (!FClosing || Scheduler.PendingTransitions() > 0)
        return false;
    std::lock_guard lock(FLinkLock);
    // A release held behind a motion request is out of the scheduler's hands but not written.
    if (FHeld || FMotionAside)
        return false;
    return std::chrono::steady_clock::now() >= FDeliveredAt;
}

std::chrono::steady_clock::time_point TCorvastelDevice::CloseGivesUpAt(
    std::chrono::steady_clock::time_point asked) const {
    // The grace runs from the request, and again from every write that completes: a link that
    // keeps taking the queued reports is waited for, one that stalls is not. A write with response
    // in flight completes only once everything before it is through, so its answer is waited for
    // longer: a slow link may hold seconds of backlog that a close must not cut off.
    const std::chrono::steady_clock::time_point lastCompletion{
        std::chrono::steady_clock::duration(FLastCompletionNs.load())};
    auto end = std::max(asked, lastCompletion) + DisconnectGrace;
    std::lock_guard lock(FLinkLock);
    // A motion request set aside holds the releases behind it just as much.
    if (FInFlightWithResponse || FMotionAside)
        end = std::max(end, FWithResponseMadeAt + DeliveryProofLimit);
    return end;
}

bool TCorvastelDevice::WaitWhileLinked(
    const std::function<bool()>& done,
    const std::function<std::chrono::steady_clock::time_point()>& deadline) {
    while (!done()) {
        if (!Device || !Device->IsConnected() || std::chrono::steady_clock::now() >= deadline())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void TCorvastelDevice::ReleaseForExit(std::span<TCorvastelDevice* const> sessions,
                                      std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::vector<TCorvastelDevice*> active;
    for (TCorvastelDevice* session : sessions) {
        if (session != nullptr && session->Device != nullptr && session->isActived &&
            session->Device->IsConnected()) {
            session->ReleaseBeforeClose();
            active.push_back(session);
        }
    }
    // All links carry their releases at once: the waits overlap, so the slowest link is waited
    // for, not the sum of them.
    for (TCorvastelDevice* session : active) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        session->WaitReleasesDelivered(std::max(left, std::chrono::milliseconds(0)));
        session->FReleaseWaited = true;
    }
}

bool TCorvastelDevice::WaitReleasesDelivered(std::chrono::milliseconds bound) {
    // The same give-up rule as the send worker's disconnect: a link still completing writes is
    // waited for, a stalled one is not; bound is what the caller can spare at most.
    const auto asked = std::chrono::steady_clock::now();
    const auto end = asked + bound;
    return WaitWhileLinked([this] { return ReleasesDelivered(); },
                           [this, asked, end] { return std::min(end, CloseGivesUpAt(asked)); });
}

void TCorvastelDevice::DisconnectAfterRelease() {
    if (!Device)
        return;
    DisconnectAsked = true;
    if (!isActived || !Device->IsConnected()) {
        FClosing = true;
        Device->Disconnect();
        return;
    }
    if (!FClosing.exchange(true))
        QueueReleases();
    {
        std::lock_guard lock(FWorkerLock);
        FDisconnectPending = true;
        FDisconnectDeadline = std::chrono::steady_clock::now() + DisconnectGrace;
        FAttemptPending = true;
    }
    FWorkerWake.notify_one();
}

bool TCorvastelDevice::WaitSent(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    return WaitWhileLinked([this] { return Sent(); }, [end] { return end; });
}

void TCorvastelDevice::SendWorker() {
    std::unique_lock lock(FWorkerLock);
    const auto woken = [this] { return FAttemptPending || FStopping; };
    const auto graceEnd = [this] { return CloseGivesUpAt(FDisconnectDeadline - DisconnectGrace); };
    while (true) {
        std::optional<std::chrono::steady_clock::time_point> until = FRetryAt;
        if (FDisconnectPending)
            until = until ? std::min(*until, graceEnd()) : graceEnd();
        if (until) {
            FWorkerWake.wait_until(lock, *until, woken);
        } else {
            FWorkerWake.wait(lock, woken);
        }
        if (FStopping)
            return;
        FAttemptPending = false;
        FRetryAt.reset();
        lock.unlock();
        SendStep();
        std::optional<std::chrono::steady_clock::time_point> watch;
        {
            std::lock_guard linkLock(FLinkLock);
            watch = RequestWatchAtLocked();
        }
        lock.lock();
        if (watch)
            FRetryAt = FRetryAt ? std::min(*FRetryAt, *watch) : *watch;
        // A disconnect asked for waits until the releases before it have reached the dongle (or
        // the grace ends).
        if (FDisconnectPending) {
            if (ReleasesDelivered() || std::chrono::steady_clock::now() >= graceEnd()) {
                FDisconnectPending = false;
                lock.unlock();
                Device->Disconnect();
                lock.lock();
            } else if (Scheduler.PendingTransitions() == 0) {
                // Through, but only estimated to be on the air: look again when it should be.
                std::lock_guard linkLock(FLinkLock);
                const auto at = std::max(FDeliveredAt, std::chrono::steady_clock::now());
                FRetryAt = FRetryAt ? std::min(*FRetryAt, at) : at;
            }
        }
    }
}

// One send attempt. Only the send worker runs it, so its steps cannot interleave with another
// attempt of this session; the scheduler hands out nothing while a write is in flight. What the
// scheduler hands out goes to the platform at the pace the link estimator allows: a write without
// response completes as soon as the stack has it, so without that pace the stack would fill.
void TCorvastelDevice::SendStep() {
    if (!Device || !Device->IsConnected())
        return;  // kept for when the link is back; the disconnect ends the session anyway
    if (FSecureLinkWanted.load())
        return;  // kept for the paired link: RetryAfterPairing wakes the worker
    while (true) {
        std::optional<TScheduledReport> report;
        const TBluetoothGattCharacteristic* aside = nullptr;
        bool overdue = false;
        bool holdOn = false;
        const auto now = std::chrono::steady_clock::now();
        {
            std::lock_guard lock(FLinkLock);
            overdue = WatchRequestLocked(now);
            aside = FMotionAside;
            // Written once the motion before it is answered; motion alone goes past an overdue one.
            holdOn = FHeld && aside && !(overdue && IsMotionOnly(*FHeld));
            if (!holdOn)
                report.swap(FHeld);
        }
        PostNoticeChange();
        if (holdOn)
            return;
        // With nothing in flight, what is pending is a key or button transition (or the motion
        // put in front of one); otherwise only merged motion can be waiting. A report held back
        // was handed out as a transition.
        bool transition = report.has_value();
        if (!report) {
            if (Scheduler.InFlight())
                return;
            transition = Scheduler.PendingTransitions() > 0;
            if (aside && !transition && !overdue)
                return;  // more motion waits for the answer to the motion in the stack's hands
            std::chrono::steady_clock::time_point at;
            const TBluetoothGattCharacteristic* keys = GetReportCharacteristic(TReportType::KeyboardIn);
            {
                std::lock_guard lock(FLinkLock);
                FLink.SetKeysWithResponse(keys != nullptr && !keys->Has(PropWriteNoResponse));
                at = FLink.NextWriteAt(transition, now);
                if (at > now && !transition)
                    FLink.Held();
                // Writes failing in a row: the newest states are written again once the back-off
                // has passed, not in a tight loop.
                at = std::max(at, FBackOffUntil);
            }
            if (at > now) {
                std::lock_guard workerLock(FWorkerLock);
                FRetryAt = FRetryAt ? std::min(*FRetryAt, at) : at;
                return;
            }
            report = Scheduler.Next();
            if (!report)
                return;
        }
        const TReportType type =
            report->Kind == TSendKind::Keyboard ? TReportType::KeyboardIn : TReportType::Mouse;
        const THidReport bytes = report->Kind == TSendKind::Keyboard
                                     ? report->Keyboard
                                     : GetMouseHidReport(HidId(), report->Mouse);
        TBluetoothGattCharacteristic* characteristic = GetReportCharacteristic(type);
        // A report with nowhere to go (a mouse report for a dongle bound without char3) is dropped,
        // and the attempt goes on with the next one.
        if (characteristic == nullptr || bytes.empty()) {
            Scheduler.Abandon(report->Ticket);
            continue;
        }
        // With response: where only that is allowed; to measure the link now and then; and for
        // the last transition before a link closed on purpose, whose answer proves delivery.
        const bool lastBeforeClose = FClosing && Scheduler.PendingTransitions() <= 1;
        if (aside) {
            // Only a key written without response on its own characteristic goes past the motion
            // request; the last release before a close waits, so that an answer proves it. Once
            // the request is overdue, motion goes past it too, on its own characteristic as well
            // (a completion there is then taken for the write in flight first; the answer, no
            // sample any more, for whichever comes without one). A button change never passes it.
            const bool noResponse = characteristic->Has(PropWriteNoResponse) && !lastBeforeClose;
            const bool passes =
                noResponse &&
                ((report->Kind == TSendKind::Keyboard && (characteristic != aside || overdue)) ||
                 (overdue && IsMotionOnly(*report)));
            std::lock_guard lock(FLinkLock);
            if (!passes || FMotionAside == nullptr) {
                // The answer may have come meanwhile: the attempt it asked for writes it.
                FHeld = std::move(report);
                if (FMotionAside == nullptr)
                    continue;
                return;
            }
        }
        bool withResponse = !characteristic->Has(PropWriteNoResponse);
        bool goesAside = false;
        {
            std::lock_guard lock(FLinkLock);
            const bool wanted = !aside && (lastBeforeClose || FLink.ProbeDue(transition, now));
            withResponse = withResponse || (wanted && characteristic->Has(PropWrite));
            FLink.Made(withResponse, !transition, now);
            if (aside) {
                FPassedAside = true;
            } else {
                // Motion with response frees the scheduler when a key could pass it.
                TBluetoothGattCharacteristic* keys = GetReportCharacteristic(TReportType::KeyboardIn);
                goesAside = withResponse && !transition && report->Kind == TSendKind::Mouse &&
                            keys != nullptr && keys != characteristic && keys->Has(PropWriteNoResponse);
                if (withResponse) {
                    FWithResponseMadeAt = now;
                    FRequestOverdue = false;
                }
                FInFlightWithResponse = withResponse && !goesAside;
                FInFlightMotion = IsMotionOnly(*report);
                FDeliveredAt =
                    withResponse ? std::chrono::steady_clock::time_point::max() : FLink.DeliveredBy(now);
                if (goesAside) {
                    FMotionAside = characteristic;
                    FPassedAside = false;
                }
            }
            if (!goesAside) {
                // Before the write: its completion may come on another thread before the call
                // returns.
                FTicketInFlight = report->Ticket;
                FCharacteristicInFlight = characteristic;
            }
        }
        // Before the write: its answer may come at once, and must find it aside.
        if (goesAside)
            Scheduler.Abandon(report->Ticket);
        SendDatatBusy = true;
        const std::span<const uint8_t> data(bytes.data(), bytes.size());
        if (withResponse)
            Device->WriteCharacteristicWithResponse(*characteristic, data);
        else
            Device->WriteCharacteristic(*characteristic, data);
        if (!goesAside)
            return;
    }
}

bool TCorvastelDevice::Sent() const {
    {
        std::lock_guard lock(FLinkLock);
        if (FMotionAside || FHeld)
            return false;
    }
    return Scheduler.Idle();
}

void TCorvastelDevice::OnCharacteristicWrite(TBluetoothLEDevice& sender,
                                             TBluetoothGattCharacteristic& characteristic,
                                             uint16_t gattStatus) {
    if ((gattStatus == GattStatusInsufficientAuthentication ||
         gattStatus == GattStatusInsufficientEncryption)) {
        FSecureLinkWanted = true;
        if (!FSecurityRefused.exchange(true))
            SendDeviceMessage(SecurityRefused, Device->Address(), 0);
    }
    // The identity request on char5 is no report: its completion ends nothing of the scheduler's.
    if (&characteristic == char5 && char5 != char1 && char5 != char3)
        return;
    const bool ok = gattStatus == GattStatusSuccess;
    // A round trip the backend's own thread held up says nothing of the link: it is no sample.
    const TLinkEstimator::TAnswer answer = !ok                          ? TLinkEstimator::TAnswer::Failed
                                           : sender.CompletionDelayed() ? TLinkEstimator::TAnswer::Delayed
                                                                        : TLinkEstimator::TAnswer::Ok;
    bool asideAnswered = false;
    {
        // The answer to the motion set aside: while it waits, nothing else is written on its
        // characteristic, so a completion there is that answer.
        std::lock_guard lock(FLinkLock);
        const bool writeHere = FTicketInFlight != 0 && FCharacteristicInFlight == &characteristic;
        if (FMotionAside == &characteristic && !(FRequestOverdue && writeHere)) {
            const auto now = std::chrono::steady_clock::now();
            FMotionAside = nullptr;
            FRequestOverdue = false;
            FLink.Answered(now, answer);
            FDeliveredAt = ok && !FPassedAside ? now : FLink.DeliveredBy(now);
            FPassedAside = false;
            FLastCompletionNs = now.time_since_epoch().count();
            EndNotAnsweringLocked();
            asideAnswered = true;
        }
    }
    if (asideAnswered) {
        PostNoticeChange();
        // A failed motion write is no longer in the scheduler's hands: it counts as a failure
        // reported late, which writes the newest states again.
        if (!ok)
            Scheduler.Completed(0, false);
        TrySendReport();
        return;
    }
    // A completion names only its characteristic. One on the characteristic of the write in
    // flight ends that write, a failed one too: later reports still go out (otherwise one failure
    // would leave every key stuck). Any other is a late report of an earlier write (a write
    // without response that the platform fails after it completed it): it must not end the write
    // in flight, whose own completion is still to come. On the same characteristic the two cannot
    // be told apart; taken for the write in flight, a late failure costs at most a state written
    // once more (the real completion then comes as a late one).
    uint64_t ticket = 0;
    {
        std::lock_guard lock(FLinkLock);
        if (FTicketInFlight != 0 && &characteristic == FCharacteristicInFlight) {
            ticket = FTicketInFlight;
            FTicketInFlight = 0;
            FCharacteristicInFlight = nullptr;
        }
    }
    Scheduler.Completed(ticket, ok);
    SendDatatBusy = Scheduler.InFlight();
    if (ticket != 0) {
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard lock(FLinkLock);
        const int failures = Scheduler.FailuresInARow();
        if (failures > TSendScheduler::MaxResends) {
            // The link keeps failing the newest states: write them again, ever less often.
            const int doublings = std::min(failures - TSendScheduler::MaxResends - 1, 5);
            FBackOffUntil = now + std::min<std::chrono::steady_clock::duration>(
                                      BackOffFirst * (1 << doublings), BackOffLongest);
        }
        if (FInFlightWithResponse) {
            FInFlightWithResponse = false;
            FLink.Answered(now, answer);
            EndNotAnsweringLocked();
            // An answer proves everything before it arrived; a failed one only that the stack is
            // done with it, so the learned link's time stands in.
            FDeliveredAt = ok ? now : FLink.DeliveredBy(now);
        }
    }
    PostNoticeChange();
    FLastCompletionNs = std::chrono::steady_clock::now().time_since_epoch().count();
    TrySendReport();
}

bool TCorvastelDevice::IsMotionOnly(const TScheduledReport& report) {
    return report.Kind == TSendKind::Mouse && !report.Transition;
}

bool TCorvastelDevice::WatchRequestLocked(std::chrono::steady_clock::time_point now) {
    if (FMotionAside == nullptr && !FInFlightWithResponse)
        return false;
    if (!FRequestOverdue && now >= FWithResponseMadeAt + FLink.AnswerBound()) {
        FRequestOverdue = true;
        if (FInFlightWithResponse && FInFlightMotion && FTicketInFlight != 0) {
            // Motion that holds the scheduler: set aside now, so that what may pass it goes (the
            // scheduler holds no write of it any more; its answer is taken as the aside's).
            FMotionAside = FCharacteristicInFlight;
            FPassedAside = false;
            FInFlightWithResponse = false;
            Scheduler.Abandon(FTicketInFlight);
            FTicketInFlight = 0;
            FCharacteristicInFlight = nullptr;
        }
    }
    // Input that must keep its place behind the request: tell the user once it has waited long.
    const int behind = Scheduler.PendingTransitions() - (FTicketInFlight != 0 ? 1 : 0);
    if (!FNotAnswering && now >= FWithResponseMadeAt + NotAnsweringAfter && (FHeld || behind > 0)) {
        FNotAnswering = true;
        FNoticeChange = true;
    }
    return FRequestOverdue && FMotionAside != nullptr;
}

std::optional<std::chrono::steady_clock::time_point> TCorvastelDevice::RequestWatchAtLocked() const {
    if (FMotionAside == nullptr && !FInFlightWithResponse)
        return std::nullopt;
    const auto now = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::time_point> at;
    for (const auto due :
         {FWithResponseMadeAt + FLink.AnswerBound(), FWithResponseMadeAt + NotAnsweringAfter}) {
        if (due > now)
            at = at ? std::min(*at, due) : due;
    }
    return at;
}

void TCorvastelDevice::EndNotAnsweringLocked() {
    if (FNotAnswering) {
        FNotAnswering = false;
        FNoticeChange = true;
    }
}

void TCorvastelDevice::PostNoticeChange() {
    bool notAnswering = false;
    {
        std::lock_guard lock(FLinkLock);
        if (!FNoticeChange)
            return;
        FNoticeChange = false;
        notAnswering = FNotAnswering;
    }
    if (Device)
        SendDeviceMessage(DongleNotAnswering, Device->Address(), notAnswering ? 1 : 0);
}

bool TCorvastelDevice::NotAnswering() const {
    std::lock_guard lock(FLinkLock);
    return FNotAnswering;
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
    if (gattStatus == GattStatusSuccess) {
        ReceiveData(characteristic, value);
        return;
    }
    // A value that failed to arrive never arrives: the information would never complete. A read
    // failed by a link that went down is the disconnect's to report.
    if (FSetupStep.load() != TSetupStep::ReadingInformation || !Device || !Device->IsConnected())
        return;
    const std::pair<const TBluetoothGattCharacteristic*, const char*> names[] = {
        {charSystemID, "System ID"},           {charModelNumber, "Model Number"},
        {charSerialNumber, "Serial Number"},   {charFirmware, "Firmware Revision"},
        {charHardware, "Hardware Revision"},   {charSoftware, "Software Revision"},
        {charManufacture, "Manufacturer Name"}};
    for (const auto& [c, name] : names) {
        if (c == &characteristic) {
            FailSetup(TSetupStep::ReadingInformation,
                      std::string("the dongle did not give its ") + name + " (the read failed)");
            return;
        }
    }
}

void TCorvastelDevice::ReceiveData(TBluetoothGattCharacteristic& characteristic,
                                   std::span<const uint8_t> value) {
    // An abandoned setup takes nothing more: a late reply must not make it active.
    if (FSetupEnded)
        return;
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
        // The process-wide status (LastLedStatus) follows the latest report of any dongle; the
        // session keeps its own dongle's, which a malformed value must not replace with what another
        // dongle reported last.
        const TUSBDeviceID id = HidId();
        ParseLedReport(id, uuid, value);
        if (const auto leds = DecodeLedStatus(id, uuid, value)) {
            // Stored before it counts as reported, so a reader that sees the lights known reads them.
            const uint8_t before = LedStatus.exchange(*leds);
            LedReported = true;
            int awaited = LightsAwaited.load();
            while (awaited > 0 && !LightsAwaited.compare_exchange_weak(awaited, awaited - 1)) {
            }
            if (before != *leds && Device)
                SendDeviceMessage(LedStatusChanged, Device->Address(), *leds);
        }
    } else if (&characteristic == char5) {
        TakeIdentityReply(value);
    }
}

void TCorvastelDevice::TakeIdentityReply(std::span<const uint8_t> value) {
    // Load the step first: the request bytes are written before the step says they were sent.
    const TSetupStep step = FSetupStep.load();
    const bool asked = step == TSetupStep::AwaitingIdentity;
    if (asked && std::equal(value.begin(), value.end(), FIdentityRequest.begin(), FIdentityRequest.end()))
        return;  // the request itself, read back
    const bool replyCode = !value.empty() && (value[0] == IdentityReplyA0 || value[0] == IdentityReplyA1);
    // Other values on this characteristic are status messages; only the answer to our request
    // must be an identity reply.
    if (!replyCode) {
        if (asked)
            FailSetup(step, "it answered the identity request with " + HexBytes(value) +
                                " instead of an identity reply");
        return;
    }
    if (value.size() < IdentityReplySize) {
        if (asked)
            FailSetup(step, "its identity reply is too short (" + HexBytes(value) + ")");
        return;
    }
    const TUSBDeviceID id{static_cast<uint32_t>(value[1] | value[2] << 8),
                          static_cast<uint32_t>(value[3] | value[4] << 8), value[5]};
    // A connected dongle keeps the identity it was set up with when a later reply makes no sense.
    const bool settingUp = step != TSetupStep::Done;
    if (id.vid == 0 && id.pid == 0) {
        if (asked)
            FailSetup(step, "its identity reply names no USB identity (" + HexBytes(value) + ")");
        return;
    }
    if (!IsKnownUsbId(id)) {
        if (settingUp)
            FailSetup(step, "it presents the USB identity " + Hex4(id.vid) + ":" + Hex4(id.pid) +
                                " (version " + std::to_string(id.ver) +
                                "), for which this app cannot build keyboard and mouse reports");
        return;
    }
    SetHidId(id);
    SetSetupStep(TSetupStep::Done);
    // Active before the event says so: the window may handle it before this thread goes on.
    isActived = true;
    SendDeviceMessage(DeviceActived, Device->Address(), 0);
}

void TCorvastelDevice::TrySendDeviceInfoCompleteMessage(uint8_t arrivedBit) {
    // One atomic update per arriving value; exactly the update that completes the set acts, so the
    // event is posted once however the seven reads interleave.
    const uint8_t before = infoValue.fetch_or(arrivedBit);
    FSetupProgress = std::chrono::steady_clock::now().time_since_epoch().count();
    if (before == InfoComplete || static_cast<uint8_t>(before | arrivedBit) != InfoComplete)
        return;
    SendDeviceMessage(DeviceInfoComplete, Device->Address(), 0);
    // An identity that came unasked may have finished the setup already.
    if (FSetupStep.load() == TSetupStep::Done)
        return;
    SetSetupStep(TSetupStep::CheckingFirmware);
    bool asks = false;
    try {
        asks = UpdateSupport();
    } catch (const std::exception& e) {
        FailSetup(TSetupStep::CheckingFirmware,
                  "its firmware version " + Quoted(Firmware) + " is not a version number this app can read",
                  e.what());
        return;
    }
    if (asks) {
        FIdentityRequest = {IdentityRequest, SystemId[6], SystemId[7]};
        SetSetupStep(TSetupStep::AwaitingIdentity);
        if (char5)
            Device->WriteCharacteristic(*char5, FIdentityRequest);
    } else {
        SetHidId(USBID_0451_16B4);
        SetSetupStep(TSetupStep::Done);
        isActived = true;
        SendDeviceMessage(DeviceActived, Device->Address(), 0);
    }
}

void TCorvastelDevice::RetryAfterPairing() {
    FSecurityRefused = false;
    if (FSecureLinkWanted.exchange(false)) {
        {
            std::lock_guard lock(FWorkerLock);
            FAttemptPending = true;
        }
        FWorkerWake.notify_one();
    }
    if (FSetupStep.load() != TSetupStep::AwaitingIdentity || !char5 || !Device)
        return;
    SetSetupStep(TSetupStep::AwaitingIdentity);
    Device->WriteCharacteristic(*char5, FIdentityRequest);
}

void TCorvastelDevice::SetSetupStep(TSetupStep step) {
    FSetupStep = step;
    FSetupProgress = std::chrono::steady_clock::now().time_since_epoch().count();
}

std::chrono::steady_clock::time_point TCorvastelDevice::LastSetupProgress() const {
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(FSetupProgress.load()));
}

TSetupFailure TCorvastelDevice::SetupFailure() const {
    std::lock_guard lock(FSetupLock);
    return FSetupFailure;
}

void TCorvastelDevice::CancelSetup() {
    FSetupEnded = true;
}

void TCorvastelDevice::FailSetup(TSetupStep step, std::string reason, std::string detail) {
    if (FSetupEnded.exchange(true))
        return;
    {
        std::lock_guard lock(FSetupLock);
        FSetupFailure = {step, std::move(reason), std::move(detail)};
    }
    SendDeviceMessage(DeviceSetupFailed, Device->Address(), 0);
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
    return Scheduler.PendingTransitions();
}

TCorvastelDevice::TLinkStats TCorvastelDevice::LinkStats() const {
    const TSendScheduler::TStats stats = Scheduler.Stats();
    TLinkStats out{stats.WriteRoundTripUs, stats.QueueWaitUs, stats.FallingBehind,
                   Scheduler.MergedTransitions()};
    TLinkEstimator::TFigures figures;
    {
        std::lock_guard lock(FLinkLock);
        figures = FLink.Figures(std::chrono::steady_clock::now());
    }
    const auto us = [](TLinkEstimator::TDuration d) {
        return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(d).count());
    };
    if (figures.Measured) {
        // Writes without response complete at once and the session holds reports back on
        // purpose (motion most), so behind means: reports wait far longer than the link's events
        // come.
        out.FallingBehind = stats.QueueWaitUs > 4 * us(figures.Interval) + 10000;
    }
    out.LinkMeasured = figures.Measured;
    out.WritesPerSecond = figures.WritesPerSecond;
    out.IntervalUs = us(figures.Interval);
    out.KeyLatencyUs = us(figures.KeyLatency);
    out.CannotKeepUp = figures.CannotKeepUp;
    out.IdleUs = stats.IdleUs;
    return out;
}

void TCorvastelDevice::SetLinkEstimator(const TLinkEstimator& estimator) {
    std::lock_guard lock(FLinkLock);
    FLink = estimator;
}
