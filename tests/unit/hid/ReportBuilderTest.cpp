#include "hid/UnitCorvHid.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

class ReportTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetInputStateForTests(); }
    void TearDown() override { ResetInputStateForTests(); }
};

constexpr TUSBDeviceID Id(uint32_t vid, uint32_t pid, uint32_t ver) {
    return {vid, pid, ver};
}

constexpr TReportType OtherTypes[] = {TReportType::Undefined,       TReportType::KeyboardOut,
                                      TReportType::TouchPen,        TReportType::Consumer,
                                      TReportType::GamepadIn,       TReportType::GamepadOut,
                                      TReportType::WirelessControl, TReportType::WirelessLedOut,
                                      TReportType::FullConsumer,    static_cast<TReportType>(200)};

}  // namespace

// Which identity gets which report, and its all-released bytes.
TEST_F(ReportTest, IdentityDecidesFramingAndWhichReportsExist) {
    const THidReport keyboardWithId{1, 0, 0, 0, 0, 0, 0, 0, 0};
    const THidReport keyboardPlain = THidReport::Zeroed(8);
    const THidReport mouseWithId{3, 0, 0, 0, 0, 0, 0};
    const THidReport mousePlain = THidReport::Zeroed(6);
    const THidReport none;
    struct Case {
        TUSBDeviceID id;
        THidFraming framing;
        THidReport keyboard;
        THidReport mouse;
    };
    const Case cases[] = {
        {Id(0x0451, 0x16B4, 0), THidFraming::ReportId, keyboardWithId, mouseWithId},
        {Id(0x0451, 0x16B4, 9), THidFraming::ReportId, keyboardWithId, mouseWithId},
        {Id(0x0451, 0xE010, 0), THidFraming::ReportId, keyboardWithId, mouseWithId},
        {Id(0x0451, 0xE010, 1), THidFraming::Plain, keyboardPlain, mousePlain},
        {Id(0x4348, 0xE010, 0), THidFraming::Plain, keyboardPlain, mousePlain},
        {Id(0x4348, 0xE010, 2), THidFraming::Plain, keyboardPlain, mousePlain},
        {Id(0x045E, 0x002D, 0), THidFraming::PlainKeyboardOnly, keyboardPlain, none},
        {Id(0x045E, 0x002D, 4), THidFraming::PlainKeyboardOnly, keyboardPlain, none},
        {Id(0, 0, 0), THidFraming::None, none, none},
        {Id(0x0451, 0, 0), THidFraming::None, none, none},
        {Id(0, 0x16B4, 0), THidFraming::None, none, none},
        {Id(0x4348, 0x16B4, 0), THidFraming::None, none, none},
        {Id(0x10451, 0x16B4, 0), THidFraming::None, none, none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.id.vid << ":" << c.id.pid << " ver " << c.id.ver);
        EXPECT_EQ(HidFraming(c.id), c.framing);
        EXPECT_EQ(GetEmptyHidReport(c.id, TReportType::KeyboardIn), c.keyboard);
        EXPECT_EQ(GetEmptyHidReport(c.id, TReportType::Mouse), c.mouse);
        // With nothing held the built reports are the all-released ones.
        EXPECT_EQ(GetHidReport(c.id, TReportType::KeyboardIn), c.keyboard);
        EXPECT_EQ(GetHidReport(c.id, TReportType::Mouse), c.mouse);
        for (TReportType type : OtherTypes) {
            EXPECT_TRUE(GetHidReport(c.id, type).empty()) << static_cast<int>(type);
            EXPECT_TRUE(GetEmptyHidReport(c.id, type).empty()) << static_cast<int>(type);
        }
    }
}

TEST_F(ReportTest, KeyboardReport_ModifiersAsBitsAndUpToSixKeysInPressOrder) {
    struct Case {
        const char* name;
        std::vector<int32_t> held;
        uint8_t reportId;
        THidReport expected;
    };
    const Case cases[] = {
        {"nothing held", {}, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"seventh key left out, later modifier kept",
         {224, 4, 5, 6, 7, 8, 9, 10, 229},
         0,
         {0x21, 0, 4, 5, 6, 7, 8, 9}},
        {"left Win alone, report ID", {227}, 1, {1, 0x08, 0, 0, 0, 0, 0, 0, 0}},
        {"all modifiers", {224, 225, 226, 227, 228, 229, 230, 231}, 1, {1, 0xFF, 0, 0, 0, 0, 0, 0, 0}},
        {"usages outside keys and modifiers ignored",
         {1, 2, 3, -5, 232, 300, 4, 223},
         0,
         {0, 0, 4, 223, 0, 0, 0, 0}},
        {"other report ID written as given", {4}, 7, {7, 0, 0, 4, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        ResetInputStateForTests();
        for (int32_t u : c.held)
            ASSERT_TRUE(AddPressedKey(u)) << c.name;
        EXPECT_EQ(MakeKeyboardReport(c.reportId), c.expected) << c.name;
        EXPECT_EQ(GetPressedKeys(), c.held) << c.name << ": the table is only read";
    }
}

TEST_F(ReportTest, KeyboardReport_SkipsHolesLeftByReleasedKeys) {
    for (int32_t u : {4, 5, 6, 225})
        AddPressedKey(u);
    RemovePressedKey(5);
    EXPECT_EQ(GetHidReport(USBID_4348_E010, TReportType::KeyboardIn),
              (THidReport{0x02, 0, 4, 6, 0, 0, 0, 0}));
    RemovePressedKey(225);
    EXPECT_EQ(GetHidReport(USBID_0451_16B4, TReportType::KeyboardIn),
              (THidReport{1, 0, 0, 4, 6, 0, 0, 0, 0}));
}

TEST_F(ReportTest, MouseReport_ButtonsMotionAndWheelWithinLimits) {
    struct Item {
        int32_t code;
        int32_t value;
    };
    struct Case {
        const char* name;
        std::vector<Item> items;
        uint8_t reportId;
        THidReport expected;
    };
    const Case cases[] = {
        {"x clamped up", {{48, 3000}}, 0, {0, 0xFF, 0x07, 0, 0, 0}},
        {"x clamped down", {{48, -3000}}, 0, {0, 0x01, 0xF8, 0, 0, 0}},
        {"x at the limit", {{48, -2047}}, 0, {0, 0x01, 0xF8, 0, 0, 0}},
        {"y small negative", {{49, -1}}, 0, {0, 0, 0, 0xFF, 0xFF, 0}},
        {"y little-endian", {{49, 0x123}}, 0, {0, 0, 0, 0x23, 0x01, 0}},
        {"wheel clamped down", {{50, -20}}, 0, {0, 0, 0, 0, 0, 0xF1}},
        {"wheel clamped up", {{50, 20}}, 0, {0, 0, 0, 0, 0, 0x0F}},
        {"buttons held only when positive",
         {{1, 1}, {2, 0}, {3, 5}, {4, 1}, {5, -1}},
         0,
         {0x0D, 0, 0, 0, 0, 0}},
        {"button 5", {{5, 1}}, 0, {0x10, 0, 0, 0, 0, 0}},
        {"unknown codes ignored", {{6, 1}, {47, 9}, {51, 9}, {-1, 9}}, 0, {0, 0, 0, 0, 0, 0}},
        {"report ID framing", {{1, 1}, {48, 1}, {49, -2}, {50, 1}}, 3, {3, 0x01, 0x01, 0, 0xFE, 0xFF, 0x01}},
    };
    for (const Case& c : cases) {
        ResetInputStateForTests();
        for (const Item& item : c.items)
            SetMouseItem(item.code, item.value);
        EXPECT_EQ(MakeMouseReport(c.reportId), c.expected) << c.name;
    }
}

TEST_F(ReportTest, MouseReport_ConsumesMotionButKeepsButtons) {
    SetMouseItem(MouseCodeLeft, 1);
    SetMouseItem(MouseCodeRight, 0);
    SetMouseItem(MouseCodeX, 3000);
    SetMouseItem(MouseCodeWheel, -2);

    // A release report neither reads nor consumes the pending motion.
    EXPECT_EQ(GetEmptyHidReport(USBID_0451_16B4, TReportType::Mouse), (THidReport{3, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(GetHidReport(USBID_0451_16B4, TReportType::Mouse),
              (THidReport{3, 0x01, 0xFF, 0x07, 0, 0, 0xFE}));
    // Movement beyond the limit is dropped, not carried into the next report.
    EXPECT_EQ(GetHidReport(USBID_0451_16B4, TReportType::Mouse), (THidReport{3, 0x01, 0, 0, 0, 0, 0}));
    ASSERT_EQ(MouseItemCount, 4);
    EXPECT_EQ(MouseItems[0].Value, 1);
    EXPECT_EQ(MouseItems[1].Value, 0);
    EXPECT_EQ(MouseItems[2].Value, 0);
    EXPECT_EQ(MouseItems[3].Value, 0);

    ClearMouseItems();
    EXPECT_EQ(GetHidReport(USBID_4348_E010, TReportType::Mouse), THidReport::Zeroed(6));
}

TEST_F(ReportTest, LedStatus_ReportIdFramingAcceptsOnlyTwoBytesWithId1) {
    const auto f801 = TBluetoothUuid::FromShort(0xF801);
    struct Step {
        std::vector<uint8_t> value;
        uint8_t expected;
    };
    const Step steps[] = {
        {{0x01, 0x02}, 2}, {{0x01, 0x02, 0x03}, 2}, {{0x02, 0x05}, 2}, {{}, 2},
        {{0x01}, 2},       {{0x01, 0x07}, 7},
    };
    for (TUSBDeviceID id : {USBID_0451_16B4, Id(0x0451, 0xE010, 0)}) {
        ResetInputStateForTests();
        for (const Step& s : steps) {
            EXPECT_EQ(ParseLedReport(id, f801, s.value), s.expected);
            EXPECT_EQ(LastLedStatus.load(), s.expected);
        }
    }
}

// An empty value carries no LED byte: it leaves the status as it was (our choice; see StoreLedStatus).
TEST_F(ReportTest, LedStatus_PlainFramingTakesTheFirstByte) {
    const auto f801 = TBluetoothUuid::FromShort(0xF801);
    struct Step {
        std::vector<uint8_t> value;
        uint8_t expected;
    };
    const Step steps[] = {{{0x05}, 5}, {{0x09, 0xFF}, 9}, {{}, 9}, {{0x00}, 0}};
    for (TUSBDeviceID id : {USBID_045E_002D, USBID_4348_E010, Id(0x0451, 0xE010, 1)}) {
        ResetInputStateForTests();
        for (const Step& s : steps)
            EXPECT_EQ(ParseLedReport(id, f801, s.value), s.expected);
    }
}

TEST_F(ReportTest, LedStatus_OtherCharacteristicsAndUnknownIdentitiesGiveZeroAndStoreNothing) {
    const std::vector<uint8_t> value{0x01, 0x04};
    ASSERT_EQ(StoreLedStatus(0, std::vector<uint8_t>{0x06}), 6);
    EXPECT_EQ(ParseLedReport(USBID_0451_16B4, TBluetoothUuid::FromShort(0xF80F), value), 0);
    EXPECT_EQ(ParseLedReport(USBID_4348_E010, TBluetoothUuid::FromShort(0xF803), value), 0);
    EXPECT_EQ(ParseLedReport(USBID_4348_E010, *TBluetoothUuid::Parse("1234F801-0000-1000-8000-00805F9B34FB"),
                             value),
              0);
    EXPECT_EQ(ParseLedReport(TUSBDeviceID{}, TBluetoothUuid::FromShort(0xF801), value), 0);
    EXPECT_EQ(LastLedStatus.load(), 6);
}

// LED notifications of different dongles arrive on different Bluetooth threads at once.
TEST_F(ReportTest, LedStatus_ConcurrentUpdatesFromSeveralDongles) {
    const auto f801 = TBluetoothUuid::FromShort(0xF801);
    auto notify = [&](TUSBDeviceID id, std::vector<uint8_t> value) {
        for (int i = 0; i < 2000; ++i)
            ParseLedReport(id, f801, value);
    };
    std::thread a(notify, USBID_0451_16B4, std::vector<uint8_t>{0x01, 0x02});
    std::thread b(notify, USBID_4348_E010, std::vector<uint8_t>{0x04});
    a.join();
    b.join();
    const uint8_t last = LastLedStatus.load();
    EXPECT_TRUE(last == 2 || last == 4) << int{last};
}

TEST(HidReport, HoldsAtMostNineBytesAndComparesBySizeAndContent) {
    const std::vector<uint8_t> ten(10, 0xAB);
    const THidReport r = THidReport::FromBytes(ten);
    EXPECT_EQ(r.size(), MaxHidReportSize);
    EXPECT_EQ(r.ToHex(), "AB AB AB AB AB AB AB AB AB");
    EXPECT_NE(THidReport::Zeroed(8), THidReport::Zeroed(9));
    EXPECT_EQ(THidReport::Zeroed(20).size(), MaxHidReportSize);
    EXPECT_TRUE(THidReport{}.empty());
    EXPECT_EQ(THidReport({1, 2}).ToVector(), (std::vector<uint8_t>{1, 2}));
}
