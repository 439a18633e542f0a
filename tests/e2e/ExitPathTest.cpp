// The program ended otherwise than by closing its window, during pass-through with keys held: a
// termination signal, or the X server going away. The targets must end with nothing held and the
// links closed, and the program must end the way its parent expects, without a crash.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <sys/wait.h>
#include <csignal>
#include <cstring>
#include <iostream>
#include <thread>

#include "E2eWorld.h"
#include "KeyCodes.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

std::string Json(const QJsonObject& o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

std::string Describe(int status) {
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("signal ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

class ExitPath : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        World = TE2eWorld::Start({CORVASTEL_PC_PATH, CORVASTEL_VIRTUAL_DONGLES_PATH}, Options(), &error);
        if (!World && error.find("not installed") != std::string::npos)
            GTEST_SKIP() << error;
        ASSERT_TRUE(World) << error;
        Other = TSpyClient::Open(World->Display(), {16, 16, 240, 140}, &error);
        ASSERT_TRUE(Other) << error;
    }

    virtual TWorldOptions Options() const { return {}; }

    void TearDown() override {
        if (HasFailure() && World)
            std::cout << World->Logs();
        Other.reset();
        World.reset();
    }

    // Both dongles active, pass-through on with the mouse, Shift+A and the left button held: the
    // targets show them held.
    void HoldKeysDuringPassThrough() {
        std::string error;
        ASSERT_TRUE(World->ConnectAll(&error)) << error;
        ASSERT_TRUE(World->PassThroughOn(true, *Other, &error)) << error;
        World->X().Key(keycode::LeftShift, true);
        World->X().Key(keycode::A, true);
        World->X().Button(1, true);
        for (const TDongleTraits* d : Dongles) {
            ASSERT_TRUE(TE2eWorld::WaitUntil(
                [&] {
                    const QJsonObject t = World->Control().Target(d->address);
                    return t.value(QStringLiteral("modifiers")).toInt() != 0 &&
                           !t.value(QStringLiteral("keysHeld")).toArray().isEmpty() &&
                           t.value(QStringLiteral("buttons")).toInt() != 0;
                },
                10s))
                << Json(World->Control().Target(d->address));
        }
    }

    void ExpectTargetsReleasedAndUnlinked() {
        for (const TDongleTraits* d : Dongles) {
            const QJsonObject target = World->Control().Target(d->address);
            EXPECT_FALSE(target.value(QStringLiteral("anyInputHeld")).toBool()) << Json(target);
            EXPECT_TRUE(TE2eWorld::WaitUntil(
                [&] {
                    return !World->Control()
                                .DongleStatus(d->address)
                                .value(QStringLiteral("connected"))
                                .toBool();
                },
                5s))
                << Json(World->Control().DongleStatus(d->address));
        }
    }

    const std::vector<const TDongleTraits*> Dongles{&NewerDongle(), &OlderDongle()};
    std::unique_ptr<TE2eWorld> World;
    std::unique_ptr<TSpyClient> Other;
};

TEST_F(ExitPath, XServerGone_KeysReleasedLinksClosedStatusOne) {
    HoldKeysDuringPassThrough();
    if (HasFatalFailure())
        return;
    // The spy's connection dies with the server; closing it would need the server.
    (void)Other.release();
    World->KillXServer();

    const auto status = World->WaitAppExit(15s);
    ASSERT_TRUE(status.has_value()) << "the program did not end without its display";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << Describe(*status);
    EXPECT_NE(World->Logs().find("X display was lost"), std::string::npos) << World->Logs();
    ExpectTargetsReleasedAndUnlinked();
}

class ExitBySignal : public ExitPath, public ::testing::WithParamInterface<int> {};

TEST_P(ExitBySignal, KeysReleasedLinksClosedEndsBySignal) {
    HoldKeysDuringPassThrough();
    if (HasFatalFailure())
        return;
    ASSERT_EQ(kill(World->AppPid(), GetParam()), 0);

    const auto status = World->WaitAppExit(15s);
    ASSERT_TRUE(status.has_value()) << "the program did not end on " << strsignal(GetParam());
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == GetParam()) << Describe(*status);
    ExpectTargetsReleasedAndUnlinked();
    EXPECT_EQ(World->Logs().find("Segmentation"), std::string::npos) << World->Logs();
}

INSTANTIATE_TEST_SUITE_P(Signals, ExitBySignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// Both dongles on a link as BlueZ usually gets one (an event every 50 ms carrying four writes),
// the newer one taking writes without response, the older one only writes with response.
class ExitOnSlowLink : public ExitPath {
  protected:
    TWorldOptions Options() const override {
        TWorldOptions options;
        TDongleTraits newer = NewerDongle();
        newer.traits += ",interval-us=50000,packets-per-event=4";
        TDongleTraits older = OlderDongle();
        older.traits += ",interval-us=50000,packets-per-event=4,request-only=1";
        options.dongles = {newer, older};
        return options;
    }
};

// Two seconds of mouse motion during pass-through, then Ctrl+Shift held (as a user does to pause
// the mouse and reach the window), then SIGTERM: closing a link discards what the stack still
// queues, so the program must know the releases arrived before it closes the links.
TEST_F(ExitOnSlowLink, SigtermWithCtrlShiftHeldAfterMotion_NothingHeld) {
    std::string error;
    ASSERT_TRUE(World->ConnectAll(&error)) << error;
    ASSERT_TRUE(World->PassThroughOn(true, *Other, &error)) << error;
    const auto start = std::chrono::steady_clock::now();
    for (int ms = 0; ms < 2000; ++ms) {
        World->X().MoveBy(ms % 2 == 0 ? 1 : -1, 1);
        std::this_thread::sleep_until(start + std::chrono::milliseconds(ms + 1));
    }
    World->X().Key(keycode::LeftCtrl, true);
    World->X().Key(keycode::LeftShift, true);
    for (const TDongleTraits* d : Dongles) {
        ASSERT_TRUE(TE2eWorld::WaitUntil(
            [&] {
                return World->Control().Target(d->address).value(QStringLiteral("modifiers")).toInt() == 3;
            },
            10s))
            << Json(World->Control().Target(d->address));
    }
    ASSERT_EQ(kill(World->AppPid(), SIGTERM), 0);
    const auto status = World->WaitAppExit(15s);
    ASSERT_TRUE(status.has_value()) << "the program did not end on SIGTERM";
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << Describe(*status);
    ExpectTargetsReleasedAndUnlinked();
}

}  // namespace
