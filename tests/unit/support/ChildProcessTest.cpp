#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(ChildProcess, MissingProgramFailsWithAReason) {
    std::string error;
    EXPECT_EQ(TChildProcess::Start({"corvastel-no-such-program"}, {}, &error), nullptr);
    EXPECT_NE(error.find("corvastel-no-such-program"), std::string::npos);
}

TEST(ChildProcess, StopEndsAProgramThatWouldRunOn) {
    auto p = TChildProcess::Start({"sleep", "30"}, {});
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(p->Running());
    p->Stop();
    EXPECT_FALSE(p->Running());
}

TEST(XvfbServer, StartsOnAFreeDisplay) {
    std::string error;
    auto x = TXvfbServer::Start(640, 480, &error);
    if (!x && !ProgramAvailable("Xvfb"))
        GTEST_SKIP() << error;
    ASSERT_NE(x, nullptr) << error;
    EXPECT_EQ(x->Display().front(), ':');
    auto probe = TChildProcess::Start({"xdpyinfo"}, {{{"DISPLAY", x->Display()}}, "/dev/null", "/dev/null"});
    if (probe) {
        EXPECT_EQ(probe->WaitExit(std::chrono::seconds(10)).value_or(-1), 0);
    }
}

TEST(PrivateBus, ReportsAnAddressClientsCanUse) {
    std::string error;
    auto bus = TPrivateBus::Start(&error);
    if (!bus && !ProgramAvailable("dbus-daemon"))
        GTEST_SKIP() << error;
    ASSERT_NE(bus, nullptr) << error;
    EXPECT_EQ(bus->Address().rfind("unix:", 0), 0u) << bus->Address();
    auto probe = TChildProcess::Start(
        {"dbus-send", "--bus=" + bus->Address(), "--print-reply", "--dest=org.freedesktop.DBus",
         "/org/freedesktop/DBus", "org.freedesktop.DBus.ListNames"},
        {{}, "/dev/null", "/dev/null"});
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe->WaitExit(std::chrono::seconds(10)).value_or(-1), 0);
}
