#include "device/UnitCorvastelDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "device/MessageBus.h"
#include "platform/GeneralError.h"
#include "platform/ble/fake/FakeBluetoothLE.h"

using namespace std::chrono_literals;
namespace vd = vdongle;

namespace {

// A dongle whose characteristics take writes with response only.
vd::TDongleConfig RequestOnly(vd::TDongleConfig config) {
    for (auto& service : config.gatt) {
        for (auto& c : service.characteristics)
            c.properties &= static_cast<uint8_t>(~vd::prop::WriteNoResponse);
    }
    return config;
}

struct TSeenEvent {
    uint8_t event;
    std::string text;
    uint32_t para;
    bool activeWhenSeen;
    TCorvastelDevice* session;
};

// Records every device event on the bus, with whether its session was active at that moment.
class TEventRecorder {
  public:
    TEventRecorder() {
        FId = TMessageManager::DefaultManager().Subscribe<TBleDeviceMessage>(
            [this](const TMessage<TBleDeviceMessage>& m) {
                const auto& v = m.Value();
                {
                    std::lock_guard l(FLock);
                    FEvents.push_back({v.event, v.text, v.para, v.cvDev->isActived.load(), v.cvDev});
                }
                FChanged.notify_all();
            });
    }
    ~TEventRecorder() { TMessageManager::DefaultManager().Unsubscribe<TBleDeviceMessage>(FId); }

    std::vector<TSeenEvent> Events() const {
        std::lock_guard l(FLock);
        return FEvents;
    }
    std::vector<uint8_t> Codes(const TCorvastelDevice* session = nullptr) const {
        std::vector<uint8_t> codes;
        for (const auto& e : Events()) {
            if (!session || e.session == session)
                codes.push_back(e.event);
        }
        return codes;
    }
    bool WaitFor(uint8_t code, const TCorvastelDevice* session, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock l(FLock);
        return FChanged.wait_for(l, timeout, [&] {
            return std::any_of(FEvents.begin(), FEvents.end(),
                               [&](const TSeenEvent& e) { return e.event == code && e.session == session; });
        });
    }

  private:
    int FId;
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<TSeenEvent> FEvents;
};

class TRecordingUi : public TDeviceUi {
  public:
    void ShowMessageAndWait(const std::string& text) override { messages.push_back(text); }
    std::vector<std::string> messages;
};

class TErrorRecorder {
  public:
    TErrorRecorder() {
        FPrevious = SetGeneralErrorReporter([this](const std::string& m) {
            std::lock_guard l(FLock);
            FErrors.push_back(m);
        });
    }
    ~TErrorRecorder() { SetGeneralErrorReporter(FPrevious); }
    std::vector<std::string> Errors() const {
        std::lock_guard l(FLock);
        return FErrors;
    }

  private:
    TGeneralErrorReporter FPrevious;
    mutable std::mutex FLock;
    std::vector<std::string> FErrors;
};

constexpr uint8_t KeyA = 4;

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetInputStateForTests(); }
    void TearDown() override {
        sessions.clear();  // before the central: sessions detach from its devices
        ResetInputStateForTests();
    }

    std::shared_ptr<vd::TVirtualDongle> AddDongle(vd::TDongleConfig config) {
        return central.AddDongle(config);
    }

    TCorvastelDevice& Connect(const std::string& address) {
        sessions.push_back(std::make_unique<TCorvastelDevice>(&ui));
        sessions.back()->InitData(&central.Device(address));
        return *sessions.back();
    }

    // Connects and waits until the session is active.
    TCorvastelDevice& ConnectActive(const std::string& address) {
        TCorvastelDevice& s = Connect(address);
        EXPECT_TRUE(events.WaitFor(DeviceActived, &s)) << address << " never became active";
        EXPECT_TRUE(central.WaitIdle());
        return s;
    }

    // Waits until the dongle has recorded n writes and everything in flight has completed. The
    // session's send worker is not the central's, so the central being idle is not enough.
    bool WaitWrites(const vd::TVirtualDongle& d, size_t n) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (d.Writes().size() < n) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(20ms);  // a write too many would show up by now
        return central.WaitIdle();
    }

    static std::vector<vd::TWriteRecord> WritesTo(const vd::TVirtualDongle& d, uint16_t characteristic) {
        std::vector<vd::TWriteRecord> out;
        for (const auto& w : d.Writes()) {
            if (w.characteristic == characteristic)
                out.push_back(w);
        }
        return out;
    }

    TErrorRecorder errors;
    TEventRecorder events;
    TRecordingUi ui;
    TFakeBluetoothLEManager central;
    std::vector<std::unique_ptr<TCorvastelDevice>> sessions;
};

// ---------------------------------------------------------------------------------------------
// Binding

struct TBindingCase {
    const char* name;
    std::vector<uint16_t> removed;  // characteristics taken out of the standard database
    bool extraDeviceInfoCharacteristic;
    uint8_t validValue;
    bool accepted;
};

class BindingTest : public SessionTest, public ::testing::WithParamInterface<TBindingCase> {};

TEST_P(BindingTest, AcceptsOnlyACompleteSetOfCharacteristics) {
    const TBindingCase& c = GetParam();
    auto config = vd::TDongleConfig::Standard("Corvastel-B", "C0:FF:EE:00:00:10");
    for (uint16_t uuid : c.removed)
        ASSERT_TRUE(config.Remove(uuid)) << uuid;
    if (c.extraDeviceInfoCharacteristic) {
        config.FindService(0x180A)->characteristics.push_back({0x2A99, vd::prop::Read, {0x01}, {}, 0});
    }
    auto dongle = AddDongle(config);

    TCorvastelDevice& s = Connect("C0:FF:EE:00:00:10");
    EXPECT_EQ(s.validValue, c.validValue);
    EXPECT_EQ(s.isCharacteristicIntegrity(), c.accepted);
    if (c.accepted) {
        ASSERT_TRUE(events.WaitFor(DeviceActived, &s));
        const auto seen = events.Events();
        ASSERT_GE(seen.size(), 2u);
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(seen[i].event, i == 0 ? ServicesBound : NotifyEnabled);
            EXPECT_EQ(seen[i].text, "C0:FF:EE:00:00:10");
            EXPECT_EQ(seen[i].para, 0u);
        }
    } else {
        EXPECT_TRUE(central.WaitIdle());
        EXPECT_FALSE(dongle->Connected()) << "an incomplete binding disconnects";
        const auto codes = events.Codes(&s);
        ASSERT_FALSE(codes.empty());
        EXPECT_EQ(codes[0], DeviceSetupFailed) << "and says why";
        for (size_t i = 1; i < codes.size(); ++i)
            EXPECT_EQ(codes[i], DeviceDisconnected);
        EXPECT_EQ(s.SetupFailure().Step, TSetupStep::Binding);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Session, BindingTest,
    ::testing::Values(TBindingCase{"AllFive", {}, false, 0x9F, true},
                      TBindingCase{"WithoutChar3AndChar4", {0xF803, 0xF804}, false, 0x93, true},
                      TBindingCase{"UnknownDeviceInfoCharacteristic", {}, true, 0x9F, true},
                      TBindingCase{"WithoutChar2", {0xF802}, false, 0x9D, false},
                      TBindingCase{"WithoutChar5", {0xF80F}, false, 0x8F, false},
                      TBindingCase{"Char3WithoutChar4", {0xF804}, false, 0x97, false},
                      TBindingCase{"Char4WithoutChar3", {0xF803}, false, 0x9B, false},
                      TBindingCase{"DeviceInfoWithoutCharacteristics",
                                   {0x2A23, 0x2A24, 0x2A25, 0x2A26, 0x2A27, 0x2A28, 0x2A29, 0x2A50},
                                   false,
                                   0x1F,
                                   false}),
    [](const auto& info) { return std::string(info.param.name); });

// A connect that fails is a setup failure like any other, reported once through the window's
// setup handling (which shows one box for one setup), never by a box of the session's own.
TEST_F(SessionTest, RefusedDiscoveryFailsTheSetupOnce) {
    auto config = vd::TDongleConfig::Standard("Corvastel-Gone", "C0:FF:EE:00:00:11");
    AddDongle(config);
    TFakeBluetoothLEDevice& device = central.Device("C0:FF:EE:00:00:11");
    central.SetRadioPresent(false);
    for (const bool cancelled : {false, true}) {
        SCOPED_TRACE(cancelled ? "cancelled first" : "not cancelled");
        sessions.push_back(std::make_unique<TCorvastelDevice>(&ui));
        TCorvastelDevice& s = *sessions.back();
        if (cancelled) {
            s.CancelSetup();
        }
        s.InitData(&device);
        EXPECT_TRUE(ui.messages.empty());
        if (cancelled) {
            EXPECT_FALSE(events.WaitFor(DeviceSetupFailed, &s, 100ms))
                << "a cancelled setup ends without a word";
            continue;
        }
        ASSERT_TRUE(events.WaitFor(DeviceSetupFailed, &s));
        EXPECT_EQ(events.Codes(&s), std::vector<uint8_t>{DeviceSetupFailed});
        EXPECT_EQ(s.SetupFailure().Step, TSetupStep::Connecting);
        EXPECT_NE(s.SetupFailure().Reason.find("could not be reached"), std::string::npos);
    }
}

// ---------------------------------------------------------------------------------------------
// Device information and identity

struct TFirmwareCase {
    const char* firmware;
    bool asksIdentity;
};

class FirmwareTest : public SessionTest, public ::testing::WithParamInterface<TFirmwareCase> {};

TEST_P(FirmwareTest, NewerFirmwareIsAskedItsIdentityOlderGetsTheDefault) {
    const auto& c = GetParam();
    auto dongle = AddDongle(vd::TDongleConfig::Standard("Corvastel-F", "C0:FF:EE:00:00:20", c.firmware,
                                                        vd::TDongleIdentity{0x4348, 0xE010, 7}));
    TCorvastelDevice& s = ConnectActive("C0:FF:EE:00:00:20");
    EXPECT_EQ(s.Firmware, c.firmware);
    EXPECT_EQ(events.Codes(&s),
              (std::vector<uint8_t>{ServicesBound, NotifyEnabled, DeviceInfoComplete, DeviceActived}));
    const auto requests = WritesTo(*dongle, 0xF80F);
    if (c.asksIdentity) {
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].bytes, (vd::TBytes{0xA1, s.SystemId[6], s.SystemId[7]}));
        EXPECT_EQ(s.HidId(), (TUSBDeviceID{0x4348, 0xE010, 7}));
    } else {
        EXPECT_TRUE(requests.empty());
        EXPECT_EQ(s.HidId(), USBID_0451_16B4);
    }
    EXPECT_TRUE(s.isActived);
    EXPECT_TRUE(events.Events().back().activeWhenSeen)
        << "the event announces what is so already: its receiver may run before this thread goes on";
}

INSTANTIATE_TEST_SUITE_P(Session, FirmwareTest,
                         ::testing::Values(TFirmwareCase{"1.2.0", true}, TFirmwareCase{"2.0.0", true},
                                           TFirmwareCase{"1.10.3", true}, TFirmwareCase{"1.1.9", false},
                                           TFirmwareCase{"0.9.1", false}, TFirmwareCase{"1.2", false}),
                         [](const auto& info) {
                             std::string name = std::string("Firmware_") + info.param.firmware;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

// A dongle that answers a setup step wrongly ends the setup with the step and the reason, never
// becomes active, and raises nothing to the general error reporting on its own.
TEST_F(SessionTest, HostileSetupAnswersEndTheSetupWithTheStepAndTheReason) {
    struct TRow {
        const char* name;
        std::function<void(vd::TDongleConfig&)> edit;
        TSetupStep step;
        const char* reason;  // a part of the plain-words reason
        const char* detail;  // the technical text, exactly
    };
    const auto firmware = [](const char* text) {
        return [text](vd::TDongleConfig& c) { c.SetText(vd::uuid::Firmware, text); };
    };
    const auto reply = [](vd::TBytes bytes) {
        return [bytes](vd::TDongleConfig& c) { c.identityReply = bytes; };
    };
    const TRow rows[] = {
        {"firmware V1.2.0", firmware("V1.2.0"), TSetupStep::CheckingFirmware, "\"V1.2.0\" is not a version",
         "'V1' is not a valid integer value"},
        {"firmware beyond int", firmware("99999999999.1.0"), TSetupStep::CheckingFirmware, "99999999999.1.0",
         "'99999999999' is not a valid integer value"},
        {"firmware 1..0", firmware("1..0"), TSetupStep::CheckingFirmware, "\"1..0\"",
         "'' is not a valid integer value"},
        {"firmware read fails", [](vd::TDongleConfig& c) { c.failingReads = {vd::uuid::Firmware}; },
         TSetupStep::ReadingInformation, "did not give its Firmware Revision", ""},
        {"no Software Revision", [](vd::TDongleConfig& c) { c.Remove(vd::uuid::Software); },
         TSetupStep::Binding, "Software Revision", ""},
        {"short reply", reply({0xA1, 0x51, 0x04}), TSetupStep::AwaitingIdentity, "too short (A1 51 04)", ""},
        {"other first byte", reply({0x91, 0x51, 0x04, 0xB4, 0x16, 0x00}), TSetupStep::AwaitingIdentity,
         "with 91 51 04 B4 16 00 instead of an identity reply", ""},
        {"all zeros", reply({0, 0, 0, 0, 0, 0}), TSetupStep::AwaitingIdentity, "instead of an identity reply",
         ""},
        {"zero identity", reply({0xA1, 0, 0, 0, 0, 0}), TSetupStep::AwaitingIdentity, "names no USB identity",
         ""},
        {"unknown identity",
         [](vd::TDongleConfig& c) {
             c.identity = {0x1234, 0x5678, 2};
         },
         TSetupStep::AwaitingIdentity, "USB identity 1234:5678 (version 2)", ""},
    };
    int n = 0;
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        char address[18];
        std::snprintf(address, sizeof address, "C0:FF:EE:00:01:%02X", n++);
        auto config = vd::TDongleConfig::Standard("Corvastel-H", address, "1.2.0");
        row.edit(config);
        auto dongle = AddDongle(config);
        TCorvastelDevice& s = Connect(address);
        ASSERT_TRUE(events.WaitFor(DeviceSetupFailed, &s));
        ASSERT_TRUE(central.WaitIdle());
        const TSetupFailure failure = s.SetupFailure();
        EXPECT_EQ(failure.Step, row.step);
        EXPECT_NE(failure.Reason.find(row.reason), std::string::npos) << failure.Reason;
        EXPECT_EQ(failure.Detail, row.detail);
        EXPECT_FALSE(s.isActived);
        const auto codes = events.Codes(&s);
        EXPECT_EQ(std::count(codes.begin(), codes.end(), DeviceSetupFailed), 1) << "reported once";
        EXPECT_EQ(std::count(codes.begin(), codes.end(), DeviceActived), 0);
        // Whatever it sends afterwards does not make it active.
        dongle->NotifyIdentity();
        ASSERT_TRUE(central.WaitIdle());
        EXPECT_FALSE(s.isActived);
    }
    EXPECT_TRUE(errors.Errors().empty());
}

TEST_F(SessionTest, DeviceInformationCompletesOnceWhateverTheArrivalOrder) {
    // Seven values delivered from seven threads at once, in a different order each round.
    auto config = vd::TDongleConfig::Standard("Corvastel-I", "C0:FF:EE:00:00:22", "1.1.9");
    AddDongle(config);
    TFakeBluetoothLEDevice& device = central.Device("C0:FF:EE:00:00:22");
    std::vector<std::unique_ptr<TBluetoothGattCharacteristic>> chars;
    for (uint16_t uuid = 0x2A23; uuid <= 0x2A29; ++uuid) {
        chars.push_back(
            std::make_unique<TBluetoothGattCharacteristic>(TBluetoothUuid::FromShort(uuid), PropRead));
    }
    const std::vector<uint8_t> systemId{1, 2, 3, 4, 5, 6, 7, 8};
    const std::string firmware = "1.1.9";
    std::mt19937 rng(7);
    std::vector<std::unique_ptr<TCorvastelDevice>> rounds;  // all kept, so no two rounds share an address
    for (int round = 0; round < 20; ++round) {
        TCorvastelDevice& s = *rounds.emplace_back(std::make_unique<TCorvastelDevice>());
        s.Device = &device;
        std::vector<int> order(7);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), rng);
        std::vector<std::thread> threads;
        for (int i : order) {
            threads.emplace_back([&, i] {
                if (i == 0) {
                    s.ReceiveData(*chars[0], systemId);
                } else {
                    const std::string text = i == 3 ? firmware : "text" + std::to_string(i);
                    s.ReceiveData(*chars[i],
                                  std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
                }
            });
        }
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(events.Codes(&s), (std::vector<uint8_t>{DeviceInfoComplete, DeviceActived}))
            << "round " << round;
        EXPECT_EQ(s.SystemId[7], 8);
        EXPECT_EQ(s.Manufacture, "text6");
    }
}

TEST_F(SessionTest, IdentityRepliesAndLedStatusAreDecoded) {
    TCorvastelDevice s;
    TFakeBluetoothLEDevice& device = central.Device("C0:FF:EE:00:00:23");
    s.Device = &device;
    TBluetoothGattCharacteristic c1(TBluetoothUuid::FromShort(0xF801), PropNotify);
    TBluetoothGattCharacteristic c5(TBluetoothUuid::FromShort(0xF80F), PropNotify);
    s.char1 = &c1;
    s.char5 = &c5;

    struct TReply {
        std::vector<uint8_t> value;
        bool taken;
    };
    const TReply replies[] = {
        {{0xA1, 0x48, 0x43, 0x10, 0xE0, 0x02}, true},
        {{0xA0, 0x51, 0x04, 0xB4, 0x16, 0x00, 0xEE}, true},
        {{0xA1, 0x34, 0x12, 0x78, 0x56}, false},
        {{0x91, 0x34, 0x12, 0x78, 0x56, 0x02}, false},
        {{0xB1, 0x34, 0x12, 0x78, 0x56, 0x02}, false},
        {{}, false},
        // Once active, a reply that names no identity or an unknown one changes nothing.
        {{0xA1, 0x00, 0x00, 0x00, 0x00, 0x00}, false},
        {{0xA1, 0x34, 0x12, 0x78, 0x56, 0x02}, false},
    };
    TUSBDeviceID expected{};
    int activations = 0;
    for (const auto& r : replies) {
        s.ReceiveData(c5, r.value);
        if (r.taken) {
            expected = {static_cast<uint32_t>(r.value[1] | r.value[2] << 8),
                        static_cast<uint32_t>(r.value[3] | r.value[4] << 8), r.value[5]};
            ++activations;
        }
        EXPECT_EQ(s.HidId(), expected);
        EXPECT_EQ(events.Codes(&s).size(), static_cast<size_t>(activations));
    }
    EXPECT_TRUE(s.isActived);

    // Identity 0451:16B4 (report-ID framing): LED values are 01 LL.
    s.ReceiveData(c1, std::vector<uint8_t>{0x01, 0x02});
    EXPECT_EQ(s.LedStatus, 0x02);
    s.ReceiveData(c1, std::vector<uint8_t>{0x02, 0x05});
    EXPECT_EQ(s.LedStatus, 0x02) << "a malformed value keeps the last status";
}

// Each session keeps its own dongle's LEDs (the process-wide byte still follows the last value),
// tells the window when they change, and a malformed value on one dongle does not hand it another
// dongle's status.
TEST_F(SessionTest, EachSessionKeepsItsOwnLedStatusAndPostsChanges) {
    auto a = AddDongle(vd::TDongleConfig::Standard("A", "C0:FF:EE:00:00:31", "1.1.9"));
    auto b = AddDongle(vd::TDongleConfig::Standard("B", "C0:FF:EE:00:00:32", "1.1.9"));
    TCorvastelDevice& sa = ConnectActive("C0:FF:EE:00:00:31");
    TCorvastelDevice& sb = ConnectActive("C0:FF:EE:00:00:32");
    const auto ledEvents = [&](const TCorvastelDevice* s) {
        std::vector<uint32_t> out;
        for (const auto& e : events.Events())
            if (e.session == s && e.event == LedStatusChanged)
                out.push_back(e.para);
        return out;
    };

    ASSERT_TRUE(a->NotifyLedStatus(0x02));
    ASSERT_TRUE(a->NotifyLedStatus(0x02));  // no change: no event
    ASSERT_TRUE(b->NotifyLedStatus(0x05));
    ASSERT_TRUE(events.WaitFor(LedStatusChanged, &sb));
    EXPECT_EQ(sa.LedStatus, 0x02);
    EXPECT_EQ(sb.LedStatus, 0x05);
    EXPECT_EQ(LastLedStatus.load(), 0x05);

    ASSERT_TRUE(b->Notify(vd::uuid::Reports, {0x07}));  // no report ID: malformed for 0451:16B4
    ASSERT_TRUE(a->NotifyLedStatus(0x00));
    ASSERT_TRUE(central.WaitIdle());
    EXPECT_TRUE(events.WaitFor(LedStatusChanged, &sa));
    EXPECT_EQ(sb.LedStatus, 0x05);
    EXPECT_EQ(sa.LedStatus, 0x00);
    EXPECT_EQ(ledEvents(&sa), (std::vector<uint32_t>{0x02, 0x00}));
    EXPECT_EQ(ledEvents(&sb), (std::vector<uint32_t>{0x05}));
}

TEST(DeviceStrings, KeepEveryByteAndReplaceInvalidUtf8) {
    const auto decode = [](std::vector<uint8_t> v) { return DecodeDeviceString(v); };
    EXPECT_EQ(decode({}), "");
    EXPECT_EQ(decode({'1', '.', '2', 0x00}), std::string("1.2\0", 4));
    EXPECT_EQ(decode({0xE4, 0xB8, 0xAD, 'x'}),
              "\xE4\xB8\xAD"
              "x");
    EXPECT_EQ(decode({'a', 0xFF, 'b', 0xC3}),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    EXPECT_EQ(decode({0xC0, 0xAF}), "\xEF\xBF\xBD\xEF\xBF\xBD") << "overlong forms are not characters";
}

TEST_F(SessionTest, ActiveIsClearedBeforeTheDisconnectEventIsSeen) {
    auto dongle = AddDongle(vd::TDongleConfig::Standard("Corvastel-D", "C0:FF:EE:00:00:24", "1.1.9"));
    TCorvastelDevice& s = ConnectActive("C0:FF:EE:00:00:24");
    dongle->DropLink();
    ASSERT_TRUE(events.WaitFor(DeviceDisconnected, &s));
    const auto last = events.Events().back();
    EXPECT_EQ(last.event, DeviceDisconnected);
    EXPECT_EQ(last.text, "C0:FF:EE:00:00:24");
    EXPECT_FALSE(last.activeWhenSeen);
}

// ---------------------------------------------------------------------------------------------
// Sending

struct TRouteCase {
    const char* name;
    vd::TDongleIdentity identity;
    bool minimalBinding;
    int mouseOnF801;
    int mouseOnF803;
};

class RoutingTest : public SessionTest, public ::testing::WithParamInterface<TRouteCase> {};

TEST_P(RoutingTest, MouseReportsGoWhereTheIdentitySaysAndKeysAlwaysToChar1) {
    const auto& c = GetParam();
    auto config = vd::TDongleConfig::Standard("Corvastel-R", "C0:FF:EE:00:00:30", "1.2.0", c.identity);
    if (c.minimalBinding) {
        config.Remove(0xF803);
        config.Remove(0xF804);
    }
    auto dongle = AddDongle(config);
    TCorvastelDevice& s = ConnectActive("C0:FF:EE:00:00:30");
    dongle->ClearRecords();

    SetMouseItem(MouseCodeX, 5);
    s.SendReport(TReportType::Mouse, false);
    AddPressedKey(KeyA);
    s.SendReport(TReportType::KeyboardIn, false);
    ASSERT_TRUE(WaitWrites(*dongle, static_cast<size_t>(1 + c.mouseOnF801 + c.mouseOnF803)));

    EXPECT_EQ(static_cast<int>(WritesTo(*dongle, 0xF803).size()), c.mouseOnF803);
    const auto onF801 = WritesTo(*dongle, 0xF801);
    ASSERT_EQ(static_cast<int>(onF801.size()), c.mouseOnF801 + 1) << "the keyboard report behind goes out";
    const auto target = dongle->Target();
    EXPECT_EQ(target.keysHeld, (std::vector<uint8_t>{KeyA}));
    EXPECT_EQ(target.pointerX, c.mouseOnF801 + c.mouseOnF803 ? 5 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Session, RoutingTest,
    ::testing::Values(TRouteCase{"Id0451_16B4", vd::Identity0451_16B4, false, 1, 0},
                      TRouteCase{"Id0451_E010_ver0", vd::Identity0451_E010, false, 1, 0},
                      TRouteCase{"Id0451_E010_ver1", {0x0451, 0xE010, 1}, false, 0, 1},
                      TRouteCase{"Id4348_E010", vd::Identity4348_E010, false, 0, 1},
                      TRouteCase{"Id4348_E010_withoutChar3", vd::Identity4348_E010, true, 0, 0},
                      TRouteCase{"Id045E_002D_keyboardOnly", vd::Identity045E_002D, false, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionTest, WritesOneReportAtATimeInOrder) {
    auto dongle = AddDongle(vd::TDongleConfig::Standard("Corvastel-P", "C0:FF:EE:00:00:31", "1.1.9"));
    TCorvastelDevice& s = ConnectActive("C0:FF:EE:00:00:31");
    dongle->ClearRecords();
    dongle->SetWriteDelay(150ms);

    for (uint8_t usage : {4, 5, 6}) {
        AddPressedKey(usage);
        s.SendReport(TReportType::KeyboardIn, false);
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(dongle->Writes().size(), 1u) << "the second write waits for the first completion";
    ASSERT_TRUE(WaitWrites(*dongle, 3));
    const auto writes = dongle->Writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].bytes, (vd::TBytes{1, 0, 0, 4, 0, 0, 0, 0, 0}));
    EXPECT_EQ(writes[1].bytes, (vd::TBytes{1, 0, 0, 4, 5, 0, 0, 0, 0}));
    EXPECT_EQ(writes[2].bytes, (vd::TBytes{1, 0, 0, 4, 5, 6, 0, 0, 0}));
}

TEST_F(SessionTest, AFailedWriteDoesNotStopLaterReports) {
    // Writes with response: only their failures come back to the session.
    auto dongle =
        AddDongle(RequestOnly(vd::TDongleConfig::Standard("Corvastel-W", "C0:FF:EE:00:00:32", "1.1.9")));
    TCorvastelDevice& s = ConnectActive("C0:FF:EE:00:00:32");
    dongle->ClearRecords();
    dongle->FailNextWrites(1);
    dongle->SetWriteDelay(30ms);  // the release is queued before the failure comes back
    AddPressedKey(KeyA);
    s.SendReport(TReportType::KeyboardIn, false);
    ClearPressedKeys();
    s.SendReport(TReportType::KeyboardIn, true);
    ASSERT_TRUE(WaitWrites(*dongle, 3));
    ASSERT_TRUE(s.WaitSent(2s));
    const auto writes = dongle->Writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_NE(writes[0].status, GattStatusSuccess);
    EXPECT_EQ(writes[1].bytes, writes[0].bytes) << "the failed press is written again in its place";
    EXPECT_EQ(writes[2].bytes, (vd::TBytes{1, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(dongle->Target().AnyKeyHeld()) << "the release reached the target";
}

TEST_F(SessionTest, AFailedKeyWithNothingBehindItIsSentAgainUntilItArrives) {
    // Writes with response: only their failures come back to the session.
    auto dongle =
        AddDongle(RequestOnly(vd::TDongleConfig::Standard("Corvastel-F", "C0:FF:EE:00:00:37", "1.1.9")));
    TCorvastelDevice& s = ConnectActive("C0:FF:EE:00:00:37");
    dongle->ClearRecords();
    AddPressedKey(KeyA);
    s.SendReport(TReportType::KeyboardIn, false);
    ASSERT_TRUE(WaitWrites(*dongle, 1));
    dongle->FailNextWrites(1);
    ClearPressedKeys();
    s.SendReport(TReportType::KeyboardIn, false);
    ASSERT_TRUE(WaitWrites(*dongle, 3));
    const auto writes = dongle->Writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_NE(writes[1].status, GattStatusSuccess);
    EXPECT_EQ(writes[2].bytes, writes[1].bytes);
    EXPECT_FALSE(dongle->Target().AnyKeyHeld());

    // A link that fails a key press many times while it stays up: the press is written again,
    // backing off, until the target has it (the user still holds the key).
    dongle->ClearRecords();
    dongle->FailNextWrites(6);
    AddPressedKey(KeyA + 1);
    s.SendReport(TReportType::KeyboardIn, false);
    ASSERT_TRUE(WaitWrites(*dongle, 7));
    EXPECT_EQ(dongle->Writes().size(), 7u);
    EXPECT_TRUE(dongle->Target().AnyKeyHeld());
}

TEST_F(SessionTest, AFailedButtonReleaseIsWrittenAgain) {
    // Writes with response: only their failures come back to the session.
    auto dongle =
        AddDongle(RequestOnly(vd::TDongleConfig::Standard("Corvastel-R", "C0:FF:EE:00:00:3A", "1.1.9")));
    TCorvastelDevice& s = ConnectActive("C0:FF:EE:00:00:3A");
    dongle->ClearRecords();
    s.SendMouseReport({1, 0, 0, 0});
    ASSERT_TRUE(WaitWrites(*dongle, 1));
    ASSERT_TRUE(s.WaitSent(2s));
    dongle->FailNextWrites(1);
    s.SendMouseReport({0, 0, 0, 0});
    ASSERT_TRUE(WaitWrites(*dongle, 3));
    ASSERT_TRUE(s.WaitSent(2s));
    const auto writes = dongle->Writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_NE(writes[1].status, GattStatusSuccess);
    EXPECT_EQ(writes[2].bytes, writes[1].bytes);
    EXPECT_EQ(dongle->Target().buttons, 0) << "no drag left held on the target";
}

// A dongle that refuses a write for security gets nothing more over the open link: a listener
// would read what the session wrote again. Once paired, what waits goes in order over that link.
TEST_F(SessionTest, AWriteRefusedForSecurityIsNotWrittenAgainUntilTheLinkIsPaired) {
    auto dongle =
        AddDongle(RequestOnly(vd::TDongleConfig::Standard("Corvastel-S", "C0:FF:EE:00:00:3E", "1.1.9")));
    TCorvastelDevice& s = ConnectActive("C0:FF:EE:00:00:3E");
    dongle->ClearRecords();
    dongle->FailNextWrites(1, vd::GattInsufficientAuthentication);
    AddPressedKey(KeyA);
    s.SendReport(TReportType::KeyboardIn, false);
    ASSERT_TRUE(events.WaitFor(SecurityRefused, &s));
    ClearPressedKeys();
    s.SendReport(TReportType::KeyboardIn, false);
    std::this_thread::sleep_for(200ms);  // a write in the clear would show up by now
    ASSERT_EQ(dongle->Writes().size(), 1u);

    s.RetryAfterPairing();
    ASSERT_TRUE(WaitWrites(*dongle, 3));
    ASSERT_TRUE(s.WaitSent(2s));
    const auto writes = dongle->Writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[1].bytes, writes[0].bytes) << "the refused press, now over the paired link";
    EXPECT_EQ(writes[2].bytes, (vd::TBytes{1, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(dongle->Target().AnyKeyHeld());
}

// A completion names only its characteristic. A failure that comes for another characteristic
// than the write in flight is a late report of an earlier write: the write in flight stays in
// flight (its own completion is still to come), and the newest states go again.
TEST_F(SessionTest, ALateFailureDoesNotEndTheWriteInFlight) {
    auto dongle = AddDongle(RequestOnly(
        vd::TDongleConfig::Standard("Corvastel-L", "C0:FF:EE:00:00:3B", "1.2.0", vd::Identity4348_E010)));
    TCorvastelDevice& s = ConnectActive("C0:FF:EE:00:00:3B");
    ASSERT_NE(s.char1, s.char3) << "keys and mouse on characteristics of their own";
    dongle->ClearRecords();
    AddPressedKey(KeyA);
    s.SendReport(TReportType::KeyboardIn, false);
    ASSERT_TRUE(s.WaitSent(2s));
    ASSERT_EQ(dongle->Writes().size(), 1u);
    const vd::TBytes keyState = dongle->Writes()[0].bytes;
    dongle->ClearRecords();
    dongle->SetWriteDelay(150ms);
    s.SendMouseReport({1, 0, 0, 0});
    for (int i = 0; i < 1000 && !s.Scheduler.InFlight(); ++i)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(s.Scheduler.InFlight());
    s.OnCharacteristicWrite(*s.Device, *s.char1, GattStatusFailure);
    EXPECT_TRUE(s.Scheduler.InFlight()) << "the press is still in the platform's hands";
    ASSERT_TRUE(s.WaitSent(2s));
    const auto writes = dongle->Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[1].bytes, keyState) << "the newest key state again";
    EXPECT_EQ(dongle->Target().buttons, 1);
    ClearPressedKeys();
}

TEST_F(SessionTest, ReportsAreQueuedButNotWrittenWhileTheLinkIsDown) {
    auto dongle = AddDongle(vd::TDongleConfig::Standard("Corvastel-Q", "C0:FF:EE:00:00:33", "1.1.9"));
    TCorvastelDevice& s = ConnectActive("C0:FF:EE:00:00:33");
    dongle->ClearRecords();
    dongle->DropLink();
    ASSERT_TRUE(events.WaitFor(DeviceDisconnected, &s));
    AddPressedKey(KeyA);
    s.SendReport(TReportType::KeyboardIn, false);
    ClearPressedKeys();
    s.SendReport(TReportType::KeyboardIn, false);
    EXPECT_EQ(s.PendingReports(), 2) << "queued, not sent, while the link is down";
    EXPECT_TRUE(dongle->Writes().empty());
}

TEST_F(SessionTest, EveryDongleGetsTheSameMotionFromOneSnapshot) {
    auto a = AddDongle(vd::TDongleConfig::Standard("Corvastel-M1", "C0:FF:EE:00:00:34", "1.1.9"));
    auto b = AddDongle(
        vd::TDongleConfig::Standard("Corvastel-M2", "C0:FF:EE:00:00:35", "1.2.0", vd::Identity4348_E010));
    TCorvastelDevice& sa = ConnectActive("C0:FF:EE:00:00:34");
    TCorvastelDevice& sb = ConnectActive("C0:FF:EE:00:00:35");
    SetMouseItem(MouseCodeX, 7);
    SetMouseItem(MouseCodeY, -3);
    const TMouseSnapshot snapshot = TakeMouseSnapshot();
    sa.SendMouseReport(snapshot);
    sb.SendMouseReport(snapshot);
    ASSERT_TRUE(WaitWrites(*a, 1));
    ASSERT_TRUE(WaitWrites(*b, 2));  // the identity request, then the report
    for (const auto& d : {a, b}) {
        EXPECT_EQ(d->Target().pointerX, 7) << d->Address();
        EXPECT_EQ(d->Target().pointerY, -3) << d->Address();
    }
}

TEST_F(SessionTest, DisconnectingReleasesEverythingOnTheTargetFirst) {
    auto dongle = AddDongle(vd::TDongleConfig::Standard("Corvastel-U", "C0:FF:EE:00:00:36", "1.1.9"));
    TCorvastelDevice& s = ConnectActive("C0:FF:EE:00:00:36");
    dongle->SetWriteDelay(20ms);  // the releases are still on their way when the disconnect is asked for
    AddPressedKey(UsageLeftCtrl);
    AddPressedKey(UsageLeftShift);
    s.SendReport(TReportType::KeyboardIn, false);
    SetMouseItem(MouseCodeLeft, 1);
    s.SendReport(TReportType::Mouse, false);
    s.DisconnectAfterRelease();
    ASSERT_TRUE(events.WaitFor(DeviceDisconnected, &s));
    const auto target = dongle->Target();
    EXPECT_FALSE(target.AnyInputHeld())
        << "modifiers " << int(target.modifiers) << " buttons " << int(target.buttons);
    EXPECT_FALSE(dongle->Connected());
}

// A link that carries one write per 7.5 ms connection event, with someone typing fast, holding a
// key and a button and moving the mouse when the user disconnects: everything typed before arrives,
// then the releases, and only then does the link close.
TEST_F(SessionTest, DisconnectOnASlowLinkDeliversTheBacklogThenTheReleases) {
    auto config = vd::TDongleConfig::Standard("Corvastel-S", "C0:FF:EE:00:00:38", "1.1.9");
    config.connectionInterval = 7500us;
    auto dongle = AddDongle(config);
    TCorvastelDevice& s = ConnectActive("C0:FF:EE:00:00:38");
    dongle->ClearRecords();
    int moved = 0;
    const auto move = [&] {
        SetMouseItem(MouseCodeX, 2);
        s.SendMouseReport(TakeMouseSnapshot());
        moved += 2;
    };
    for (uint8_t usage = 4; usage < 4 + 12; ++usage) {  // "abcdefghijkl", far faster than the link
        AddPressedKey(usage);
        s.SendReport(TReportType::KeyboardIn, false);
        move();
        RemovePressedKey(usage);
        s.SendReport(TReportType::KeyboardIn, false);
        move();
    }
    AddPressedKey(UsageLeftShift);
    s.SendReport(TReportType::KeyboardIn, false);
    SetMouseItem(MouseCodeLeft, 1);
    move();
    EXPECT_GT(s.PendingReports(), 10) << "the typing waits for the link";
    s.DisconnectAfterRelease();
    move();  // input after the disconnect is not taken
    ASSERT_TRUE(events.WaitFor(DeviceDisconnected, &s));
    ASSERT_TRUE(central.WaitIdle());

    const auto target = dongle->Target();
    EXPECT_EQ(target.text, "abcdefghijkl");
    EXPECT_FALSE(target.AnyInputHeld())
        << "modifiers " << int(target.modifiers) << " buttons " << int(target.buttons);
    EXPECT_EQ(target.pointerX, moved - 2);
    EXPECT_GT(s.LinkStats().WriteRoundTripUs, 0u);
}

// Ctrl+Shift held (to pause the mouse and reach the window) while the mouse has been moving on a
// 50 ms link carrying four writes an event, then the link is closed on purpose: by the user's
// disconnect, or by the session going (the window closing) before the link is closed. Closing a
// link discards what the stack still queues, so the releases must be known to have reached the
// dongle first, with the mouse written with or without response. The pace is also forced to a
// link thought far faster than it is (as a link that slowed down would be): the stack then holds
// a backlog, and only the proof of delivery keeps the releases from being lost with it.
TEST_F(SessionTest, ClosingOnPurposeLeavesNothingHeldOnASlowLink) {
    int dongleNumber = 0;
    for (const bool misjudged : {false, true})
        for (const bool withResponse : {false, true}) {
            for (const bool byDestruction : {false, true}) {
                SCOPED_TRACE(std::string(withResponse ? "with response" : "without response") +
                             (byDestruction ? ", session destroyed" : ", disconnect") +
                             (misjudged ? ", pace misjudged" : ""));
                const std::string address = "C0:FF:EE:00:00:" + std::to_string(50 + dongleNumber++);
                auto config = vd::TDongleConfig::Standard("Corvastel-S", address, "1.1.9");
                config.connectionInterval = 50ms;
                config.packetsPerEvent = 4;
                if (withResponse) {
                    for (uint16_t u : {vd::uuid::Reports, vd::uuid::MouseReports})
                        config.Find(u)->properties =
                            static_cast<uint8_t>(config.Find(u)->properties & ~vd::prop::WriteNoResponse);
                }
                auto dongle = AddDongle(config);
                TCorvastelDevice& s = ConnectActive(address);
                if (misjudged)
                    s.SetLinkEstimator(TLinkEstimator::Fixed(2ms));
                AddPressedKey(UsageLeftCtrl);
                AddPressedKey(UsageLeftShift);
                s.SendReport(TReportType::KeyboardIn, false);
                for (int i = 0; i < 300; ++i) {
                    SetMouseItem(MouseCodeX, 3);
                    s.SendMouseReport(TakeMouseSnapshot());
                    std::this_thread::sleep_for(1ms);
                }
                ASSERT_TRUE(dongle->Target().modifiers != 0 || !s.Scheduler.Idle()) << "the keys went on";
                if (byDestruction) {
                    TBluetoothLEDevice* device = s.Device;
                    sessions.pop_back();
                    device->Disconnect();
                } else {
                    s.DisconnectAfterRelease();
                    ASSERT_TRUE(events.WaitFor(DeviceDisconnected, &s));
                }
                ASSERT_TRUE(central.WaitIdle());
                const auto target = dongle->Target();
                EXPECT_FALSE(target.AnyInputHeld())
                    << "modifiers " << int(target.modifiers) << " buttons " << int(target.buttons);
                EXPECT_EQ(target.keyEvents.back(), (vd::TKeyEvent{UsageLeftShift, false}));
                ResetInputStateForTests();
            }
        }
}

// The mouse written with response on 0xF803 while keys go without response on 0xF801 (plain
// framing), on a 50 ms link carrying four writes an event. A key made while a motion request awaits
// its answer goes at once; keys and clicks keep the order they were made in, and what follows a
// button change is written only once that change is answered (bluetoothd sends a write without
// response before a request it still queues, so an earlier write could be overtaken).
TEST_F(SessionTest, KeysPassAMotionRequestWhileKeysAndClicksKeepTheirOrder) {
    auto config =
        vd::TDongleConfig::Standard("Corvastel-R", "C0:FF:EE:00:00:3A", "1.2.0", vd::Identity4348_E010);
    config.connectionInterval = 50ms;
    config.packetsPerEvent = 4;
    auto* mouse = config.Find(vd::uuid::MouseReports);
    mouse->properties = static_cast<uint8_t>(mouse->properties & ~vd::prop::WriteNoResponse);
    auto dongle = AddDongle(config);
    TCorvastelDevice& s = ConnectActive("C0:FF:EE:00:00:3A");
    dongle->ClearRecords();

    // Input, by the millisecond it is made at: a, a click with b pressed inside it, then c.
    const std::map<int, std::function<void()>> inputs = {
        {100, [] { AddPressedKey(KeyA); }},
        {150, [] { RemovePressedKey(KeyA); }},
        {200, [] { SetMouseItem(MouseCodeLeft, 1); }},
        {205, [] { AddPressedKey(KeyA + 1); }},
        {260, [] { SetMouseItem(MouseCodeLeft, 0); }},
        {265, [] { RemovePressedKey(KeyA + 1); }},
        {400, [] { AddPressedKey(KeyA + 2); }},
        {450, [] { RemovePressedKey(KeyA + 2); }},
    };
    int moved = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int ms = 0; ms < 600; ++ms) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
        SetMouseItem(MouseCodeX, 1);
        ++moved;
        const auto input = inputs.find(ms);
        const bool key = input != inputs.end() && ms != 200 && ms != 260;
        if (input != inputs.end())
            input->second();
        s.SendMouseReport(TakeMouseSnapshot());
        if (key)
            s.SendReport(TReportType::KeyboardIn, false);
    }
    const auto settled = [&] {
        const auto t = dongle->Target();
        return t.text == "abc" && t.pointerX == moved && !t.AnyInputHeld();
    };
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!settled() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(settled()) << dongle->Target().text << " pointer " << dongle->Target().pointerX << " of "
                           << moved;

    // The key and button states in the order they reached the target (keyboard: the first key of
    // the report; mouse: the buttons), and what was written after each button change.
    const auto writes = dongle->Writes();
    std::vector<std::string> changes;
    uint8_t keyState = 0, buttonState = 0;
    std::optional<vd::TWriteRecord> lastClick;
    int keysPassingMotion = 0;
    std::optional<vd::TWriteRecord> lastMotion;
    for (const auto& w : writes) {
        ASSERT_NE(w.arrivedAt, std::chrono::steady_clock::time_point{});
        const bool keyboard = w.characteristic == vd::uuid::Reports;
        const uint8_t state = keyboard ? w.bytes.at(2) : static_cast<uint8_t>(w.bytes.at(0) & 0x07);
        uint8_t& known = keyboard ? keyState : buttonState;
        const bool change = state != known;
        if (change && lastClick) {
            EXPECT_GE(w.madeAt, lastClick->arrivedAt)
                << "a change was written before the click before it was answered";
        }
        if (keyboard && change && lastMotion && w.madeAt < lastMotion->arrivedAt)
            ++keysPassingMotion;
        if (change) {
            changes.push_back((keyboard ? "key " : "buttons ") + std::to_string(state));
            known = state;
        }
        if (!keyboard) {
            (change ? lastClick : lastMotion) = w;
            if (change)
                lastMotion.reset();
        } else if (change) {
            lastClick.reset();
        }
    }
    EXPECT_EQ(changes, (std::vector<std::string>{"key 4", "key 0", "buttons 1", "key 5", "buttons 0", "key 0",
                                                 "key 6", "key 0"}));
    EXPECT_GT(keysPassingMotion, 0) << "no key went while a motion write awaited its answer";
}

// The mouse on 0xF803 taking both write kinds, keys on 0xF801 without response, a 7.5 ms link.
vd::TDongleConfig OwnMouseCharacteristic(const std::string& address) {
    auto config = vd::TDongleConfig::Standard("Corvastel-L", address, "1.2.0", vd::Identity4348_E010);
    config.connectionInterval = 7500us;
    config.packetsPerEvent = 1;
    return config;
}

// Moves the pointer by one count each millisecond for span, typing a letter at each of keysAt (ms).
int MoveAndType(TCorvastelDevice& s, std::chrono::milliseconds span, const std::vector<int>& keysAt = {}) {
    int moved = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int ms = 0; ms < span.count(); ++ms) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
        SetMouseItem(MouseCodeX, 1);
        s.SendMouseReport(TakeMouseSnapshot());
        ++moved;
        for (size_t k = 0; k < keysAt.size(); ++k) {
            if (keysAt[k] == ms) {
                AddPressedKey(static_cast<uint8_t>(KeyA + k));
                s.SendReport(TReportType::KeyboardIn, false);
                RemovePressedKey(static_cast<uint8_t>(KeyA + k));
                s.SendReport(TReportType::KeyboardIn, false);
            }
        }
    }
    return moved;
}

// A busy peer answers one motion request 20 s late: the motion after it goes once the answer is
// overdue (the pointer does not freeze), keys keep coming, and the late answer teaches nothing.
TEST_F(SessionTest, AMotionRequestAnsweredLateFreezesNeitherThePointerNorTheLearnedLink) {
    auto dongle = AddDongle(OwnMouseCharacteristic("C0:FF:EE:00:00:3C"));
    TCorvastelDevice& s = ConnectActive("C0:FF:EE:00:00:3C");
    int moved = MoveAndType(s, 1200ms);  // learns the link; a motion request is due each second
    const auto armed = std::chrono::steady_clock::now();
    dongle->DelayNextAnswer(20s);
    // Motion alone until the next request has been made (a motion request), then typing.
    moved += MoveAndType(s, 1200ms);
    const auto writes = dongle->Writes();
    ASSERT_TRUE(std::any_of(writes.begin(), writes.end(), [&](const vd::TWriteRecord& w) {
        return w.madeAt >= armed && w.kind == vd::TWriteKind::Request &&
               w.characteristic == vd::uuid::MouseReports;
    })) << "no motion request was made";
    moved += MoveAndType(s, 800ms, {100, 300, 500});
    const auto settled = [&] {
        const auto t = dongle->Target();
        return t.pointerX == moved && t.text == "abc";
    };
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (!settled() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(settled()) << "pointer " << dongle->Target().pointerX << " of " << moved << ", text \""
                           << dongle->Target().text << "\"";
    dongle->DropLink();  // the answer still out would hold the session's close
    ASSERT_TRUE(events.WaitFor(DeviceDisconnected, &s));
}

// A button released while a motion request waits for a late answer: the release keeps its place
// behind the motion (it must land where the pointer went), the user is told once it has waited a
// second, and a close waits for it rather than giving up on the key release's quick completion.
TEST_F(SessionTest, AButtonReleaseBehindALateMotionRequestIsWaitedForByTheClose) {
    auto dongle = AddDongle(OwnMouseCharacteristic("C0:FF:EE:00:00:3D"));
    TCorvastelDevice& s = ConnectActive("C0:FF:EE:00:00:3D");
    SetMouseItem(MouseCodeLeft, 1);
    s.SendMouseReport(TakeMouseSnapshot());
    ASSERT_TRUE(s.WaitSent(2s));
    // A motion write goes with response once no answer came for a second.
    std::this_thread::sleep_for(TLinkEstimator::MotionProbeEvery + 100ms);
    dongle->DelayNextAnswer(1500ms);
    SetMouseItem(MouseCodeX, 5);
    s.SendMouseReport(TakeMouseSnapshot());
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (dongle->Writes().back().kind != vd::TWriteKind::Request &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(dongle->Writes().back().kind, vd::TWriteKind::Request) << "no motion request to wait behind";
    SetMouseItem(MouseCodeLeft, 0);
    s.SendMouseReport(TakeMouseSnapshot());
    AddPressedKey(KeyA);
    s.SendReport(TReportType::KeyboardIn, false);
    ASSERT_TRUE(events.WaitFor(DongleNotAnswering, &s, 3s));
    s.DisconnectAfterRelease();
    ASSERT_TRUE(events.WaitFor(DeviceDisconnected, &s, 5s));
    ASSERT_TRUE(central.WaitIdle());
    const auto target = dongle->Target();
    EXPECT_FALSE(target.AnyInputHeld())
        << "modifiers " << int(target.modifiers) << " buttons " << int(target.buttons);
    EXPECT_EQ(target.pointerX, 5);
    std::vector<uint32_t> notices;
    for (const auto& e : events.Events()) {
        if (e.event == DongleNotAnswering && e.session == &s)
            notices.push_back(e.para);
    }
    EXPECT_EQ(notices, (std::vector<uint32_t>{1, 0}));
}

// ---------------------------------------------------------------------------------------------
// Lifetime

TEST_F(SessionTest, DestroyingSessionsWhileCompletionsAndNotificationsRaceIsSafe) {
    auto dongle = AddDongle(vd::TDongleConfig::Standard("Corvastel-L", "C0:FF:EE:00:00:40", "1.1.9"));
    for (int round = 0; round < 15; ++round) {
        auto s = std::make_unique<TCorvastelDevice>(&ui);
        s->InitData(&central.Device("C0:FF:EE:00:00:40"));
        ASSERT_TRUE(events.WaitFor(DeviceActived, s.get()));
        std::atomic<bool> stop{false};
        std::thread leds([&] {
            for (uint8_t i = 0; !stop; ++i)
                dongle->NotifyLedStatus(i & 7);
        });
        for (int i = 0; i < 40; ++i) {
            AddPressedKey(static_cast<int32_t>(4 + i % 20));
            s->SendReport(TReportType::KeyboardIn, false);
        }
        s.reset();  // writes, completions and notifications are still on their way
        stop = true;
        leds.join();
        ClearPressedKeys();
        ASSERT_TRUE(central.WaitIdle());
        dongle->DropLink();
        ASSERT_TRUE(central.WaitIdle());
    }
}

TEST_F(SessionTest, AnOldSessionGoingAwayLeavesTheNewSessionsEventsAlone) {
    auto dongle = AddDongle(vd::TDongleConfig::Standard("Corvastel-N", "C0:FF:EE:00:00:41", "1.1.9"));
    TCorvastelDevice& first = ConnectActive("C0:FF:EE:00:00:41");
    dongle->DropLink();
    ASSERT_TRUE(events.WaitFor(DeviceDisconnected, &first));
    TCorvastelDevice& second = ConnectActive("C0:FF:EE:00:00:41");
    sessions.erase(sessions.begin());  // the window destroys the old session late

    AddPressedKey(KeyA);
    second.SendReport(TReportType::KeyboardIn, false);
    ClearPressedKeys();
    second.SendReport(TReportType::KeyboardIn, false);
    ASSERT_TRUE(WaitWrites(*dongle, 2));
    EXPECT_FALSE(dongle->Target().AnyKeyHeld()) << "the second write needs the first one's completion";
}

}  // namespace
