// The program ended otherwise than by closing its window, during pass-through with keys held: a
// termination signal, or the X server going away. The targets must end with nothing held and the
// links closed, and the program must end the way its parent expects, without a crash.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>

#include <sys/wait.h>
#include <csignal>
#include <cstring>
#include <thread>

#include "E2eCase.h"
#include "E2eWorld.h"
#include "KeyCodes.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

std::string Describe(int status) {
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("signal ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

class ExitPath : public TWorldPerCase {
  protected:
    // Both dongles active, pass-through on with the mouse, Shift+A and the left button held: the
    // targets show them held.
    void HoldKeysDuringPassThrough() {
        ASSERT_NO_FATAL_FAILURE(ConnectAll());
        ASSERT_NO_FATAL_FAILURE(PassThroughOn(true));
        X().Key(keycode::LeftShift, true);
        X().Key(keycode::A, true);
        X().Button(1, true);
        for (const TDongleTraits& d : World->Dongles()) {
            ASSERT_TRUE(TE2eWorld::WaitUntil(
                [&] {
                    const QJsonObject t = Target(d);
                    return t.value(QStringLiteral("modifiers")).toInt() != 0 &&
                           !t.value(QStringLiteral("keysHeld")).toArray().isEmpty() &&
                           t.value(QStringLiteral("buttons")).toInt() != 0;
                },
                10s))
                << Json(Target(d));
        }
    }

    void ExpectTargetsReleasedAndUnlinked() {
        for (const TDongleTraits& d : World->Dongles()) {
            const QJsonObject target = Target(d);
            EXPECT_FALSE(target.value(QStringLiteral("anyInputHeld")).toBool()) << Json(target);
            EXPECT_TRUE(TE2eWorld::WaitUntil([&] { return !Connected(d); }, 5s))
                << Json(Control().DongleStatus(d.address));
        }
    }
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
    ASSERT_NO_FATAL_FAILURE(ConnectAll());
    ASSERT_NO_FATAL_FAILURE(PassThroughOn(true));
    const auto start = std::chrono::steady_clock::now();
    for (int ms = 0; ms < 2000; ++ms) {
        X().MoveBy(ms % 2 == 0 ? 1 : -1, 1);
        std::this_thread::sleep_until(start + std::chrono::milliseconds(ms + 1));
    }
    X().Key(keycode::LeftCtrl, true);
    X().Key(keycode::LeftShift, true);
    for (const TDongleTraits& d : World->Dongles()) {
        ASSERT_TRUE(TE2eWorld::WaitUntil([&] { return TargetInt(d, "modifiers") == 3; }, 10s))
            << Json(Target(d));
    }
    ASSERT_EQ(kill(World->AppPid(), SIGTERM), 0);
    const auto status = World->WaitAppExit(15s);
    ASSERT_TRUE(status.has_value()) << "the program did not end on SIGTERM";
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << Describe(*status);
    ExpectTargetsReleasedAndUnlinked();
}

}  // namespace
