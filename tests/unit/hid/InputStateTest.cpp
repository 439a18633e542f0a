#include "hid/UnitCorvHid.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class InputStateTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetInputStateForTests(); }
    void TearDown() override { ResetInputStateForTests(); }

    static std::vector<int32_t> PressedSlots() {
        std::vector<int32_t> slots;
        for (int32_t i = 0; i < PressedKeyCount; ++i)
            slots.push_back(PressedKeys[i].UsageId);
        return slots;
    }
};

using Usages = std::vector<int32_t>;

}  // namespace

TEST_F(InputStateTest, AddPressedKey_RepeatedKeyDown_AddsOnce) {
    EXPECT_TRUE(AddPressedKey(4));
    EXPECT_FALSE(AddPressedKey(4));
    EXPECT_EQ(PressedKeyCount, 1);
    EXPECT_EQ(GetPressedKeys(), Usages{4});
}

TEST_F(InputStateTest, ReleasedKeysLeaveHolesAndTheCountShrinksOnlyFromTheEnd) {
    for (int32_t u : {4, 5, 6})
        ASSERT_TRUE(AddPressedKey(u));
    EXPECT_TRUE(RemovePressedKey(5));
    EXPECT_EQ(PressedSlots(), (Usages{4, 0, 6}));
    EXPECT_EQ(GetPressedKeys(), (Usages{4, 6}));
    EXPECT_EQ(LastPressedKey(), 6);

    EXPECT_TRUE(AddPressedKey(7));  // goes to the end, the hole stays
    EXPECT_EQ(PressedSlots(), (Usages{4, 0, 6, 7}));
    EXPECT_EQ(GetPressedKeys(), (Usages{4, 6, 7}));

    EXPECT_TRUE(RemovePressedKey(7));
    EXPECT_EQ(PressedKeyCount, 3);
    EXPECT_TRUE(RemovePressedKey(6));
    EXPECT_EQ(PressedKeyCount, 2);  // the hole at slot 1 is now last and stays counted
    EXPECT_EQ(LastPressedKey(), 4);
    EXPECT_TRUE(RemovePressedKey(4));
    EXPECT_EQ(PressedKeyCount, 0);  // only holes were left
    EXPECT_TRUE(GetPressedKeys().empty());
    EXPECT_EQ(LastPressedKey(), 0);
}

TEST_F(InputStateTest, RefusedOperationsChangeNothing) {
    for (int32_t u : {4, 5, 6})
        ASSERT_TRUE(AddPressedKey(u));
    ASSERT_TRUE(RemovePressedKey(5));
    const Usages before = PressedSlots();

    EXPECT_FALSE(AddPressedKey(0));
    EXPECT_FALSE(RemovePressedKey(0));
    EXPECT_FALSE(RemovePressedKey(5));
    EXPECT_FALSE(RemovePressedKey(99));
    EXPECT_EQ(PressedSlots(), before);

    EXPECT_FALSE(SetMouseItem(0, 9));
    EXPECT_EQ(MouseItemCount, 0);
}

TEST_F(InputStateTest, ClearPressedKeys_ForgetsEverything_NextKeyStartsAtSlot0) {
    for (int32_t u : {4, 5})
        ASSERT_TRUE(AddPressedKey(u));
    ClearPressedKeys();
    EXPECT_TRUE(GetPressedKeys().empty());
    EXPECT_FALSE(RemovePressedKey(4));
    EXPECT_TRUE(AddPressedKey(5));
    EXPECT_EQ(PressedSlots(), Usages{5});
}

TEST_F(InputStateTest, PressedKeys_HoldAtMost1023AndNeverRefillHoles) {
    Usages all;
    for (int32_t u = 1; u <= MaxInputItems - 1; ++u) {
        ASSERT_TRUE(AddPressedKey(u)) << u;
        all.push_back(u);
    }
    EXPECT_EQ(PressedKeyCount, 1023);
    EXPECT_FALSE(AddPressedKey(5000));
    EXPECT_FALSE(AddPressedKey(1));
    EXPECT_EQ(GetPressedKeys(), all);

    // A hole in the middle frees no room: new keys only go to the end.
    ASSERT_TRUE(RemovePressedKey(10));
    EXPECT_FALSE(AddPressedKey(5000));
    // Releasing the last key does.
    ASSERT_TRUE(RemovePressedKey(1023));
    EXPECT_TRUE(AddPressedKey(5000));
    EXPECT_EQ(LastPressedKey(), 5000);
}

TEST_F(InputStateTest, SetMouseItem_ReplacesTheValueAndReportsOnlyNewCodes) {
    EXPECT_TRUE(SetMouseItem(MouseCodeX, 5));
    EXPECT_FALSE(SetMouseItem(MouseCodeX, 7));
    EXPECT_TRUE(SetMouseItem(MouseCodeLeft, 0));  // a zero value is still stored
    ASSERT_EQ(MouseItemCount, 2);
    EXPECT_EQ(MouseItems[0].Code, MouseCodeX);
    EXPECT_EQ(MouseItems[0].Value, 7);
    EXPECT_EQ(MouseItems[1].Code, MouseCodeLeft);
    EXPECT_EQ(MouseItems[1].Value, 0);
}

TEST_F(InputStateTest, MouseItems_HoldAtMost1023Codes) {
    for (int32_t code = 1; code <= MaxInputItems - 1; ++code)
        ASSERT_TRUE(SetMouseItem(code, code)) << code;
    EXPECT_FALSE(SetMouseItem(5000, 1));
    EXPECT_EQ(MouseItemCount, 1023);
    EXPECT_FALSE(SetMouseItem(MouseCodeWheel, -3));  // existing codes still update when full
    EXPECT_EQ(MouseItems[MouseCodeWheel - 1].Value, -3);
}
