// The built program, unmodified, on the real Linux Bluetooth stack: it runs inside the kernel rig
// (real-stack-guest.sh), where btvirt gives the kernel three emulated LE controllers sharing one
// air and one real bluetoothd serves them all. The program is the central on hci0; the virtual
// dongles are real peripherals on hci1 and hci2 (corvastel-virtual-dongles --bluez-adapters). The
// window runs under Xvfb in the guest and is driven through XTest, as the end-to-end tests do.
//
// The program takes the adapter Qt's BlueZ backend picks: the first one in bluetoothd's object
// manager, /org/bluez/hci0. The guest starts it only once hci0, the controller meant for the
// central, is listed; the program gets no option for it.
//
// One world serves every case, in order (each start costs a minute of emulated time): the cases
// build on the dongles connected by the first.
//
// Two links at once need the handle pad the guest holds on hci2 (HandlePad.cpp): btvirt numbers the
// links of a controller on its own side, and only a dongle on hci2 connected while hci1's is
// linked gets the same number on both sides. Linked first, B would be 42 on the central's side
// while its controller's host already has a 42 (the pad's link): the kernel on hci2, handed two
// links numbered 42, corrupts its list of channels and stops. So A (hci1) is always linked before
// B: B is switched on once A is connected, and after the central's adapter was off B keeps silent
// until A is back. (Which of two dongles one scan finds first is not fixed: the reports btvirt
// sends as scanning starts can come before the kernel counts itself as discovering and be dropped,
// and the next ones follow the service's re-advertising.)

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QJsonArray>
#include <QJsonObject>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

#include <sys/wait.h>

#include "E2eCase.h"
#include "E2eWorld.h"
#include "KeyCodes.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

// btvirt's controllers have fixed addresses; a dongle is heard under its adapter's.
const TDongleTraits A{QStringLiteral("00:AA:01:01:00:01"),
                      "name=Corvastel-A,address=00:AA:01:01:00:01,firmware=1.2.0,identity=0451:E010:1", false,
                      QStringLiteral("F803")};
const TDongleTraits B{
    QStringLiteral("00:AA:01:02:00:02"),
    "name=Corvastel-B,address=00:AA:01:02:00:02,firmware=1.1.9,identity=0451:16B4,answers-identity=0,"
    "advertising=0",
    true, QStringLiteral("F801")};

// The guest's CPU is some 25 times slower than the host's; waits grow accordingly.
constexpr int Slowdown = 6;

class RealStack : public TE2eCase {
  protected:
    static void SetUpTestSuite() {
        TWorldOptions options;
        options.dongles = {A, B};
        options.systemBus = "unix:path=/run/dbus/system_bus_socket";
        options.bluezAdapters = {"hci1", "hci2"};
        options.slowdown = Slowdown;
        std::string error;
        World =
            TE2eWorld::Start({CORVASTEL_PC_PATH, CORVASTEL_VIRTUAL_DONGLES_PATH}, options, &error).release();
        if (!World) {
            StartError = error;
            return;
        }
        Other = TSpyClient::Open(World->Display(), {16, 16, 240, 140}, &error).release();
        if (!Other)
            StartError = error;
    }
    static void TearDownTestSuite() {
        delete Other;
        Other = nullptr;
        // What the program and the service said, kept with the guest's traces: what the real stack
        // does is read from these as much as from the results.
        if (World) {
            if (FILE* f = std::fopen((ArtifactsDir("/tmp") + "/world.log").c_str(), "w")) {
                const std::string logs = World->Logs();
                std::fwrite(logs.data(), 1, logs.size(), f);
                std::fclose(f);
            }
        }
        delete World;
        World = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(World && Other) << StartError;
        ASSERT_FALSE(Broken) << "an earlier case left the world unusable";
    }
    void TearDown() override {
        if (HasFailure() && World) {
            Broken = true;
            Screenshot(std::string("failed-") +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
            for (const TDongleTraits* d : {&A, &B}) {
                std::cout << d->address.toStdString() << " writes:";
                for (const TDongleWrite& w : Control().Writes(d->address))
                    std::cout << " " << w.characteristic.toStdString() << "[" << w.bytes.toStdString() << "]";
                std::cout << "\n";
            }
            std::cout << World->Logs();
        }
    }

    // Whether bluetoothd still lists the dongle as a device of the central's adapter.
    static bool KnownToBluez(const TDongleTraits& d) {
        QDBusConnection bus = QDBusConnection::connectToBus(
            QStringLiteral("unix:path=/run/dbus/system_bus_socket"), QStringLiteral("rig-bluez-look"));
        const QString path = QStringLiteral("/org/bluez/hci0/dev_") +
                             QString(d.address).replace(QLatin1Char(':'), QLatin1Char('_'));
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.bluez"), path,
                                                           QStringLiteral("org.freedesktop.DBus.Properties"),
                                                           QStringLiteral("Get"));
        call.setArguments({QStringLiteral("org.bluez.Device1"), QStringLiteral("Address")});
        return bus.call(call, QDBus::Block, 10000).type() == QDBusMessage::ReplyMessage;
    }
    static std::chrono::milliseconds Wait(std::chrono::milliseconds t) { return t * Slowdown; }
    TE2eWorld& TheWorld() override { return *World; }
    TSpyClient& OtherClient() override { return *Other; }
    int ConnectCount(const TDongleTraits& d) {
        return Control().DongleStatus(d.address).value(QStringLiteral("connectCount")).toInt();
    }
    // Back by itself: linked anew (the count past `before`) and sent the all-released report every
    // new session starts with.
    bool WaitBack(const TDongleTraits& d, int before, std::chrono::milliseconds wait) {
        const auto start = std::chrono::steady_clock::now();
        const bool back = TE2eWorld::WaitUntil(
            [&] { return Connected(d) && ConnectCount(d) > before && !KeyboardWrites(d).empty(); }, wait);
        std::printf("%s back after %.1f s\n", d.address.toStdString().c_str(),
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        return back;
    }
    bool WaitText(const TDongleTraits& d, const std::string& text) {
        return TE2eWorld::WaitUntil([&] { return Text(d).toStdString() == text; }, Wait(10s));
    }
    bool WaitNothingHeld(const TDongleTraits& d) {
        return TE2eWorld::WaitUntil([&] { return !Target(d).value(QStringLiteral("anyInputHeld")).toBool(); },
                                    Wait(5s));
    }
    void Screenshot(const std::string& name) {
        const std::string path = ArtifactsDir("/tmp") + "/" + name + ".png";
        std::string error;
        if (!World->SaveScreenshot(World->AppWindow(), path, nullptr, &error))
            std::printf("screenshot %s: %s\n", name.c_str(), error.c_str());
    }
    void TypeReachesBoth(const std::string& text) {
        PassThroughOn(false);
        ClearRecords();
        ASSERT_TRUE(X().Type(text));
        for (const TDongleTraits* d : {&A, &B}) {
            EXPECT_TRUE(WaitText(*d, text)) << Json(Target(*d));
            // The text is complete with the last key's press; its release may still be on the air.
            const auto want = KeyboardReportsForText(text, d->reportId);
            std::vector<std::string> got;
            EXPECT_TRUE(TE2eWorld::WaitUntil([&] { return (got = KeyboardWrites(*d)) == want; }, Wait(5s)))
                << d->address.toStdString() << ": " << got.size() << " reports for " << want.size()
                << " expected";
        }
        ExitChord();
        for (const TDongleTraits* d : {&A, &B})
            EXPECT_TRUE(WaitNothingHeld(*d)) << Json(Target(*d));
    }

    static inline TE2eWorld* World = nullptr;
    static inline TSpyClient* Other = nullptr;
    static inline std::string StartError;
    static inline bool Broken = false;
};

TEST_F(RealStack, Scan_ListsBoth_ConnectsBoth_DeviceInformationAndIdentityOnEach) {
    // B is switched on once A is connected; the second scan lists A first (a dongle with a session
    // keeps its place) and B after it.
    std::string error;
    ASSERT_TRUE(World->Scan(&error)) << error;
    Screenshot("01-scanned");
    // The user takes a while (naming the dongles, say): bluetoothd forgets a device it never
    // connected 30 s after it last heard it, and the connect must find it again by itself.
    const auto scanned = std::chrono::steady_clock::now();
    ASSERT_TRUE(KnownToBluez(A));
    ASSERT_TRUE(TE2eWorld::WaitUntil([&] { return !KnownToBluez(A); }, 60s)) << "bluetoothd never forgot A";
    std::printf("bluetoothd forgot A %.1f s after the scan\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - scanned).count());
    std::this_thread::sleep_for(5s);
    const auto t0 = std::chrono::steady_clock::now();
    QString first;
    ASSERT_TRUE(World->ConnectSelected(&first, &error)) << error;
    const auto t1 = std::chrono::steady_clock::now();
    ASSERT_EQ(first, A.address);
    Control().SetAdvertising(B.address, true);
    ASSERT_TRUE(World->Scan(&error)) << error;
    World->SelectListItem(1);
    const auto t2 = std::chrono::steady_clock::now();
    QString second;
    ASSERT_TRUE(World->ConnectSelected(&second, &error)) << error;
    const auto t3 = std::chrono::steady_clock::now();
    EXPECT_EQ(second, B.address);
    std::printf("connected, each from Alt+C to its first report: %.1f s, %.1f s\n",
                std::chrono::duration<double>(t1 - t0).count(),
                std::chrono::duration<double>(t3 - t2).count());
    Screenshot("02-both-connected");

    for (const TDongleTraits* d : {&A, &B}) {
        const QJsonObject s = Control().DongleStatus(d->address);
        EXPECT_EQ(s.value(QStringLiteral("connectCount")).toInt(), 1) << Json(s);
        // The first keyboard report is shaped for the identity the dongle presents.
        const auto writes = KeyboardWrites(*d);
        ASSERT_FALSE(writes.empty()) << d->address.toStdString();
        EXPECT_EQ(writes.front(), KeyboardReportHex(0, {}, d->reportId)) << d->address.toStdString();
    }
    // The firmware revision read from Device Information decides whether the dongle is asked for
    // its identity: 1.2.0 is (and answers in a notification), 1.1.9 is not.
    EXPECT_EQ(Control().WritesTo(A.address, QStringLiteral("F80F")).size(), 1u);
    EXPECT_EQ(Control().WritesTo(B.address, QStringLiteral("F80F")).size(), 0u);
    const QJsonObject a = Control().DongleStatus(A.address);
    EXPECT_TRUE(a.value(QStringLiteral("notifying")).toArray().contains(QStringLiteral("F80F"))) << Json(a);
}

TEST_F(RealStack, PassThrough_TypedTextReachesBothTargetsAsExactReports) {
    TypeReachesBoth("Hello, World 42!");
}

TEST_F(RealStack, PassThroughWithMouse_MotionButtonsAndWheelReachBothTargets) {
    X().MoveTo(16 + 120, 16 + 70);
    PassThroughOn(true);
    ClearRecords();
    for (int i = 0; i < 6; ++i)
        X().MoveBy(7, 3);
    X().Button(1, true);
    X().Button(1, false);
    X().Wheel(2);
    X().Wheel(-1);
    for (int i = 0; i < 4; ++i)
        X().MoveBy(-5, 0);
    for (const TDongleTraits* d : {&A, &B}) {
        EXPECT_TRUE(TE2eWorld::WaitUntil(
            [&] {
                return TargetInt(*d, "wheel") == 1 && TargetInt(*d, "pointerX") == 22 &&
                       TargetInt(*d, "pointerY") == 18;
            },
            Wait(10s)))
            << Json(Target(*d));
        const auto mouse = Control().WritesTo(d->address, d->mouseCharacteristic);
        EXPECT_NE(std::find(mouse.begin(), mouse.end(), MouseReportHex(1, 0, 0, 0, d->reportId)), mouse.end())
            << d->address.toStdString();
    }
    ExitChord();
    for (const TDongleTraits* d : {&A, &B})
        EXPECT_TRUE(WaitNothingHeld(*d)) << Json(Target(*d));
}

// A report written without response that the peripheral fails is lost: bluetoothd answered the
// program when it queued the write, and an ATT write command has no answer to carry a failure.
// What follows still arrives, and the other dongle gets everything.
TEST_F(RealStack, WriteFailingAtThePeripheral_IsLostThere_LaterReportsArrive) {
    PassThroughOn(false);
    ClearRecords();
    Control().FailNextWrites(A.address, 1);
    ASSERT_TRUE(X().Type("xy"));
    ASSERT_TRUE(WaitText(A, "y")) << Json(Target(A));
    EXPECT_TRUE(WaitText(B, "xy")) << Json(Target(B));
    const auto writes = Control().Writes(A.address);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.front().bytes.toStdString(),
              KeyboardReportHex(0, {KeyStrokeFor('x')->usage}, A.reportId));
    ExitChord();
    for (const TDongleTraits* d : {&A, &B})
        EXPECT_TRUE(WaitNothingHeld(*d)) << Json(Target(*d));
}

// The peripheral ends the link: the program hears of the disconnect (device event 8) and, as the
// dongle was taking input, connects it again by itself; typing reaches both afterwards.
TEST_F(RealStack, PeripheralDropsTheLink_ComesBackByItself_TypingReachesBoth) {
    const int before = ConnectCount(B);
    Control().ClearRecords(B.address);
    Control().DropLink(B.address);
    ASSERT_TRUE(TE2eWorld::WaitUntil([&] { return !Connected(B); }, Wait(5s)));
    Screenshot("03-dropped");
    ASSERT_TRUE(WaitBack(B, before, Wait(20s))) << Json(Control().DongleStatus(B.address));
    EXPECT_EQ(KeyboardWrites(B).front(), KeyboardReportHex(0, {}, B.reportId));
    EXPECT_TRUE(Connected(A));
    TypeReachesBoth("gh");
}

// The central's adapter goes off: both links end, the program tries again on its schedule and,
// once the adapter is back, both dongles return; typing reaches both. B keeps silent until A is
// back (see the top).
TEST_F(RealStack, CentralAdapterPoweredOff_BothLinksEnd_BothComeBack) {
    const int beforeA = ConnectCount(A);
    const int beforeB = ConnectCount(B);
    ClearRecords();
    Control().SetAdvertising(B.address, false);
    Control().SetPowered(false);
    ASSERT_TRUE(TE2eWorld::WaitUntil([&] { return !Connected(A) && !Connected(B); }, Wait(10s)))
        << Json(Control().Status());
    Screenshot("04-adapter-off");
    Control().SetPowered(true);
    ASSERT_TRUE(TE2eWorld::WaitUntil(
        [&] { return Control().Status().value(QStringLiteral("powered")).toBool(); }, Wait(10s)));
    ASSERT_TRUE(WaitBack(A, beforeA, Wait(10s))) << Json(Control().DongleStatus(A.address));
    Control().SetAdvertising(B.address, true);
    ASSERT_TRUE(WaitBack(B, beforeB, Wait(15s))) << Json(Control().DongleStatus(B.address));
    Screenshot("05-back");
    TypeReachesBoth("ok");
}

// Last, as it ends the world: the user closes the window with both dongles connected. The program
// ends soon (bluetoothd holds each disconnect for its 2 s timer: the links close together, not one
// after another) and both links are down.
TEST_F(RealStack, WindowClosedWithBothConnected_EndsSoon_BothLinksDown) {
    ASSERT_TRUE(Connected(A) && Connected(B));
    const auto start = std::chrono::steady_clock::now();
    X().CloseWindow(World->AppWindow());
    const auto status = World->WaitAppExit(Wait(10s));
    ASSERT_TRUE(status.has_value()) << "the program did not end after its window was closed";
    std::printf("window closed: the program ended after %.1f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    for (const TDongleTraits* d : {&A, &B}) {
        EXPECT_TRUE(TE2eWorld::WaitUntil([&] { return !Connected(*d); }, Wait(2s)))
            << Json(Control().DongleStatus(d->address));
        EXPECT_FALSE(Target(*d).value(QStringLiteral("anyInputHeld")).toBool()) << Json(Target(*d));
    }
}

}  // namespace
