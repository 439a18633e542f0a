#include "VirtualDongle.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

using namespace vdongle;

namespace {

// A dongle connected to a recording front.
struct Front {
    std::shared_ptr<TVirtualDongle> dongle;
    std::mutex lock;
    std::vector<std::pair<uint16_t, TBytes>> notes;  // characteristic uuid, value
    int drops = 0;

    explicit Front(TDongleConfig cfg) : dongle(std::make_shared<TVirtualDongle>(std::move(cfg))) {
        dongle->SetSink({[this](uint16_t, uint16_t c, const TBytes& v) {
                             std::lock_guard l(lock);
                             notes.emplace_back(c, v);
                         },
                         [this] {
                             std::lock_guard l(lock);
                             ++drops;
                         }});
        EXPECT_TRUE(dongle->Connect());
    }
    uint16_t H(uint16_t characteristicUuid) const {
        for (const auto& s : dongle->Gatt())
            for (const auto& c : s.characteristics)
                if (c.uuid == characteristicUuid)
                    return c.handle;
        return 0;
    }
    TWriteOutcome Write(uint16_t u, TBytes b, TWriteKind k = TWriteKind::Request) {
        return dongle->Write(H(u), b, k);
    }
    void Subscribe(uint16_t u) { ASSERT_TRUE(dongle->SetNotifying(H(u), true)); }
};

TBytes SysId(const TVirtualDongle& d) {
    for (const auto& s : d.Gatt())
        for (const auto& c : s.characteristics)
            if (c.uuid == uuid::SystemId)
                return c.value;
    return {};
}

// Keyboard report for a framing: report ID 1 in front when framed so.
TBytes Kbd(TFraming f, uint8_t mods, std::vector<uint8_t> keys) {
    TBytes b{mods, 0, 0, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < keys.size(); ++i)
        b[2 + i] = keys[i];
    if (f == TFraming::ReportId)
        b.insert(b.begin(), 0x01);
    return b;
}

TBytes Mouse(TFraming f, uint8_t buttons, int16_t x, int16_t y, int8_t wheel) {
    const auto ux = static_cast<uint16_t>(x), uy = static_cast<uint16_t>(y);
    TBytes b{buttons,
             static_cast<uint8_t>(ux),
             static_cast<uint8_t>(ux >> 8),
             static_cast<uint8_t>(uy),
             static_cast<uint8_t>(uy >> 8),
             static_cast<uint8_t>(wheel)};
    if (f == TFraming::ReportId)
        b.insert(b.begin(), 0x03);
    return b;
}

}  // namespace

TEST(VirtualDongleGatt, StandardDatabaseHasAttStyleHandlesAndTheVendorFlags) {
    TVirtualDongle d(TDongleConfig::Standard());
    const auto& g = d.Gatt();
    ASSERT_EQ(g.size(), 2u);
    EXPECT_EQ(g[0].uuid, uuid::DeviceInformation);
    EXPECT_EQ(g[0].characteristics.size(), 8u);
    EXPECT_EQ(g[1].uuid, uuid::Vendor);
    std::vector<uint16_t> handles;
    for (const auto& s : g) {
        handles.push_back(s.handle);
        for (const auto& c : s.characteristics) {
            handles.push_back(c.handle);
            for (const auto& de : c.descriptors)
                handles.push_back(de.handle);
        }
    }
    for (size_t i = 1; i < handles.size(); ++i)
        EXPECT_LT(handles[i - 1], handles[i]);
    const auto* f801 = &g[1].characteristics[0];
    EXPECT_EQ(f801->uuid, uuid::Reports);
    EXPECT_TRUE(f801->Has(prop::Write) && f801->Has(prop::WriteNoResponse) && f801->Has(prop::Notify));
    EXPECT_TRUE(f801->HasCccd());
    EXPECT_TRUE(g[1].characteristics[4].HasCccd());
    EXPECT_EQ(g[1].characteristics[4].uuid, uuid::Control);
    EXPECT_EQ(SysId(d).size(), 8u);
    EXPECT_EQ(Uuid128(uuid::Reports), "0000f801-0000-1000-8000-00805f9b34fb");
}

TEST(VirtualDongleGatt, ConfigurationEditsTheDatabase) {
    auto cfg = TDongleConfig::Standard("x", "AA:BB:CC:DD:EE:FF", "1.1.9");
    EXPECT_TRUE(cfg.Remove(uuid::MouseReports));
    EXPECT_FALSE(cfg.Remove(uuid::MouseReports));
    EXPECT_TRUE(cfg.SetText(uuid::ModelNumber, std::string("M\0", 2)));
    cfg.Find(uuid::Reports)
        ->descriptors.insert(cfg.Find(uuid::Reports)->descriptors.begin(),
                             TGattDescriptorDef{uuid::UserDescription, {'k'}, 0});
    Front f(cfg);
    EXPECT_EQ(f.H(uuid::MouseReports), 0);
    EXPECT_EQ(*f.dongle->Read(f.H(uuid::ModelNumber)), (TBytes{'M', 0}));
    EXPECT_EQ(*f.dongle->Read(f.H(uuid::Firmware)), (TBytes{'1', '.', '1', '.', '9'}));
    EXPECT_FALSE(f.dongle->Read(f.H(uuid::Reports)).has_value()) << "not readable";
    EXPECT_EQ(f.dongle->Characteristic(f.H(uuid::Reports))->descriptors[0].uuid, uuid::UserDescription);
}

TEST(VirtualDongleIdentity, AnswersTheRequestWithItsIdentityLittleEndian) {
    struct Case {
        TDongleIdentity id;
        uint8_t code;
        TBytes reply;
    } cases[] = {
        {Identity0451_16B4, 0xA1, {0xA1, 0x51, 0x04, 0xB4, 0x16, 0x00}},
        {{0x0451, 0xE010, 2}, 0xA0, {0xA0, 0x51, 0x04, 0x10, 0xE0, 0x02}},
        {Identity4348_E010, 0xA1, {0xA1, 0x48, 0x43, 0x10, 0xE0, 0x00}},
        {{0x1234, 0x5678, 0xFF}, 0xA1, {0xA1, 0x34, 0x12, 0x78, 0x56, 0xFF}},
    };
    for (const auto& c : cases) {
        auto cfg = TDongleConfig::Standard("d", "00:00:00:00:00:01", "1.2.0", c.id);
        cfg.identityReplyCode = c.code;
        Front f(cfg);
        f.Subscribe(uuid::Control);
        const TBytes sys = SysId(*f.dongle);
        EXPECT_EQ(f.Write(uuid::Control, {0xA1, sys[6], sys[7]}).status, GattSuccess);
        ASSERT_EQ(f.notes.size(), 1u);
        EXPECT_EQ(f.notes[0].first, uuid::Control);
        EXPECT_EQ(ToHex(f.notes[0].second), ToHex(c.reply));
        ASSERT_EQ(f.dongle->Writes().size(), 1u);
        EXPECT_EQ(f.dongle->Writes()[0].characteristic, uuid::Control);
    }
}

TEST(VirtualDongleIdentity, StaysSilentWhenItShould) {
    auto base = TDongleConfig::Standard();
    const TBytes sys = TVirtualDongle(base).Gatt()[0].characteristics[0].value;
    struct Case {
        const char* what;
        bool subscribe;
        bool answers;
        TBytes request;
    } cases[] = {
        {"not subscribed", false, true, {0xA1, sys[6], sys[7]}},
        {"older firmware", true, false, {0xA1, sys[6], sys[7]}},
        {"other System ID", true, true, {0xA1, static_cast<uint8_t>(sys[6] + 1), sys[7]}},
        {"other code", true, true, {0xA0, sys[6], sys[7]}},
        {"short request", true, true, {0xA1, sys[6]}},
    };
    for (const auto& c : cases) {
        auto cfg = base;
        cfg.answersIdentity = c.answers;
        Front f(cfg);
        if (c.subscribe)
            f.Subscribe(uuid::Control);
        f.Write(uuid::Control, c.request);
        EXPECT_TRUE(f.notes.empty()) << c.what;
    }
    // A System ID shorter than 8 bytes makes the request carry zeros; that is still answered.
    auto cfg = base;
    cfg.SetValue(uuid::SystemId, {1, 2, 3, 4, 5, 6});
    Front f(cfg);
    f.Subscribe(uuid::Control);
    f.Write(uuid::Control, {0xA1, 0x00, 0x00});
    EXPECT_EQ(f.notes.size(), 1u);
}

TEST(VirtualDongleIdentity, SubscribingThroughTheCccdAndUnaskedReplies) {
    Front f(TDongleConfig::Standard());
    const auto* ctl = f.dongle->Characteristic(f.H(uuid::Control));
    const uint16_t cccd = ctl->descriptors[0].handle;
    EXPECT_FALSE(f.dongle->NotifyIdentity());
    EXPECT_EQ(*f.dongle->ReadDescriptor(cccd), (TBytes{0x00, 0x00}));
    EXPECT_TRUE(f.dongle->WriteDescriptor(cccd, TBytes{0x01, 0x00}));
    EXPECT_TRUE(f.dongle->Notifying(ctl->handle));
    EXPECT_EQ(*f.dongle->ReadDescriptor(cccd), (TBytes{0x01, 0x00}));
    EXPECT_TRUE(f.dongle->NotifyIdentity());
    EXPECT_TRUE(f.dongle->Notify(uuid::Control, {0x91}));
    EXPECT_TRUE(f.dongle->WriteDescriptor(cccd, TBytes{0x00, 0x00}));
    EXPECT_FALSE(f.dongle->NotifyIdentity());
    ASSERT_EQ(f.notes.size(), 2u);
    EXPECT_EQ(f.notes[1].second, TBytes{0x91});
    EXPECT_FALSE(f.dongle->SetNotifying(f.H(uuid::Vendor2), true)) << "0xF802 cannot notify";
}

TEST(VirtualDongleLed, StatusIsFramedForTheIdentity) {
    struct Case {
        TDongleIdentity id;
        TBytes value;
    } cases[] = {
        {Identity0451_16B4, {0x01, 0x05}},
        {{0x0451, 0xE010, 1}, {0x05}},
        {Identity045E_002D, {0x05}},
    };
    for (const auto& c : cases) {
        Front f(TDongleConfig::Standard("d", "00:00:00:00:00:02", "1.2.0", c.id));
        EXPECT_FALSE(f.dongle->NotifyLedStatus(5)) << "not subscribed yet";
        f.Subscribe(uuid::Reports);
        EXPECT_TRUE(f.dongle->NotifyLedStatus(5));
        ASSERT_EQ(f.notes.size(), 1u);
        EXPECT_EQ(f.notes[0].first, uuid::Reports);
        EXPECT_EQ(f.notes[0].second, c.value);
        EXPECT_EQ(f.dongle->Target().ledStatus, 5);
    }
}

// The target behaves like a PC: lock keys toggle its locks on the press (holding or repeating a
// report does not toggle again), typed letters follow Caps Lock (Shift inverts it), the keypad's
// digits type only with Num Lock, and each change goes back to the central as the LED status
// framed for the identity.
TEST(VirtualTargetLocks, LockKeysToggleLedsTextFollowsAndTheDongleNotifies) {
    for (const TDongleIdentity id : {Identity0451_16B4, TDongleIdentity{0x0451, 0xE010, 1}}) {
        const TFraming f = FramingOf(id);
        SCOPED_TRACE(FramingName(f));
        Front front(TDongleConfig::Standard("d", "00:00:00:00:00:03", "1.2.0", id));
        front.Subscribe(uuid::Reports);
        const auto type = [&](uint8_t mods, std::vector<uint8_t> keys) {
            front.Write(uuid::Reports, Kbd(f, mods, std::move(keys)));
            front.Write(uuid::Reports, Kbd(f, 0, {}));
        };
        const auto led = [&](uint8_t leds) {
            return f == TFraming::ReportId ? TBytes{0x01, leds} : TBytes{leds};
        };

        type(0, {0x04});                                    // a
        type(0, {0x59});                                    // keypad 1, Num Lock off: a cursor key
        front.Write(uuid::Reports, Kbd(f, 0, {57}));        // Caps Lock down ...
        front.Write(uuid::Reports, Kbd(f, 0, {57, 0x05}));  // ... still held with b: no second toggle
        front.Write(uuid::Reports, Kbd(f, 0, {}));
        type(0x02, {0x06});  // Shift+c with Caps Lock: c
        type(0, {0x1E});     // 1: digits ignore Caps Lock
        type(0, {83});       // Num Lock on
        type(0, {0x59});     // keypad 1 types now
        type(0, {71});       // Scroll Lock on
        type(0, {57});       // Caps Lock off
        type(0, {0x07});     // d

        const TVirtualTarget t = front.dongle->Target();
        EXPECT_EQ(t.text, "aBc11d");
        EXPECT_EQ(t.ledStatus, LedNumLock | LedScrollLock);
        std::vector<TBytes> sent;
        for (const auto& [c, v] : front.notes)
            if (c == uuid::Reports)
                sent.push_back(v);
        const std::vector<TBytes> expected{led(0x02), led(0x03), led(0x07), led(0x05)};
        EXPECT_EQ(sent, expected);

        front.dongle->ClearRecords();
        EXPECT_EQ(front.dongle->Target().ledStatus, LedNumLock | LedScrollLock) << "a lock is no record";
    }
}

// The same session of input, framed for each identity, must leave the target in the same state.
TEST(VirtualTargetReplay, DecodesKeyboardAndMouseForEveryFraming) {
    struct Case {
        TDongleIdentity id;
        uint16_t mouseChar;
        bool hasMouse;
    } cases[] = {
        {Identity0451_16B4, uuid::Reports, true},        {Identity0451_E010, uuid::Reports, true},
        {{0x0451, 0xE010, 1}, uuid::MouseReports, true}, {Identity4348_E010, uuid::MouseReports, true},
        {Identity045E_002D, uuid::MouseReports, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(FramingName(FramingOf(c.id)));
        const TFraming fr = FramingOf(c.id);
        Front f(TDongleConfig::Standard("d", "00:00:00:00:00:03", "1.2.0", c.id));
        auto key = [&](uint8_t mods, std::vector<uint8_t> keys) {
            EXPECT_EQ(f.Write(uuid::Reports, Kbd(fr, mods, keys), TWriteKind::Command).status, GattSuccess);
        };
        // "Hi!" then Backspace: Shift+h, i, Shift+1, Backspace; a Ctrl chord types nothing.
        key(0x02, {});
        key(0x02, {0x0B});
        key(0x00, {});
        key(0x00, {0x0C});
        key(0x20, {0x0C, 0x1E});  // right Shift with i still held, then 1
        key(0x00, {});
        key(0x00, {0x2A});
        key(0x00, {});
        key(0x01, {0x06});  // Ctrl+C
        key(0x01, {0x06, 0x04, 0x05});
        auto t = f.dongle->Target();
        EXPECT_EQ(t.text, "Hi");
        EXPECT_EQ(t.keysHeld, (std::vector<uint8_t>{0x06, 0x04, 0x05}));
        EXPECT_EQ(t.modifiers, 0x01);
        key(0x00, {});
        t = f.dongle->Target();
        EXPECT_FALSE(t.AnyKeyHeld());
        EXPECT_EQ(t.keyboardReports, 11);
        EXPECT_EQ(t.keyEvents.front(), (TKeyEvent{225, true}));
        EXPECT_EQ(t.keyEvents.back(), (TKeyEvent{0x05, false}));

        f.Write(c.mouseChar, Mouse(fr, 0x01, 2047, -2047, 0), TWriteKind::Command);
        f.Write(c.mouseChar, Mouse(fr, 0x05, -47, 7, -15), TWriteKind::Command);
        f.Write(c.mouseChar, Mouse(fr, 0x00, 0, 0, 3), TWriteKind::Command);
        t = f.dongle->Target();
        if (c.hasMouse) {
            EXPECT_EQ(t.pointerX, 2000);
            EXPECT_EQ(t.pointerY, -2040);
            EXPECT_EQ(t.wheel, -12);
            EXPECT_EQ(t.buttonPresses, (std::vector<uint8_t>{1, 3}));
            EXPECT_EQ(t.buttons, 0);
            EXPECT_EQ(t.mouseReports, 3);
            EXPECT_EQ(t.rejectedReports, 0);
        } else {
            EXPECT_EQ(t.mouseReports, 0);
            EXPECT_EQ(t.rejectedReports, 3);
        }
    }
}

TEST(VirtualTargetReplay, RejectsWhatIsNoReportUnderTheFraming) {
    struct Case {
        TFraming framing;
        uint16_t characteristic;
        TBytes bytes;
    } cases[] = {
        {TFraming::ReportId, uuid::Reports, Kbd(TFraming::Plain, 0, {4})},    // plain into a framed target
        {TFraming::ReportId, uuid::Reports, {0x02, 0, 0, 0, 0, 0, 0, 0, 0}},  // unknown report ID
        {TFraming::ReportId, uuid::MouseReports, Mouse(TFraming::ReportId, 1, 1, 1, 0)},
        {TFraming::Plain, uuid::Reports, Kbd(TFraming::ReportId, 0, {4})},     // 9 bytes
        {TFraming::Plain, uuid::Reports, Mouse(TFraming::Plain, 1, 1, 1, 0)},  // mouse on 0xF801
        {TFraming::PlainKeyboard, uuid::MouseReports, Mouse(TFraming::Plain, 1, 1, 1, 0)},
        {TFraming::None, uuid::Reports, Kbd(TFraming::Plain, 0, {4})},
        {TFraming::Plain, uuid::Reports, {}},
    };
    for (const auto& c : cases) {
        TVirtualTarget t;
        EXPECT_FALSE(ReplayReport(t, c.framing, c.characteristic, c.bytes)) << ToHex(c.bytes);
        EXPECT_EQ(t.rejectedReports, 1);
        EXPECT_FALSE(t.AnyInputHeld());
        EXPECT_TRUE(t.text.empty());
    }
}

TEST(VirtualTargetReplay, UsLayout) {
    EXPECT_EQ(UsCharacter(0x04, false), 'a');
    EXPECT_EQ(UsCharacter(0x1D, true), 'Z');
    EXPECT_EQ(UsCharacter(0x27, false), '0');
    EXPECT_EQ(UsCharacter(0x1F, true), '@');
    EXPECT_EQ(UsCharacter(0x34, true), '"');
    EXPECT_EQ(UsCharacter(0x38, true), '?');
    EXPECT_EQ(UsCharacter(0x35, false), '`');
    EXPECT_EQ(UsCharacter(0x28, false), '\n');
    EXPECT_EQ(UsCharacter(0x2C, true), ' ');
    EXPECT_EQ(UsCharacter(0x3A, false), 0) << "F1 types nothing";
    EXPECT_EQ(UsCharacter(0xE1, false), 0);
}

TEST(VirtualDongleLink, WritesAreRecordedInOrderWithTheirKindAndFate) {
    Front f(TDongleConfig::Standard());
    f.dongle->SetWriteDelay(std::chrono::seconds(1));
    f.dongle->FailNextWrites(2);
    const TBytes k = Kbd(TFraming::ReportId, 0, {4});
    EXPECT_EQ(f.Write(uuid::Reports, k, TWriteKind::Command).status, GattFailure);
    EXPECT_EQ(f.Write(uuid::Reports, k, TWriteKind::Request).status, GattFailure);
    const auto ok = f.Write(uuid::Reports, k, TWriteKind::Request);
    EXPECT_EQ(ok.status, GattSuccess);
    // Each write takes the write delay of air time after the one before it (the failed ones too).
    EXPECT_GT(ok.delay, std::chrono::seconds(2));
    EXPECT_LE(ok.delay, std::chrono::seconds(3));
    // Refused by the stack, never on air: no write-without-response on 0xF80F, unknown handle.
    EXPECT_EQ(f.Write(uuid::Control, {0xA1, 0, 0}, TWriteKind::Command).status, GattFailure);
    EXPECT_EQ(f.dongle->Write(0xFFFF, k, TWriteKind::Request).status, GattFailure);

    const auto w = f.dongle->Writes();
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0].seq, 1u);
    EXPECT_EQ(w[0].kind, TWriteKind::Command);
    EXPECT_EQ(w[0].status, GattFailure);
    EXPECT_EQ(w[1].kind, TWriteKind::Request);
    EXPECT_EQ(w[2].status, GattSuccess);
    EXPECT_EQ(w[2].bytes, k);
    EXPECT_EQ(w[2].characteristic, uuid::Reports);
    f.dongle->DeliverDue();
    EXPECT_EQ(f.dongle->Target().keyboardReports, 0) << "still on the air";
    f.dongle->Disconnect();  // only what the next second of air carries goes before the link does
    EXPECT_EQ(f.dongle->Target().keyboardReports, 0) << "failed writes are not replayed, later ones are lost";
    f.dongle->ClearRecords();
    EXPECT_TRUE(f.dongle->Writes().empty());
    EXPECT_FALSE(f.dongle->Target().AnyKeyHeld());
}

TEST(VirtualDongleLink, ConnectionEventsCarryTheirPacketsInOrderAndADropLosesWhatIsOnTheAir) {
    using std::chrono::seconds;
    Front f(TDongleConfig::Standard());
    // Long intervals, so that the test's own pace cannot move a write to another event.
    f.dongle->SetConnectionEvents(seconds(1), 2);
    std::vector<std::chrono::microseconds> delays;
    for (uint8_t i = 0; i < 5; ++i) {
        const auto outcome = f.Write(uuid::Reports, Kbd(TFraming::ReportId, 0, {static_cast<uint8_t>(4 + i)}),
                                     TWriteKind::Command);
        ASSERT_EQ(outcome.status, GattSuccess);
        delays.push_back(outcome.delay);
    }
    // Two per event: the first event to come, the one after, the one after that.
    const auto eventOf = [](std::chrono::microseconds d) { return (d.count() - 1) / 1'000'000; };
    EXPECT_EQ(eventOf(delays[0]), 0);
    EXPECT_EQ(eventOf(delays[1]), 0);
    EXPECT_EQ(eventOf(delays[2]), 1);
    EXPECT_EQ(eventOf(delays[3]), 1);
    EXPECT_EQ(eventOf(delays[4]), 2);
    f.dongle->DeliverDue();
    EXPECT_EQ(f.dongle->Target().keyboardReports, 0) << "nothing arrives before its event";
    for (const auto& w : f.dongle->Writes())
        EXPECT_EQ(w.arrivedAt, std::chrono::steady_clock::time_point{});

    // Closing the link: the next event still carries its two, the stack's queue is lost.
    f.dongle->Disconnect();
    const auto writes = f.dongle->Writes();
    ASSERT_EQ(writes.size(), 5u);
    EXPECT_LE(writes[0].arrivedAt, writes[1].arrivedAt);
    EXPECT_NE(writes[1].arrivedAt, std::chrono::steady_clock::time_point{});
    EXPECT_EQ(writes[2].arrivedAt, std::chrono::steady_clock::time_point{});
    EXPECT_EQ(f.dongle->Target().keyboardReports, 2);
    EXPECT_EQ(f.dongle->Target().text, "ab");

    ASSERT_TRUE(f.dongle->Connect());
    f.dongle->ClearRecords();
    f.Write(uuid::Reports, Kbd(TFraming::ReportId, 0, {4}), TWriteKind::Command);
    f.dongle->DropLink();
    EXPECT_EQ(f.dongle->Target().keyboardReports, 0) << "a dropped link loses what was on the air";
    EXPECT_EQ(f.dongle->Writes()[0].arrivedAt, std::chrono::steady_clock::time_point{});
}

TEST(VirtualDongleLink, DropsConnectsAndAdvertising) {
    Front f(TDongleConfig::Standard());
    f.Subscribe(uuid::Reports);
    f.dongle->DropLink();
    f.dongle->DropLink();  // already down: nothing more
    EXPECT_EQ(f.drops, 1);
    EXPECT_FALSE(f.dongle->Connected());
    EXPECT_EQ(f.Write(uuid::Reports, Kbd(TFraming::ReportId, 0, {})).status, GattFailure);
    EXPECT_FALSE(f.dongle->Read(f.H(uuid::Firmware)).has_value());

    EXPECT_TRUE(f.dongle->Connect());
    EXPECT_FALSE(f.dongle->Notifying(f.H(uuid::Reports))) << "a new link starts unsubscribed";
    f.dongle->Disconnect();
    EXPECT_EQ(f.drops, 1) << "the central's own disconnect is no drop";
    f.dongle->SetAdvertising(false);
    EXPECT_FALSE(f.dongle->Connect());
    EXPECT_EQ(f.dongle->ConnectCount(), 2);
}

TEST(VirtualRadioTest, ScanFilterRemovalAndPower) {
    TVirtualRadio radio;
    auto a = radio.AddDongle(TDongleConfig::Standard("a", "00:00:00:00:00:0A"));
    auto bcfg = TDongleConfig::Standard("b", "00:00:00:00:00:0B");
    bcfg.advertisedServices = {0x1812};
    auto b = radio.AddDongle(bcfg);
    auto c = radio.AddDongle(TDongleConfig::Standard("c", "00:00:00:00:00:0C"));
    c->SetAdvertising(false);

    EXPECT_EQ(radio.Scan({uuid::Vendor}), (std::vector<std::shared_ptr<TVirtualDongle>>{a}));
    EXPECT_EQ(radio.Scan({}).size(), 2u);
    EXPECT_EQ(radio.Find("00:00:00:00:00:0B"), b);

    int drops = 0;
    a->SetSink({nullptr, [&] { ++drops; }});
    b->SetSink({nullptr, [&] { ++drops; }});
    ASSERT_TRUE(a->Connect());
    ASSERT_TRUE(b->Connect());
    radio.SetPresent(false);
    EXPECT_EQ(drops, 2);
    EXPECT_TRUE(radio.Scan({}).empty());
    radio.SetPresent(true);
    ASSERT_TRUE(a->Connect());
    EXPECT_TRUE(radio.RemoveDongle("00:00:00:00:00:0A"));
    EXPECT_EQ(drops, 3);
    EXPECT_EQ(radio.Find("00:00:00:00:00:0A"), nullptr);
}

// A target on another layout: its decoder sees every key event of a report in order (modifier
// presses before the key, with the lock lights after the report), decides what a press types, and
// Backspace erases one character however many UTF-8 bytes it took. Clearing the records starts a
// fresh decoder, as the target's held keys went.
TEST(VirtualTargetReplay, ADecoderOfTheTargetsLayoutMakesTheText) {
    struct TSeen {
        std::vector<TKeyEvent> events;
        std::vector<uint8_t> leds;
        int decoders = 0;
    };
    auto seen = std::make_shared<TSeen>();
    TDongleConfig config = TDongleConfig::Standard("d", "00:00:00:00:00:04", "1.2.0", Identity0451_16B4);
    config.layout = "xx";
    config.makeKeyDecoder = [seen]() -> TKeyDecoder {
        ++seen->decoders;
        return [seen](uint8_t usage, bool pressed, uint8_t leds) -> std::string {
            seen->events.push_back({usage, pressed});
            seen->leds.push_back(leds);
            if (!pressed)
                return {};
            return usage == 0x04 ? "\xC3\xA9" : usage == 0x05 ? "b" : "";  // a types é, b types b
        };
    };
    Front front(config);
    EXPECT_EQ(front.dongle->Layout(), "xx");
    const TFraming f = TFraming::ReportId;
    front.Write(uuid::Reports, Kbd(f, 0x40, {0x04}));  // right Alt + a: the layout decides
    front.Write(uuid::Reports, Kbd(f, 0, {}));
    front.Write(uuid::Reports, Kbd(f, 0, {0x05}));
    front.Write(uuid::Reports, Kbd(f, 0, {0x2A}));      // Backspace: b goes
    front.Write(uuid::Reports, Kbd(f, 0, {0x2A, 57}));  // Caps Lock too, and Backspace still held
    front.Write(uuid::Reports, Kbd(f, 0, {}));
    front.Write(uuid::Reports, Kbd(f, 0, {0x2A}));  // é goes, both of its bytes
    front.Write(uuid::Reports, Kbd(f, 0, {}));
    const std::vector<TKeyEvent> expected{{230, true},   {0x04, true},  {230, false}, {0x04, false},
                                          {0x05, true},  {0x05, false}, {0x2A, true}, {57, true},
                                          {0x2A, false}, {57, false},   {0x2A, true}, {0x2A, false}};
    EXPECT_EQ(seen->events, expected);
    EXPECT_EQ(seen->leds[7], LedCapsLock) << "the lock light as the report leaves it";
    EXPECT_EQ(front.dongle->Target().text, "");
    front.Write(uuid::Reports, Kbd(f, 0, {0x04}));
    EXPECT_EQ(front.dongle->Target().text, "\xC3\xA9");
    EXPECT_EQ(seen->decoders, 1);
    front.dongle->ClearRecords();
    EXPECT_EQ(seen->decoders, 2);
}

// ---- security

TEST(VirtualDongleSecurity, EachDemandRefusesTheVendorServiceOnAnOpenLinkWithItsOwnError) {
    struct Row {
        TSecurity security;
        uint16_t refusal;
    };
    for (const Row& row :
         {Row{TSecurity::None, GattSuccess}, Row{TSecurity::Encrypt, GattInsufficientEncryption},
          Row{TSecurity::Authenticated, GattInsufficientAuthentication}}) {
        SCOPED_TRACE(SecurityName(row.security));
        auto cfg = TDongleConfig::Standard();
        cfg.security = row.security;
        cfg.Find(uuid::Vendor2)->properties |= prop::Read;
        Front f(cfg);
        const TBytes a = Kbd(TFraming::ReportId, 0, {0x04});
        EXPECT_EQ(f.Write(uuid::Reports, a, TWriteKind::Command).status, row.refusal);
        EXPECT_EQ(f.Write(uuid::Reports, a, TWriteKind::Request).status, row.refusal);
        EXPECT_EQ(f.dongle->SecurityRefusal(f.H(uuid::Vendor2)), row.refusal);
        EXPECT_EQ(f.dongle->Read(f.H(uuid::Vendor2)).has_value(), row.refusal == GattSuccess);
        // Device Information stays open to anyone.
        EXPECT_TRUE(f.dongle->Read(f.H(uuid::Firmware)).has_value());
        // Refused writes are recorded with their error, and nothing reaches the target.
        const auto writes = f.dongle->Writes();
        ASSERT_EQ(writes.size(), 2u);
        EXPECT_EQ(writes[0].status, row.refusal);
        EXPECT_EQ(f.dongle->Target().keyboardReports, row.refusal == GattSuccess ? 2 : 0);
    }
}

TEST(VirtualDongleSecurity, JustWorksOpensAnEncryptDongleOnlyAndTheBondOutlivesTheLink) {
    auto cfg = TDongleConfig::Standard();
    cfg.security = TSecurity::Encrypt;
    Front f(cfg);
    const TBytes a = Kbd(TFraming::ReportId, 0, {0x04});
    bool paired = false;
    EXPECT_EQ(WriteAsBluez(*f.dongle, f.H(uuid::Reports), a, TWriteKind::Command, &paired).status,
              GattInsufficientEncryption);
    EXPECT_FALSE(paired) << "a command raises no security";
    EXPECT_EQ(WriteAsBluez(*f.dongle, f.H(uuid::Reports), a, TWriteKind::Request, &paired).status,
              GattSuccess);
    EXPECT_TRUE(paired);
    EXPECT_EQ(f.dongle->LinkSecurity(), TLinkSecurity::Encrypted);
    EXPECT_TRUE(f.dongle->Bonded());
    f.dongle->Disconnect();
    EXPECT_EQ(f.dongle->LinkSecurity(), TLinkSecurity::Open);
    ASSERT_TRUE(f.dongle->Connect());
    EXPECT_EQ(f.dongle->LinkSecurity(), TLinkSecurity::Encrypted) << "the bond encrypts the new link";
    f.dongle->ForgetBond();
    f.dongle->Disconnect();
    ASSERT_TRUE(f.dongle->Connect());
    EXPECT_EQ(f.Write(uuid::Reports, a).status, GattInsufficientEncryption);

    auto authCfg = TDongleConfig::Standard();
    authCfg.security = TSecurity::Authenticated;
    Front g(authCfg);
    EXPECT_EQ(WriteAsBluez(*g.dongle, g.H(uuid::Reports), a, TWriteKind::Request, &paired).status,
              GattInsufficientAuthentication);
    EXPECT_FALSE(paired);
    EXPECT_FALSE(g.dongle->PairJustWorks());
    EXPECT_FALSE(g.dongle->Bonded());
}

TEST(VirtualDongleSecurity, PasskeyPairingNeedsTheShownPasskey) {
    auto cfg = TDongleConfig::Standard();
    cfg.security = TSecurity::Authenticated;
    Front f(cfg);
    const TBytes a = Kbd(TFraming::ReportId, 0, {0x04});

    const auto shown = f.dongle->StartPasskeyPairing();
    ASSERT_TRUE(shown.has_value());
    EXPECT_LT(*shown, 1000000u);
    EXPECT_EQ(f.dongle->ShownPasskey(), shown);
    EXPECT_FALSE(f.dongle->FinishPasskeyPairing((*shown + 1) % 1000000));
    EXPECT_FALSE(f.dongle->ShownPasskey().has_value()) << "a wrong passkey ends the pairing";
    EXPECT_FALSE(f.dongle->Bonded());
    EXPECT_EQ(f.Write(uuid::Reports, a).status, GattInsufficientAuthentication);

    const auto again = f.dongle->StartPasskeyPairing();
    ASSERT_TRUE(again.has_value());
    f.dongle->DropLink();
    EXPECT_FALSE(f.dongle->ShownPasskey().has_value()) << "a drop abandons the pairing";
    ASSERT_TRUE(f.dongle->Connect());

    const auto third = f.dongle->StartPasskeyPairing();
    ASSERT_TRUE(third.has_value());
    EXPECT_TRUE(f.dongle->FinishPasskeyPairing(*third));
    EXPECT_EQ(f.dongle->LinkSecurity(), TLinkSecurity::Authenticated);
    EXPECT_EQ(f.Write(uuid::Reports, a).status, GattSuccess);
    EXPECT_EQ(f.dongle->Target().keysHeld, std::vector<uint8_t>{0x04});
}
namespace {

TEST(VirtualDongleLink, BadMoments_AnAirStallHoldsWhatIsMadeDuringIt_ALateOrLostAnswerHitsOneRequest) {
    using std::chrono::seconds;
    Front f(TDongleConfig::Standard());
    // No connection events: a write arrives at once, unless the air stalls.
    f.dongle->StallAir(seconds(100));
    const auto stalled = f.Write(uuid::Reports, Kbd(TFraming::ReportId, 0, {4}), TWriteKind::Command);
    EXPECT_GT(stalled.delay, seconds(99));
    f.dongle->DeliverDue();
    EXPECT_EQ(f.dongle->Target().keyboardReports, 0) << "nothing crosses a stalled air";

    Front g(TDongleConfig::Standard());
    g.dongle->DelayNextAnswer(seconds(2));
    g.Write(uuid::Reports, Kbd(TFraming::ReportId, 0, {4}), TWriteKind::Command);  // has no answer
    const auto late = g.Write(uuid::Reports, Kbd(TFraming::ReportId, 0, {}));
    g.dongle->LoseNextAnswer();
    const auto lost = g.Write(uuid::Reports, Kbd(TFraming::ReportId, 0, {5}));
    const auto normal = g.Write(uuid::Reports, Kbd(TFraming::ReportId, 0, {}));
    const std::vector<std::pair<std::chrono::microseconds, bool>> fates{{late.answerLate, late.answered},
                                                                        {lost.answerLate, lost.answered},
                                                                        {normal.answerLate, normal.answered}};
    EXPECT_EQ(fates, (std::vector<std::pair<std::chrono::microseconds, bool>>{
                         {seconds(2), true}, {seconds(0), false}, {seconds(0), true}}));
    // Late or lost, each request reached the target on time.
    EXPECT_EQ(g.dongle->Target().text, "ab");
}

}  // namespace
