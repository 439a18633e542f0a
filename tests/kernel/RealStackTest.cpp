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

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <iostream>
#include <thread>

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
    "name=Corvastel-B,address=00:AA:01:02:00:02,firmware=1.1.9,identity=0451:16B4,answers-identity=0", true,
    QStringLiteral("F801")};

// The guest's CPU is some 25 times slower than the host's; waits grow accordingly.
constexpr int Slowdown = 6;

std::string Json(const QJsonObject& o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

class RealStack : public ::testing::Test {
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

    static std::chrono::milliseconds Wait(std::chrono::milliseconds t) { return t * Slowdown; }
    TXInput& X() { return World->X(); }
    TDongleControl& Control() { return World->Control(); }
    QJsonObject Target(const TDongleTraits& d) { return Control().Target(d.address); }
    QString Text(const TDongleTraits& d) { return Target(d).value(QStringLiteral("text")).toString(); }
    int64_t TargetInt(const TDongleTraits& d, const char* field) {
        return Target(d).value(QString::fromLatin1(field)).toInteger();
    }
    bool Connected(const TDongleTraits& d) {
        return Control().DongleStatus(d.address).value(QStringLiteral("connected")).toBool();
    }
    bool WaitText(const TDongleTraits& d, const std::string& text) {
        return TE2eWorld::WaitUntil([&] { return Text(d).toStdString() == text; }, Wait(10s));
    }
    bool WaitNothingHeld(const TDongleTraits& d) {
        return TE2eWorld::WaitUntil([&] { return !Target(d).value(QStringLiteral("anyInputHeld")).toBool(); },
                                    Wait(5s));
    }
    std::vector<std::string> KeyboardWrites(const TDongleTraits& d) {
        std::vector<std::string> out;
        for (const std::string& w : Control().WritesTo(d.address, QStringLiteral("F801"))) {
            if (d.reportId ? w.rfind("01 ", 0) == 0 : w.size() == 8 * 3 - 1)
                out.push_back(w);
        }
        return out;
    }
    void ClearRecords() {
        std::this_thread::sleep_for(Wait(300ms));
        for (const TDongleTraits* d : {&A, &B})
            Control().ClearRecords(d->address);
    }
    void PassThroughOn(bool mouse) {
        std::string error;
        ASSERT_TRUE(World->PassThroughOn(mouse, *Other, &error)) << error;
    }
    void ExitChord() {
        std::string error;
        ASSERT_TRUE(World->ExitChord(*Other, &error)) << error;
    }
    void Screenshot(const std::string& name) {
        const std::string path = ArtifactsDir("/tmp") + "/" + name + ".png";
        std::string error;
        if (!World->SaveScreenshot(World->AppWindow(), path, nullptr, &error))
            std::printf("screenshot %s: %s\n", name.c_str(), error.c_str());
    }
    // Selects the dongle in the list and connects it again; it must become active.
    void Reconnect(const TDongleTraits& d) {
        World->SelectListItem(0);  // the first found, connected before
        std::string error;
        QString again;
        ASSERT_TRUE(World->ConnectSelected(&again, &error)) << error;
        EXPECT_EQ(again, d.address);
    }

    static inline TE2eWorld* World = nullptr;
    static inline TSpyClient* Other = nullptr;
    static inline std::string StartError;
    static inline bool Broken = false;
    static inline const TDongleTraits* Linked = nullptr;  // the dongle connected
};

// The first dongle found is connected; the cases after it work with that one. (btvirt of BlueZ 5.66
// gives a central's second simultaneous link a connection handle its peer does not know, so the
// emulated air carries one link at a time.)
TEST_F(RealStack, Scan_ConnectsTheFirstFound_DeviceInformationAndIdentityShapeTheReports) {
    std::string error;
    ASSERT_TRUE(World->Scan(&error)) << error;
    Screenshot("01-scanned");
    QString address;
    ASSERT_TRUE(World->ConnectSelected(&address, &error)) << error;
    Linked = address == A.address ? &A : &B;
    Screenshot("02-connected");
    const QJsonObject s = Control().DongleStatus(Linked->address);
    EXPECT_EQ(s.value(QStringLiteral("connectCount")).toInt(), 1) << Json(s);
    // The first keyboard report is shaped for the identity the dongle presents.
    const auto writes = KeyboardWrites(*Linked);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.front(), KeyboardReportHex(0, {}, Linked->reportId));
    // The firmware revision read from Device Information decides whether the dongle is asked for
    // its identity: 1.2.0 is (and answers in a notification), 1.1.9 is not.
    EXPECT_EQ(Control().WritesTo(Linked->address, QStringLiteral("F80F")).size(), Linked == &A ? 1u : 0u);
    if (Linked == &A) {
        EXPECT_TRUE(s.value(QStringLiteral("notifying")).toArray().contains(QStringLiteral("F80F")))
            << Json(s);
    }
}

TEST_F(RealStack, PassThrough_TypedTextReachesTheTargetAsExactReports) {
    ASSERT_TRUE(Linked);
    PassThroughOn(false);
    ClearRecords();
    const std::string text = "Hello, World 42!";
    ASSERT_TRUE(X().Type(text));
    ASSERT_TRUE(WaitText(*Linked, text)) << Json(Target(*Linked));
    // The text is complete with the last key's press; its release may still be on the air.
    const auto want = KeyboardReportsForText(text, Linked->reportId);
    std::vector<std::string> got;
    EXPECT_TRUE(TE2eWorld::WaitUntil([&] { return (got = KeyboardWrites(*Linked)) == want; }, Wait(5s)))
        << got.size() << " reports for " << want.size() << " expected";
    ExitChord();
    EXPECT_TRUE(WaitNothingHeld(*Linked)) << Json(Target(*Linked));
}

TEST_F(RealStack, PassThroughWithMouse_MotionButtonsAndWheelReachTheTarget) {
    ASSERT_TRUE(Linked);
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
    EXPECT_TRUE(TE2eWorld::WaitUntil(
        [&] {
            return TargetInt(*Linked, "wheel") == 1 && TargetInt(*Linked, "pointerX") == 22 &&
                   TargetInt(*Linked, "pointerY") == 18;
        },
        Wait(10s)))
        << Json(Target(*Linked));
    const auto mouse = Control().WritesTo(Linked->address, Linked->mouseCharacteristic);
    EXPECT_NE(std::find(mouse.begin(), mouse.end(), MouseReportHex(1, 0, 0, 0, Linked->reportId)),
              mouse.end());
    ExitChord();
    EXPECT_TRUE(WaitNothingHeld(*Linked)) << Json(Target(*Linked));
}

// A report written without response that the peripheral fails is lost: bluetoothd answered the
// program when it queued the write, and an ATT write command has no answer to carry a failure.
// What follows still arrives, and nothing stays held.
TEST_F(RealStack, WriteFailingAtThePeripheral_IsLostThere_LaterReportsArrive) {
    ASSERT_TRUE(Linked);
    PassThroughOn(false);
    ClearRecords();
    Control().FailNextWrites(Linked->address, 1);
    ASSERT_TRUE(X().Type("xy"));
    ASSERT_TRUE(WaitText(*Linked, "y")) << Json(Target(*Linked));
    const auto writes = Control().Writes(Linked->address);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.front().bytes.toStdString(),
              KeyboardReportHex(0, {KeyStrokeFor('x')->usage}, Linked->reportId));
    ExitChord();
    EXPECT_TRUE(WaitNothingHeld(*Linked)) << Json(Target(*Linked));
}

// Link loss, not yet reliable on this stack: after the peripheral's disconnect and a reconnect from
// the list, the new link ended again a few seconds later (the late Connected=false of the old link
// is the first suspect). Kept disabled until that is understood.
TEST_F(RealStack, DISABLED_PeripheralDropsTheLink_ThenReconnects) {
    ASSERT_TRUE(Linked);
    Control().DropLink(Linked->address);
    ASSERT_TRUE(TE2eWorld::WaitUntil([&] { return !Connected(*Linked); }, Wait(5s)));
    Screenshot("03-dropped");
    // Connecting it again from the list works only once the program has ended its session.
    Reconnect(*Linked);
    EXPECT_EQ(Control().DongleStatus(Linked->address).value(QStringLiteral("connectCount")).toInt(), 2);
    PassThroughOn(false);
    ClearRecords();
    ASSERT_TRUE(X().Type("gh"));
    EXPECT_TRUE(WaitText(*Linked, "gh")) << Json(Target(*Linked));
    ExitChord();
}

TEST_F(RealStack, DISABLED_CentralAdapterPoweredOff_TheLinkEnds_ThenReconnects) {
    ASSERT_TRUE(Linked);
    Control().SetPowered(false);
    ASSERT_TRUE(TE2eWorld::WaitUntil([&] { return !Connected(*Linked); }, Wait(10s)))
        << Json(Control().Status());
    Screenshot("04-adapter-off");
    Control().SetPowered(true);
    ASSERT_TRUE(TE2eWorld::WaitUntil(
        [&] { return Control().Status().value(QStringLiteral("powered")).toBool(); }, Wait(10s)));
    Reconnect(*Linked);
    PassThroughOn(false);
    ClearRecords();
    ASSERT_TRUE(X().Type("ok"));
    EXPECT_TRUE(WaitText(*Linked, "ok")) << Json(Target(*Linked));
    ExitChord();
    Screenshot("05-reconnected");
}

}  // namespace
