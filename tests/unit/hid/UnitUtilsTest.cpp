#include "hid/UnitUtils.h"

#include <gtest/gtest.h>

TEST(BluetoothUuid, ShortFormSitsInTheBaseUuid) {
    EXPECT_EQ(TBluetoothUuid::FromShort(0xF800).ToString(), "0000F800-0000-1000-8000-00805F9B34FB");
    EXPECT_EQ(TBluetoothUuid::FromShort(0x180A).ToLowerString(), "0000180a-0000-1000-8000-00805f9b34fb");
}

TEST(BluetoothUuid, ParseAcceptsCanonicalTextInAnyCaseWithOrWithoutBraces) {
    const auto expected = TBluetoothUuid::FromShort(0x2A23);
    for (const char* text : {"00002A23-0000-1000-8000-00805F9B34FB", "00002a23-0000-1000-8000-00805f9b34fb",
                             "{00002A23-0000-1000-8000-00805F9B34FB}"}) {
        auto parsed = TBluetoothUuid::Parse(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        EXPECT_EQ(*parsed, expected) << text;
    }
}

TEST(BluetoothUuid, ParseRejectsMalformedText) {
    for (const char* text :
         {"", "0000F800", "0000F800-0000-1000-8000-00805F9B34F", "0000F800+0000-1000-8000-00805F9B34FB",
          "0000G800-0000-1000-8000-00805F9B34FB", "{0000F800-0000-1000-8000-00805F9B34FB"}) {
        EXPECT_FALSE(TBluetoothUuid::Parse(text).has_value()) << text;
    }
}

TEST(ShortUUIDText, GivesTheLowFourDigitsOfTheFirstField) {
    EXPECT_EQ(ShortUUIDText(TBluetoothUuid::FromShort(0x180A)), "180A");
    EXPECT_EQ(ShortUUIDText(TBluetoothUuid::FromShort(0xF800)), "F800");
    EXPECT_EQ(ShortUUIDText(TBluetoothUuid::FromShort(0x000F)), "000F");
    EXPECT_EQ(ShortUUIDText(*TBluetoothUuid::Parse("1234ABCD-0000-1000-8000-00805F9B34FB")), "ABCD");
}
