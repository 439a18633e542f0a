// The reconnect tries without a window: a fake central's device objects and a clock of the test's.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "app/ReconnectTries.h"
#include "platform/ble/fake/FakeBluetoothLE.h"

using namespace std::chrono_literals;

namespace {

constexpr char Left[] = "AA:00:00:00:00:01";
constexpr char Right[] = "AA:00:00:00:00:02";

struct TReconnectTriesFixture : ::testing::Test {
    TFakeBluetoothLEManager ble;
    TReconnectTries tries;
    TReconnectTries::TTime now{};

    // The devices whose try starts at At; every start succeeds.
    std::vector<TBluetoothLEDevice*> StartDue(TReconnectTries::TTime At) {
        std::vector<TBluetoothLEDevice*> started;
        tries.StartDue(At, [&](TBluetoothLEDevice& device) {
            started.push_back(&device);
            return true;
        });
        return started;
    }
};

TEST_F(TReconnectTriesFixture, Drop_TriesFollowThePolicysGrowingWaitsUntilTheDongleIsBack) {
    TBluetoothLEDevice& device = ble.Device(Left);
    tries.Dropped(device, now);
    // Each failed try doubles the wait, up to half a minute.
    for (const auto wait : {1000ms, 2000ms, 4000ms, 8000ms, 16000ms, 30000ms, 30000ms}) {
        ASSERT_EQ(tries.NextWait(now), wait);
        EXPECT_TRUE(StartDue(now + wait - 1ms).empty()) << "not due yet";
        now += wait;
        ASSERT_EQ(StartDue(now), std::vector<TBluetoothLEDevice*>{&device});
        EXPECT_TRUE(tries.Trying(Left));
        EXPECT_FALSE(tries.NextWait(now)) << "a try under way is not due again";
        EXPECT_TRUE(tries.TryEnded(Left, false, now));
    }
    // A try that finds it back ends the schedule; nothing is left to try or to list.
    now += 30000ms;
    ASSERT_EQ(StartDue(now).size(), 1U);
    EXPECT_TRUE(tries.TryEnded(Left, true, now));
    EXPECT_FALSE(tries.Scheduled(Left));
    EXPECT_EQ(tries.Device(Left), nullptr);
    EXPECT_FALSE(tries.NextWait(now));
    EXPECT_TRUE(tries.Empty());
}

TEST_F(TReconnectTriesFixture, UserLetsGo_StopsTriesAndALateTryEndChangesNothing) {
    tries.Dropped(ble.Device(Left), now);
    tries.Dropped(ble.Device(Right), now + 500ms);
    EXPECT_EQ(tries.Device(Left), &ble.Device(Left));
    EXPECT_EQ(tries.Addresses(), (std::vector<std::string>{Left, Right}));

    now += 1000ms;
    ASSERT_EQ(StartDue(now).size(), 1U);  // Left's try is under way
    EXPECT_TRUE(tries.Stop(Left));
    EXPECT_FALSE(tries.Stop(Left)) << "only once";
    // The try's session ends after the user let the dongle go: it must not come back on the schedule.
    EXPECT_FALSE(tries.TryEnded(Left, false, now));
    EXPECT_FALSE(tries.Scheduled(Left));
    EXPECT_EQ(tries.Device(Left), nullptr);
    EXPECT_EQ(tries.NextWait(now), 500ms) << "the other dongle keeps its own schedule";

    // A connection the user started is no try.
    EXPECT_FALSE(tries.TryEnded("AA:00:00:00:00:09", true, now));
}

TEST_F(TReconnectTriesFixture, NoRoomForATry_ItsTurnCountsAsFailedAndItWaitsLonger) {
    TBluetoothLEDevice& left = ble.Device(Left);
    TBluetoothLEDevice& right = ble.Device(Right);
    tries.Dropped(left, now);
    tries.Dropped(right, now);
    now += 1000ms;
    // One free slot: the first start takes it, so the second due dongle finds none.
    int freeSlots = 1;
    std::vector<TBluetoothLEDevice*> started;
    tries.StartDue(now, [&](TBluetoothLEDevice& device) {
        if (freeSlots == 0) {
            return false;
        }
        --freeSlots;
        started.push_back(&device);
        return true;
    });
    EXPECT_EQ(started, std::vector<TBluetoothLEDevice*>{&left});
    EXPECT_TRUE(tries.Trying(Left));
    EXPECT_FALSE(tries.Trying(Right));
    EXPECT_TRUE(tries.Scheduled(Right));
    EXPECT_EQ(tries.Delay(Right), 2000ms);
    EXPECT_EQ(tries.NextWait(now), 2000ms);
    EXPECT_EQ(tries.NextWait(now + 5000ms), 0ms) << "overdue waits nothing, never a negative time";
}

}  // namespace
