#include "VirtualDongle.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace vdongle {

namespace {

TBytes TextBytes(std::string_view text) {
    return TBytes(text.begin(), text.end());
}

TGattCharacteristicDef Chr(uint16_t u, uint8_t props, TBytes value = {}, bool cccd = false) {
    TGattCharacteristicDef c;
    c.uuid = u;
    c.properties = props;
    c.value = std::move(value);
    if (cccd)
        c.descriptors.push_back({uuid::Cccd, {0x00, 0x00}, 0});
    return c;
}

bool Matches(const TDongleIdentity& id, const TDongleIdentity& known) {
    return id.vid == known.vid && id.pid == known.pid;
}

constexpr uint8_t ShiftMask = 0x22;     // left and right Shift
constexpr uint8_t ShortcutMask = 0xDD;  // Ctrl, Alt and Win on either side

// Lock keys and the keyboard LED each one toggles on the target (boot keyboard LED bits).
constexpr uint8_t UsageCapsLock = 57;
constexpr uint8_t UsageScrollLock = 71;
constexpr uint8_t UsageNumLock = 83;

uint8_t LockLedOf(uint8_t usage) {
    switch (usage) {
        case UsageNumLock:
            return LedNumLock;
        case UsageCapsLock:
            return LedCapsLock;
        case UsageScrollLock:
            return LedScrollLock;
        default:
            return 0;
    }
}

// What a key types on the target in its current lock state: Caps Lock inverts the case of letters
// only, and the keypad's digits and dot type only with Num Lock on (else they are cursor keys).
char TypedCharacter(uint8_t usage, bool shift, uint8_t leds) {
    const bool letter = usage >= 4 && usage <= 29;
    const bool keypadDigit = usage >= 89 && usage <= 99;
    if (keypadDigit && (leds & LedNumLock) == 0)
        return 0;
    return UsCharacter(usage, letter && (leds & LedCapsLock) != 0 ? !shift : shift);
}

// Backspace erases the last character, however many bytes it takes in UTF-8.
void EraseLastCharacter(std::string& text) {
    while (!text.empty()) {
        const unsigned char last = static_cast<unsigned char>(text.back());
        text.pop_back();
        if ((last & 0xC0) != 0x80)
            break;
    }
}

void ReplayKeyboard(TVirtualTarget& t, std::span<const uint8_t> p, const TKeyDecoder* decoder) {
    const bool decoded = decoder != nullptr && *decoder;
    const size_t eventsBefore = t.keyEvents.size();
    const uint8_t mods = p[0];
    std::vector<uint8_t> now;
    for (size_t i = 2; i < 8; ++i) {
        const uint8_t u = p[i];
        // 0 is an empty slot, 1..3 are error codes (roll-over and the like), not keys.
        if (u >= 4 && std::find(now.begin(), now.end(), u) == now.end())
            now.push_back(u);
    }
    for (int bit = 0; bit < 8; ++bit) {
        const bool was = (t.modifiers >> bit) & 1;
        const bool is = (mods >> bit) & 1;
        if (was && !is)
            t.keyEvents.push_back({static_cast<uint8_t>(224 + bit), false});
    }
    for (uint8_t u : t.keysHeld) {
        if (std::find(now.begin(), now.end(), u) == now.end())
            t.keyEvents.push_back({u, false});
    }
    for (int bit = 0; bit < 8; ++bit) {
        const bool was = (t.modifiers >> bit) & 1;
        const bool is = (mods >> bit) & 1;
        if (!was && is)
            t.keyEvents.push_back({static_cast<uint8_t>(224 + bit), true});
    }
    for (uint8_t u : now) {
        if (std::find(t.keysHeld.begin(), t.keysHeld.end(), u) != t.keysHeld.end())
            continue;
        t.keyEvents.push_back({u, true});
        // A lock key toggles its lock on the press, whatever else is held, as a PC keyboard does.
        t.ledStatus ^= LockLedOf(u);
        if (decoded)
            continue;  // decoded below, with every other event of the report
        if ((mods & ShortcutMask) != 0)
            continue;   // a shortcut types nothing
        if (u == 42) {  // Backspace
            if (!t.text.empty())
                t.text.pop_back();
        } else if (char c = TypedCharacter(u, (mods & ShiftMask) != 0, t.ledStatus)) {
            t.text.push_back(c);
        }
    }
    if (decoded) {
        // The layout decides what a key types, AltGr (right Alt) and dead keys included. The lock
        // lights are already those after this report, as the target's driver sets them on the press.
        for (size_t i = eventsBefore; i < t.keyEvents.size(); ++i) {
            const TKeyEvent e = t.keyEvents[i];
            const std::string typed = (*decoder)(e.usage, e.pressed, t.ledStatus);
            if (e.pressed && e.usage == 42) {  // Backspace
                EraseLastCharacter(t.text);
            } else {
                t.text += typed;
            }
        }
    }
    t.modifiers = mods;
    t.keysHeld = std::move(now);
    ++t.keyboardReports;
}

void ReplayMouse(TVirtualTarget& t, std::span<const uint8_t> p) {
    const uint8_t buttons = p[0] & 0x1F;
    for (int bit = 0; bit < 5; ++bit) {
        if (((buttons >> bit) & 1) && !((t.buttons >> bit) & 1))
            t.buttonPresses.push_back(static_cast<uint8_t>(bit + 1));
    }
    t.buttons = buttons;
    t.pointerX += static_cast<int16_t>(static_cast<uint16_t>(p[1] | (p[2] << 8)));
    t.pointerY += static_cast<int16_t>(static_cast<uint16_t>(p[3] | (p[4] << 8)));
    t.wheel += static_cast<int8_t>(p[5]);
    ++t.mouseReports;
}

}  // namespace

bool TGattCharacteristicDef::HasCccd() const {
    return std::any_of(descriptors.begin(), descriptors.end(),
                       [](const auto& d) { return d.uuid == uuid::Cccd; });
}

TFraming FramingOf(const TDongleIdentity& id) {
    if (Matches(id, Identity0451_16B4) || (Matches(id, Identity0451_E010) && id.ver == 0))
        return TFraming::ReportId;
    if (Matches(id, Identity0451_E010) || Matches(id, Identity4348_E010))
        return TFraming::Plain;
    if (Matches(id, Identity045E_002D))
        return TFraming::PlainKeyboard;
    return TFraming::None;
}

const char* SecurityName(TSecurity s) {
    switch (s) {
        case TSecurity::None:
            return "none";
        case TSecurity::Encrypt:
            return "encrypt";
        case TSecurity::Authenticated:
            return "authenticated";
    }
    return "none";
}

const char* FramingName(TFraming f) {
    switch (f) {
        case TFraming::ReportId:
            return "report-id";
        case TFraming::Plain:
            return "plain";
        case TFraming::PlainKeyboard:
            return "plain-keyboard";
        case TFraming::None:
            break;
    }
    return "none";
}

char UsCharacter(uint8_t usage, bool shift) {
    if (usage >= 4 && usage <= 29)
        return static_cast<char>((shift ? 'A' : 'a') + (usage - 4));
    if (usage >= 30 && usage <= 39) {
        static constexpr char plain[] = "1234567890";
        static constexpr char shifted[] = "!@#$%^&*()";
        return (shift ? shifted : plain)[usage - 30];
    }
    if (usage >= 45 && usage <= 56 && usage != 50) {
        static constexpr char plain[] = "-=[]\\#;'`,./";
        static constexpr char shifted[] = "_+{}|~:\"~<>?";
        return (shift ? shifted : plain)[usage - 45];
    }
    switch (usage) {
        case 40:
        case 88:
            return '\n';  // Enter, keypad Enter
        case 43:
            return '\t';
        case 44:
            return ' ';
        case 84:
            return '/';
        case 85:
            return '*';
        case 86:
            return '-';
        case 87:
            return '+';
        case 99:
            return '.';
        case 98:
            return '0';
        default:
            break;
    }
    if (usage >= 89 && usage <= 97)
        return static_cast<char>('1' + (usage - 89));  // keypad, NumLock on
    return 0;
}

bool ReplayReport(TVirtualTarget& target, TFraming framing, uint16_t characteristic,
                  std::span<const uint8_t> bytes, const TKeyDecoder* decoder) {
    target.lastReport.assign(bytes.begin(), bytes.end());
    switch (framing) {
        case TFraming::ReportId:
            if (characteristic == uuid::Reports && bytes.size() == 9 && bytes[0] == 1) {
                ReplayKeyboard(target, bytes.subspan(1), decoder);
                return true;
            }
            if (characteristic == uuid::Reports && bytes.size() == 7 && bytes[0] == 3) {
                ReplayMouse(target, bytes.subspan(1));
                return true;
            }
            break;
        case TFraming::Plain:
        case TFraming::PlainKeyboard:
            if (characteristic == uuid::Reports && bytes.size() == 8) {
                ReplayKeyboard(target, bytes, decoder);
                return true;
            }
            if (framing == TFraming::Plain && characteristic == uuid::MouseReports && bytes.size() == 6) {
                ReplayMouse(target, bytes);
                return true;
            }
            break;
        case TFraming::None:
            break;
    }
    ++target.rejectedReports;
    return false;
}

std::string ToHex(std::span<const uint8_t> bytes) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        if (i)
            s.push_back(' ');
        s += buf;
    }
    return s;
}

std::string Uuid128(uint16_t shortUuid) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "0000%04x-0000-1000-8000-00805f9b34fb", shortUuid);
    return buf;
}

// ---------------------------------------------------------------------------------------------

std::vector<TGattServiceDef> StandardGatt(const std::string& firmware,
                                          const std::array<uint8_t, 8>& systemId) {
    TGattServiceDef info;
    info.uuid = uuid::DeviceInformation;
    info.characteristics = {
        Chr(uuid::SystemId, prop::Read, TBytes(systemId.begin(), systemId.end())),
        Chr(uuid::ModelNumber, prop::Read, TextBytes("CV-1")),
        Chr(uuid::SerialNumber, prop::Read, TextBytes("0001")),
        Chr(uuid::Firmware, prop::Read, TextBytes(firmware)),
        Chr(uuid::Hardware, prop::Read, TextBytes("1.0")),
        Chr(uuid::Software, prop::Read, TextBytes("1.0")),
        Chr(uuid::Manufacturer, prop::Read, TextBytes("Corvastel")),
        // Vendor ID source 1 (Bluetooth SIG), vendor, product, version; little-endian.
        Chr(uuid::PnpId, prop::Read, TBytes{0x01, 0x5D, 0x00, 0x01, 0x00, 0x00, 0x01}),
    };
    TGattServiceDef vendor;
    vendor.uuid = uuid::Vendor;
    vendor.characteristics = {
        Chr(uuid::Reports, prop::Write | prop::WriteNoResponse | prop::Notify, {}, true),
        Chr(uuid::Vendor2, prop::Read | prop::Write, {0x00}),
        Chr(uuid::MouseReports, prop::Write | prop::WriteNoResponse),
        Chr(uuid::Vendor4, prop::Read | prop::Write, {0x00}),
        Chr(uuid::Control, prop::Write | prop::Notify, {}, true),
    };
    return {std::move(info), std::move(vendor)};
}

TDongleConfig TDongleConfig::Standard(std::string name, std::string address, std::string firmware,
                                      TDongleIdentity identity) {
    TDongleConfig c;
    c.name = std::move(name);
    c.address = std::move(address);
    c.identity = identity;
    // Bytes 6 and 7 come back in the identity request; make them differ per address.
    std::array<uint8_t, 8> sysid{0x11, 0x22, 0x33, 0xFE, 0xFF, 0x44, 0x00, 0x00};
    for (char ch : c.address)
        sysid[6] = static_cast<uint8_t>(sysid[6] * 31 + static_cast<uint8_t>(ch));
    sysid[7] = static_cast<uint8_t>(sysid[6] ^ 0x5A);
    c.gatt = StandardGatt(firmware, sysid);
    return c;
}

TGattServiceDef* TDongleConfig::FindService(uint16_t serviceUuid) {
    for (auto& s : gatt) {
        if (s.uuid == serviceUuid)
            return &s;
    }
    return nullptr;
}

TGattCharacteristicDef* TDongleConfig::Find(uint16_t characteristicUuid) {
    for (auto& s : gatt) {
        for (auto& c : s.characteristics) {
            if (c.uuid == characteristicUuid)
                return &c;
        }
    }
    return nullptr;
}

bool TDongleConfig::Remove(uint16_t characteristicUuid) {
    for (auto& s : gatt) {
        auto it = std::find_if(s.characteristics.begin(), s.characteristics.end(),
                               [&](const auto& c) { return c.uuid == characteristicUuid; });
        if (it != s.characteristics.end()) {
            s.characteristics.erase(it);
            return true;
        }
    }
    return false;
}

bool TDongleConfig::RemoveService(uint16_t serviceUuid) {
    auto it = std::find_if(gatt.begin(), gatt.end(), [&](const auto& s) { return s.uuid == serviceUuid; });
    if (it == gatt.end())
        return false;
    gatt.erase(it);
    return true;
}

bool TDongleConfig::SetValue(uint16_t characteristicUuid, TBytes value) {
    auto* c = Find(characteristicUuid);
    if (!c)
        return false;
    c->value = std::move(value);
    return true;
}

bool TDongleConfig::SetText(uint16_t characteristicUuid, std::string_view text) {
    return SetValue(characteristicUuid, TextBytes(text));
}

// ---------------------------------------------------------------------------------------------

TVirtualDongle::TVirtualDongle(TDongleConfig config) : FConfig(std::move(config)) {
    FGatt = FConfig.gatt;
    if (FConfig.makeKeyDecoder)
        FKeyDecoder = FConfig.makeKeyDecoder();
    // ATT-style numbering: service declaration, then per characteristic its declaration, its
    // value (the handle the characteristic is known by) and its descriptors.
    uint16_t h = 1;
    for (auto& s : FGatt) {
        s.handle = h++;
        for (auto& c : s.characteristics) {
            ++h;
            c.handle = h++;
            for (auto& d : c.descriptors)
                d.handle = h++;
        }
    }
}

void TVirtualDongle::SetSink(TDongleSink sink) {
    auto next = std::make_shared<const TDongleSink>(std::move(sink));
    std::lock_guard lock(FSinkLock);
    FSink = std::move(next);
}

std::string TVirtualDongle::Address() const {
    std::lock_guard lock(FLock);
    return FConfig.address;
}

std::string TVirtualDongle::Name() const {
    std::lock_guard lock(FLock);
    return FConfig.name;
}

std::vector<uint16_t> TVirtualDongle::AdvertisedServices() const {
    std::lock_guard lock(FLock);
    return FConfig.advertisedServices;
}

int TVirtualDongle::Rssi() const {
    std::lock_guard lock(FLock);
    return FConfig.rssi;
}

TBytes TVirtualDongle::ScanResponse() const {
    std::lock_guard lock(FLock);
    return FConfig.scanResponse;
}

bool TVirtualDongle::Advertising() const {
    std::lock_guard lock(FLock);
    return FConfig.advertising;
}

bool TVirtualDongle::AdvertisesAny(const std::vector<uint16_t>& services) const {
    std::lock_guard lock(FLock);
    if (!FConfig.advertising)
        return false;
    if (services.empty())
        return true;
    return std::any_of(services.begin(), services.end(), [&](uint16_t u) {
        return std::find(FConfig.advertisedServices.begin(), FConfig.advertisedServices.end(), u) !=
               FConfig.advertisedServices.end();
    });
}

const TGattCharacteristicDef* TVirtualDongle::Characteristic(uint16_t handle) const {
    for (const auto& s : FGatt) {
        for (const auto& c : s.characteristics) {
            if (c.handle == handle)
                return &c;
        }
    }
    return nullptr;
}

uint16_t TVirtualDongle::HandleOf(uint16_t characteristicUuid) const {
    for (const auto& s : FGatt) {
        for (const auto& c : s.characteristics) {
            if (c.uuid == characteristicUuid)
                return c.handle;
        }
    }
    return 0;
}

bool TVirtualDongle::Connect() {
    std::lock_guard lock(FLock);
    if (FConnected)
        return true;
    if (!FConfig.advertising)
        return false;
    FConnected = true;
    FLinkSecurity = FBond.value_or(TLinkSecurity::Open);
    FShownPasskey.reset();
    ++FConnectCount;
    FNotifying.clear();  // a new link starts unsubscribed (no bonding)
    FAir.clear();
    FLinkUp = std::chrono::steady_clock::now();
    FLastSlot = {};
    FSlotUsed = 0;
    return true;
}

bool TVirtualDongle::Connected() const {
    std::lock_guard lock(FLock);
    return FConnected;
}

void TVirtualDongle::Disconnect() {
    std::vector<std::pair<uint16_t, TBytes>> notes;
    {
        std::lock_guard lock(FLock);
        // Closing a link discards what the central's stack still queues: only what the next
        // connection event carries (already in the controller) reaches the dongle before the link
        // goes. A write without response confirmed by the stack is no write delivered.
        const auto now = std::chrono::steady_clock::now();
        const auto lastEvent = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                         FConfig.connectionInterval.count() > 0 ? FConfig.connectionInterval
                                                                                : FConfig.writeDelay);
        DeliverLocked(lastEvent, notes);
        FAir.clear();
        FConnected = false;
        FNotifying.clear();
        FLinkSecurity = TLinkSecurity::Open;
        FShownPasskey.reset();
    }
    // The link is closed: notifications caused by the last writes go nowhere.
}

void TVirtualDongle::DropLink() {
    {
        std::lock_guard lock(FLock);
        if (!FConnected)
            return;
        FConnected = false;
        FNotifying.clear();
        FAir.clear();  // lost with the link
        FLinkSecurity = TLinkSecurity::Open;
        FShownPasskey.reset();
    }
    std::shared_ptr<const TDongleSink> sink;
    {
        std::lock_guard lock(FSinkLock);
        sink = FSink;
    }
    if (sink && sink->OnLinkDropped)
        sink->OnLinkDropped();
}

std::optional<TBytes> TVirtualDongle::Read(uint16_t handle) const {
    std::lock_guard lock(FLock);
    const auto* c = Characteristic(handle);
    if (!FConnected || !c || !c->Has(prop::Read) || SecurityRefusalLocked(*c) != GattSuccess)
        return std::nullopt;
    if (std::find(FConfig.failingReads.begin(), FConfig.failingReads.end(), c->uuid) !=
        FConfig.failingReads.end())
        return std::nullopt;
    return c->value;
}

TBytes TVirtualDongle::IdentityReplyLocked() const {
    if (FConfig.identityReply)
        return *FConfig.identityReply;
    const auto& id = FConfig.identity;
    return TBytes{FConfig.identityReplyCode,         static_cast<uint8_t>(id.vid & 0xFF),
                  static_cast<uint8_t>(id.vid >> 8), static_cast<uint8_t>(id.pid & 0xFF),
                  static_cast<uint8_t>(id.pid >> 8), id.ver};
}

TWriteOutcome TVirtualDongle::Write(uint16_t handle, std::span<const uint8_t> bytes, TWriteKind kind) {
    std::vector<std::pair<uint16_t, TBytes>> notes;
    TWriteOutcome outcome;
    {
        std::lock_guard lock(FLock);
        const auto now = std::chrono::steady_clock::now();
        outcome.delay = FConfig.writeDelay;
        const auto* c = Characteristic(handle);
        const uint8_t needed = kind == TWriteKind::Command ? prop::WriteNoResponse : prop::Write;
        if (!FConnected || !c || !c->Has(needed)) {
            // Never reaches the dongle: the stack refuses it.
            outcome.status = GattFailure;
            return outcome;
        }
        TWriteRecord rec;
        rec.seq = ++FSeq;
        rec.kind = kind;
        rec.characteristic = c->uuid;
        rec.handle = handle;
        rec.bytes.assign(bytes.begin(), bytes.end());
        rec.madeAt = now;
        bool apply = true;
        if (const uint16_t refusal = SecurityRefusalLocked(*c); refusal != GattSuccess) {
            // The dongle answers a request at once and ignores a command; neither reaches the
            // target, nor does it take a place on the air.
            rec.status = refusal;
            rec.arrivedAt = {};
            FWrites.push_back(std::move(rec));
            outcome.status = refusal;
            outcome.delay = {};
            return outcome;
        }
        if (FFailWrites > 0) {
            --FFailWrites;
            rec.status = FFailStatus;
            outcome.status = FFailStatus;
            apply = false;
        }
        FWrites.push_back(std::move(rec));

        if (kind == TWriteKind::Request)
            TakeAnswerFateLocked(outcome);
        const bool air =
            FConfig.connectionInterval.count() > 0 || FConfig.writeDelay.count() > 0 || FAirStallUntil > now;
        if (!air) {
            FWrites.back().arrivedAt = now;
            if (apply)
                ApplyLocked(*c, bytes, notes);
            outcome.delay = {};
        } else {
            const auto arrival = AirSlotLocked(now);
            FAir.push_back({FSeq, handle, TBytes(bytes.begin(), bytes.end()), apply, arrival});
            outcome.delay = std::chrono::ceil<std::chrono::microseconds>(arrival - now);
        }
    }
    Emit(notes);
    return outcome;
}

std::chrono::steady_clock::time_point TVirtualDongle::AirSlotLocked(
    std::chrono::steady_clock::time_point now) {
    if (FConfig.connectionInterval.count() <= 0) {
        // No connection events: one write after the other, each taking the write delay.
        const auto start = std::max({now, FLastSlot, FAirStallUntil});
        FLastSlot = start + FConfig.writeDelay;
        return FLastSlot;
    }
    // The first connection event at or after the write (and not before the writes made earlier).
    const auto interval =
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(FConfig.connectionInterval);
    const auto from = std::max({now, FLastSlot, FAirStallUntil});
    const auto events = (from - FLinkUp + interval - std::chrono::steady_clock::duration(1)) / interval;
    auto slot = FLinkUp + events * interval;
    if (slot == FLastSlot && FSlotUsed >= std::max(1, FConfig.packetsPerEvent))
        slot += interval;
    if (slot == FLastSlot) {
        ++FSlotUsed;
    } else {
        FLastSlot = slot;
        FSlotUsed = 1;
    }
    return slot;
}

void TVirtualDongle::ArriveLocked(uint64_t seq, std::chrono::steady_clock::time_point at) {
    for (auto it = FWrites.rbegin(); it != FWrites.rend(); ++it) {
        if (it->seq == seq) {
            it->arrivedAt = at;
            return;
        }
    }
}

void TVirtualDongle::DeliverLocked(std::chrono::steady_clock::time_point upTo,
                                   std::vector<std::pair<uint16_t, TBytes>>& notes) {
    const auto now = std::chrono::steady_clock::now();
    size_t done = 0;
    for (; done < FAir.size() && FAir[done].arrival <= upTo; ++done) {
        const TOnAir& w = FAir[done];
        ArriveLocked(w.seq, std::max(now, w.arrival));
        const auto* c = Characteristic(w.handle);
        if (w.apply && c && FConnected)
            ApplyLocked(*c, w.bytes, notes);
    }
    FAir.erase(FAir.begin(), FAir.begin() + static_cast<std::ptrdiff_t>(done));
}

void TVirtualDongle::DeliverDue() {
    std::vector<std::pair<uint16_t, TBytes>> notes;
    {
        std::lock_guard lock(FLock);
        DeliverLocked(std::chrono::steady_clock::now(), notes);
    }
    Emit(notes);
}

void TVirtualDongle::ApplyLocked(const TGattCharacteristicDef& c, std::span<const uint8_t> bytes,
                                 std::vector<std::pair<uint16_t, TBytes>>& notes) {
    if (c.uuid == uuid::Control) {
        if (FConfig.answersIdentity && bytes.size() >= 3 && bytes[0] == 0xA1) {
            const auto* sys = [&]() -> const TGattCharacteristicDef* {
                for (const auto& s : FGatt)
                    for (const auto& ch : s.characteristics)
                        if (ch.uuid == uuid::SystemId)
                            return &ch;
                return nullptr;
            }();
            const uint8_t s6 = sys && sys->value.size() >= 8 ? sys->value[6] : 0;
            const uint8_t s7 = sys && sys->value.size() >= 8 ? sys->value[7] : 0;
            if (!FConfig.checkRequestSystemId || (bytes[1] == s6 && bytes[2] == s7)) {
                NotifyLocked(uuid::Control, IdentityReplyLocked(), notes);
            }
        }
    } else if (c.uuid == uuid::Reports || c.uuid == uuid::MouseReports) {
        const uint8_t ledsBefore = FTarget.ledStatus;
        ReplayReport(FTarget, FramingOf(FConfig.identity), c.uuid, bytes, &FKeyDecoder);
        // The target's host sets its keyboard LEDs after a lock key; the dongle passes that on.
        if (FTarget.ledStatus != ledsBefore)
            NotifyLedLocked(FTarget.ledStatus, notes);
    }
}

bool TVirtualDongle::WriteDescriptor(uint16_t descriptorHandle, std::span<const uint8_t> bytes) {
    std::lock_guard lock(FLock);
    if (!FConnected)
        return false;
    for (const auto& s : FGatt) {
        for (const auto& c : s.characteristics) {
            for (const auto& d : c.descriptors) {
                if (d.handle != descriptorHandle)
                    continue;
                if (d.uuid == uuid::Cccd) {
                    const bool on = !bytes.empty() && (bytes[0] & 0x03) != 0;
                    auto it = std::find(FNotifying.begin(), FNotifying.end(), c.handle);
                    if (on && it == FNotifying.end())
                        FNotifying.push_back(c.handle);
                    if (!on && it != FNotifying.end())
                        FNotifying.erase(it);
                }
                return true;
            }
        }
    }
    return false;
}

std::optional<TBytes> TVirtualDongle::ReadDescriptor(uint16_t descriptorHandle) const {
    std::lock_guard lock(FLock);
    if (!FConnected)
        return std::nullopt;
    for (const auto& s : FGatt) {
        for (const auto& c : s.characteristics) {
            for (const auto& d : c.descriptors) {
                if (d.handle != descriptorHandle)
                    continue;
                if (d.uuid != uuid::Cccd)
                    return d.value;
                const bool on = std::find(FNotifying.begin(), FNotifying.end(), c.handle) != FNotifying.end();
                return TBytes{static_cast<uint8_t>(on ? 0x01 : 0x00), 0x00};
            }
        }
    }
    return std::nullopt;
}

bool TVirtualDongle::SetNotifying(uint16_t handle, bool enable) {
    std::lock_guard lock(FLock);
    const auto* c = Characteristic(handle);
    if (!FConnected || !c || !(c->Has(prop::Notify) || c->Has(prop::Indicate)))
        return false;
    auto it = std::find(FNotifying.begin(), FNotifying.end(), handle);
    if (enable && it == FNotifying.end())
        FNotifying.push_back(handle);
    if (!enable && it != FNotifying.end())
        FNotifying.erase(it);
    return true;
}

bool TVirtualDongle::Notifying(uint16_t handle) const {
    std::lock_guard lock(FLock);
    return std::find(FNotifying.begin(), FNotifying.end(), handle) != FNotifying.end();
}

bool TVirtualDongle::NotifyLocked(uint16_t characteristicUuid, TBytes value,
                                  std::vector<std::pair<uint16_t, TBytes>>& out) {
    const uint16_t h = HandleOf(characteristicUuid);
    if (!FConnected || h == 0 || std::find(FNotifying.begin(), FNotifying.end(), h) == FNotifying.end())
        return false;
    out.emplace_back(h, std::move(value));
    return true;
}

void TVirtualDongle::Emit(const std::vector<std::pair<uint16_t, TBytes>>& notes) {
    if (notes.empty())
        return;
    std::shared_ptr<const TDongleSink> sink;
    {
        std::lock_guard lock(FSinkLock);
        sink = FSink;
    }
    if (!sink || !sink->OnNotify)
        return;
    for (const auto& [handle, value] : notes) {
        const auto* c = Characteristic(handle);
        sink->OnNotify(handle, c ? c->uuid : 0, value);
    }
}

bool TVirtualDongle::NotifyLedLocked(uint8_t leds, std::vector<std::pair<uint16_t, TBytes>>& out) {
    switch (FramingOf(FConfig.identity)) {
        case TFraming::ReportId:
            return NotifyLocked(uuid::Reports, TBytes{0x01, leds}, out);
        case TFraming::Plain:
        case TFraming::PlainKeyboard:
            return NotifyLocked(uuid::Reports, TBytes{leds}, out);
        case TFraming::None:
            break;
    }
    return false;
}

bool TVirtualDongle::NotifyLedStatus(uint8_t leds) {
    std::vector<std::pair<uint16_t, TBytes>> notes;
    bool sent = false;
    {
        std::lock_guard lock(FLock);
        FTarget.ledStatus = leds;
        sent = NotifyLedLocked(leds, notes);
    }
    Emit(notes);
    return sent;
}

bool TVirtualDongle::NotifyIdentity() {
    std::vector<std::pair<uint16_t, TBytes>> notes;
    bool sent;
    {
        std::lock_guard lock(FLock);
        sent = NotifyLocked(uuid::Control, IdentityReplyLocked(), notes);
    }
    Emit(notes);
    return sent;
}

bool TVirtualDongle::Notify(uint16_t characteristicUuid, TBytes value) {
    std::vector<std::pair<uint16_t, TBytes>> notes;
    bool sent;
    {
        std::lock_guard lock(FLock);
        sent = NotifyLocked(characteristicUuid, std::move(value), notes);
    }
    Emit(notes);
    return sent;
}

void TVirtualDongle::SetWriteDelay(std::chrono::microseconds delay) {
    std::lock_guard lock(FLock);
    FConfig.writeDelay = delay;
}

std::chrono::microseconds TVirtualDongle::WriteDelay() const {
    std::lock_guard lock(FLock);
    return FConfig.writeDelay;
}

std::chrono::microseconds TVirtualDongle::ConnectionInterval() const {
    std::lock_guard lock(FLock);
    return FConfig.connectionInterval;
}

void TVirtualDongle::SetConnectionEvents(std::chrono::microseconds interval, int packetsPerEvent) {
    std::lock_guard lock(FLock);
    FConfig.connectionInterval = interval;
    FConfig.packetsPerEvent = std::max(1, packetsPerEvent);
}

// ---- pairing and link security

TSecurity TVirtualDongle::Security() const {
    std::lock_guard lock(FLock);
    return FConfig.security;
}

TLinkSecurity TVirtualDongle::LinkSecurity() const {
    std::lock_guard lock(FLock);
    return FLinkSecurity;
}

bool TVirtualDongle::Bonded() const {
    std::lock_guard lock(FLock);
    return FBond.has_value();
}

bool TVirtualDongle::InVendorServiceLocked(uint16_t handle) const {
    for (const auto& s : FGatt) {
        if (s.uuid != uuid::Vendor)
            continue;
        for (const auto& c : s.characteristics) {
            if (c.handle == handle)
                return true;
        }
    }
    return false;
}

uint16_t TVirtualDongle::SecurityRefusalLocked(const TGattCharacteristicDef& c) const {
    if (FConfig.security == TSecurity::None || !InVendorServiceLocked(c.handle))
        return GattSuccess;
    if (FLinkSecurity == TLinkSecurity::Open)
        return FConfig.security == TSecurity::Encrypt ? GattInsufficientEncryption
                                                      : GattInsufficientAuthentication;
    if (FConfig.security == TSecurity::Authenticated && FLinkSecurity != TLinkSecurity::Authenticated)
        return GattInsufficientAuthentication;
    return GattSuccess;
}

uint16_t TVirtualDongle::SecurityRefusal(uint16_t handle) const {
    std::lock_guard lock(FLock);
    const auto* c = Characteristic(handle);
    return c ? SecurityRefusalLocked(*c) : GattSuccess;
}

bool TVirtualDongle::PairJustWorks() {
    std::lock_guard lock(FLock);
    if (!FConnected || FConfig.security == TSecurity::Authenticated)
        return false;
    FShownPasskey.reset();
    if (FLinkSecurity == TLinkSecurity::Open)
        FLinkSecurity = TLinkSecurity::Encrypted;
    FBond = FLinkSecurity;
    return true;
}

std::optional<uint32_t> TVirtualDongle::StartPasskeyPairing() {
    std::lock_guard lock(FLock);
    if (!FConnected)
        return std::nullopt;
    if (FConfig.passkey) {
        FShownPasskey = *FConfig.passkey % 1000000;
    } else {
        // A new passkey for every pairing; tests read it from the dongle's display, so it need
        // not be unguessable here, only different each time.
        FPasskeySeed = FPasskeySeed * 1103515245u + 12345u +
                       static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        FShownPasskey = (FPasskeySeed >> 8) % 1000000;
    }
    return FShownPasskey;
}

std::optional<uint32_t> TVirtualDongle::ShownPasskey() const {
    std::lock_guard lock(FLock);
    return FShownPasskey;
}

bool TVirtualDongle::FinishPasskeyPairing(uint32_t entered) {
    std::lock_guard lock(FLock);
    if (!FConnected || !FShownPasskey)
        return false;
    const bool same = *FShownPasskey == entered;
    FShownPasskey.reset();
    if (!same)
        return false;
    FLinkSecurity = TLinkSecurity::Authenticated;
    FBond = FLinkSecurity;
    return true;
}

void TVirtualDongle::CancelPairing() {
    std::lock_guard lock(FLock);
    FShownPasskey.reset();
}

void TVirtualDongle::ForgetBond() {
    std::lock_guard lock(FLock);
    FBond.reset();
}

TWriteOutcome WriteAsBluez(TVirtualDongle& dongle, uint16_t handle, std::span<const uint8_t> bytes,
                           TWriteKind kind, bool* pairedNow) {
    if (pairedNow)
        *pairedNow = false;
    TWriteOutcome outcome = dongle.Write(handle, bytes, kind);
    // bluetoothd 5.66 (src/shared/att.c, change_security): an Insufficient Encryption answer to a
    // request raises the link to medium security, which pairs without a question when this side
    // starts it, and the request goes again once.
    if (kind == TWriteKind::Request && outcome.status == GattInsufficientEncryption &&
        dongle.PairJustWorks()) {
        if (pairedNow)
            *pairedNow = true;
        outcome = dongle.Write(handle, bytes, kind);
    }
    return outcome;
}

uint16_t ReadAsBluez(TVirtualDongle& dongle, uint16_t handle, std::optional<TBytes>* value, bool* pairedNow) {
    if (pairedNow)
        *pairedNow = false;
    uint16_t refusal = dongle.SecurityRefusal(handle);
    if (refusal == GattInsufficientEncryption && dongle.PairJustWorks()) {
        if (pairedNow)
            *pairedNow = true;
        refusal = dongle.SecurityRefusal(handle);
    }
    if (refusal != GattSuccess) {
        *value = std::nullopt;
        return refusal;
    }
    *value = dongle.Read(handle);
    return *value ? GattSuccess : GattFailure;
}

// ---- bad moments

void TVirtualDongle::StallAir(std::chrono::microseconds duration) {
    std::lock_guard lock(FLock);
    FAirStallUntil = std::chrono::steady_clock::now() + duration;
}

void TVirtualDongle::DelayNextAnswer(std::chrono::microseconds late) {
    std::lock_guard lock(FLock);
    FNextAnswerLate = late;
}

void TVirtualDongle::LoseNextAnswer() {
    std::lock_guard lock(FLock);
    FLoseNextAnswer = true;
}

void TVirtualDongle::TakeAnswerFateLocked(TWriteOutcome& outcome) {
    outcome.answerLate = std::exchange(FNextAnswerLate, std::chrono::microseconds{0});
    outcome.answered = !std::exchange(FLoseNextAnswer, false);
}

void TVirtualDongle::FailNextWrites(int count, uint16_t status) {
    std::lock_guard lock(FLock);
    FFailWrites = count;
    FFailStatus = status;
}

void TVirtualDongle::SetAdvertising(bool on) {
    std::lock_guard lock(FLock);
    FConfig.advertising = on;
}

void TVirtualDongle::SetIdentity(TDongleIdentity id) {
    std::lock_guard lock(FLock);
    FConfig.identity = id;
}

std::string TVirtualDongle::Layout() const {
    std::lock_guard lock(FLock);
    return FConfig.layout;
}

std::string TVirtualDongle::System() const {
    std::lock_guard lock(FLock);
    return FConfig.system;
}

TDongleIdentity TVirtualDongle::Identity() const {
    std::lock_guard lock(FLock);
    return FConfig.identity;
}

std::vector<TWriteRecord> TVirtualDongle::Writes() const {
    std::lock_guard lock(FLock);
    return FWrites;
}

TVirtualTarget TVirtualDongle::Target() const {
    std::lock_guard lock(FLock);
    return FTarget;
}

int TVirtualDongle::ConnectCount() const {
    std::lock_guard lock(FLock);
    return FConnectCount;
}

void TVirtualDongle::ClearRecords() {
    std::lock_guard lock(FLock);
    FWrites.clear();
    // The lock state is the target's, not a record: forgetting it would make the target's LEDs
    // disagree with what the dongle last told the central.
    const uint8_t leds = FTarget.ledStatus;
    FTarget = {};
    FTarget.ledStatus = leds;
    // The decoder's held keys and dead key went with the target's.
    if (FConfig.makeKeyDecoder)
        FKeyDecoder = FConfig.makeKeyDecoder();
}

// ---------------------------------------------------------------------------------------------

std::shared_ptr<TVirtualDongle> TVirtualRadio::AddDongle(TDongleConfig config) {
    auto d = std::make_shared<TVirtualDongle>(std::move(config));
    std::lock_guard lock(FLock);
    FDongles.push_back(d);
    return d;
}

bool TVirtualRadio::RemoveDongle(const std::string& address) {
    std::shared_ptr<TVirtualDongle> gone;
    {
        std::lock_guard lock(FLock);
        auto it = std::find_if(FDongles.begin(), FDongles.end(),
                               [&](const auto& d) { return d->Address() == address; });
        if (it == FDongles.end())
            return false;
        gone = *it;
        FDongles.erase(it);
    }
    gone->DropLink();
    return true;
}

std::shared_ptr<TVirtualDongle> TVirtualRadio::Find(const std::string& address) const {
    std::lock_guard lock(FLock);
    for (const auto& d : FDongles) {
        if (d->Address() == address)
            return d;
    }
    return nullptr;
}

std::vector<std::shared_ptr<TVirtualDongle>> TVirtualRadio::Dongles() const {
    std::lock_guard lock(FLock);
    return FDongles;
}

std::vector<std::shared_ptr<TVirtualDongle>> TVirtualRadio::Scan(
    const std::vector<uint16_t>& services) const {
    std::lock_guard lock(FLock);
    std::vector<std::shared_ptr<TVirtualDongle>> found;
    if (!FPresent)
        return found;
    for (const auto& d : FDongles) {
        if (d->AdvertisesAny(services))
            found.push_back(d);
    }
    return found;
}

void TVirtualRadio::SetPresent(bool present) {
    std::vector<std::shared_ptr<TVirtualDongle>> all;
    {
        std::lock_guard lock(FLock);
        FPresent = present;
        if (!present)
            all = FDongles;
    }
    for (const auto& d : all)
        d->DropLink();
}

bool TVirtualRadio::Present() const {
    std::lock_guard lock(FLock);
    return FPresent;
}

}  // namespace vdongle
