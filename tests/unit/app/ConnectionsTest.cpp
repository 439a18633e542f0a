// The session table and its connect workers without a window: virtual dongles through the
// in-process fake central where a link must come up, held connects (GateDevice.h) where something
// must happen while a worker still runs, and the owner's thread played by the test, which runs
// what the workers post when it chooses to.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "GateDevice.h"
#include "app/Connections.h"
#include "device/UnitCorvastelDevice.h"
#include "hid/UnitCorvHid.h"
#include "platform/ble/fake/FakeBluetoothLE.h"

using namespace std::chrono_literals;
namespace vd = vdongle;

namespace {

constexpr char A[] = "C0:FF:EE:00:28:0A";
constexpr char B[] = "C0:FF:EE:00:28:0B";

// What the workers post, run only when the test says so, on the test's thread.
class TPostQueue {
  public:
    void Post(std::function<void()> Work) {
        std::lock_guard lock(FLock);
        FWork.push_back(std::move(Work));
        FPosted.notify_all();
    }
    // Runs what is posted, in order, until Done holds; false when it did not within a few seconds.
    bool RunUntil(const std::function<bool()>& Done) {
        return RunUntil(Done, std::chrono::steady_clock::now() + 5s);
    }
    // Runs what is posted within the next moment (the workers may still post).
    void RunFor(std::chrono::milliseconds Span) {
        RunUntil([] { return false; }, std::chrono::steady_clock::now() + Span);
    }

  private:
    bool RunUntil(const std::function<bool()>& Done, std::chrono::steady_clock::time_point Deadline) {
        while (!Done()) {
            if (std::chrono::steady_clock::now() >= Deadline) {
                return false;
            }
            std::deque<std::function<void()>> work;
            {
                // In short slices: Done may also turn true by a Bluetooth thread, with nothing posted.
                std::unique_lock lock(FLock);
                FPosted.wait_for(lock, 5ms, [this] { return !FWork.empty(); });
                work.swap(FWork);
            }
            for (auto& fn : work) {
                fn();
            }
        }
        return true;
    }

    std::mutex FLock;
    std::condition_variable FPosted;
    std::deque<std::function<void()>> FWork;
};

struct TNoUi final : TDeviceUi {
    void ShowMessageAndWait(const std::string&) override {}
};

struct TConnectionsFixture : testing::Test {
    TFakeBluetoothLEManager central;
    std::vector<std::unique_ptr<TGateDevice>> gates;  // outlive the table: its sessions hold them
    TPostQueue queue;                                 // outlives the table: its workers post into it
    TNoUi ui;
    std::vector<std::string> events;  // what the owner heard, in order
    std::unique_ptr<TConnections> table;

    void SetUp() override {
        ResetInputStateForTests();
        TConnectionEvents heard;
        heard.WorkerStarted = [this](TCorvastelDevice& s) {
            events.push_back("started " + s.Device->Address());
        };
        heard.SetupThrew = [this](TCorvastelDevice& s, const std::string& error) {
            events.push_back("threw " + s.Device->Address() + ": " + error);
        };
        heard.WorkerEnded = [this](TWorkerEnd end, const std::string& address) {
            const char* what[] = {"linked", "never linked", "left earlier"};
            events.push_back(std::string("ended ") + address + ": " + what[static_cast<int>(end)]);
        };
        heard.Leaving = [this](const TCorvastelDevice& s) {
            events.push_back("leaving " + s.Device->Address());
        };
        table = std::make_unique<TConnections>(
            ui, [this](std::function<void()> work) { queue.Post(std::move(work)); }, heard);
    }
    void TearDown() override {
        table.reset();
        ResetInputStateForTests();
    }

    TGateDevice& Gate(const std::string& address, TGateDevice::TOutcome outcome, bool open) {
        gates.push_back(std::make_unique<TGateDevice>(address, "Corvastel-Gate", outcome, open));
        return *gates.back();
    }
    std::shared_ptr<vd::TVirtualDongle> Dongle(const std::string& address) {
        return central.AddDongle(vd::TDongleConfig::Standard("Corvastel-VD", address, "1.1.9"));
    }
    TCorvastelDevice* Session(const std::string& address) const {
        const int slot = table->Find(address);
        return slot >= 0 ? table->Sessions[slot] : nullptr;
    }
    bool WorkersEnded() {
        return queue.RunUntil([this] { return table->Workers() == 0; });
    }
};

// Each way a worker can end is heard once, after its start, with the table already as it says: a
// link that came up keeps its session, one that never came up (no disconnect will follow) takes it
// out. A quiet connection's error goes unsaid.
TEST_F(TConnectionsFixture, WorkerEnd_EachOutcomeIsHeardOnceWithTheTableAsItSays) {
    enum class TDevice { Dongle, Refuses, Throws };
    struct TRow {
        const char* Name;
        TDevice Device;
        bool Quiet;
        std::vector<std::string> Heard;
        bool Stays;
    };
    const std::string a = A;
    const TRow rows[] = {
        {"a dongle that answers", TDevice::Dongle, false, {"started " + a, "ended " + a + ": linked"}, true},
        {"a refused connect",
         TDevice::Refuses,
         false,
         {"started " + a, "leaving " + a, "ended " + a + ": never linked"},
         false},
        {"a platform error",
         TDevice::Throws,
         false,
         {"started " + a, "threw " + a + ": the Bluetooth adapter went away", "leaving " + a,
          "ended " + a + ": never linked"},
         false},
        {"a platform error, quiet",
         TDevice::Throws,
         true,
         {"started " + a, "leaving " + a, "ended " + a + ": never linked"},
         false},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        table->Close();
        events.clear();
        TBluetoothLEDevice* device = nullptr;
        if (row.Device == TDevice::Dongle) {
            central.RemoveDongle(A);
            Dongle(A);
            device = &central.Device(A);
        } else {
            device = &Gate(
                A,
                row.Device == TDevice::Throws ? TGateDevice::TOutcome::Throw : TGateDevice::TOutcome::Refuse,
                true);
        }
        ASSERT_EQ(table->Start(*device, row.Quiet), TConnections::TStart::Started);
        // In the table from the start, before its worker has done anything.
        EXPECT_EQ(table->Count, 1);
        const TSessionHandle handle = table->HandleOf(Session(A));
        EXPECT_NE(handle.Serial, 0u);
        EXPECT_EQ(handle.Address, A);
        EXPECT_TRUE(table->InSetup(Session(A)));
        EXPECT_TRUE(table->SettingUp());

        ASSERT_TRUE(WorkersEnded());
        queue.RunFor(20ms);
        EXPECT_EQ(events, row.Heard);
        EXPECT_EQ(table->Count, row.Stays ? 1 : 0);
        EXPECT_EQ(table->Resolve(handle) != nullptr, row.Stays);
        EXPECT_EQ(table->SettingUp(), row.Stays) << "a linked session is set up until it is activated";
    }
}

// A connection given up while its worker is still in InitData leaves the table at once, but the
// session lives until the worker has returned into it; meanwhile the dongle cannot be started again.
// Its handle never names the next session on the same dongle.
TEST_F(TConnectionsFixture, GiveUpWhileTheWorkerRuns_LeavesAtOnceAndIsDestroyedOnlyWhenTheWorkerEnds) {
    TGateDevice& gate = Gate(A, TGateDevice::TOutcome::Refuse, false);
    gate.CutsShort = false;  // the connect runs on to its own time-out
    ASSERT_EQ(table->Start(gate, false), TConnections::TStart::Started);
    ASSERT_TRUE(gate.WaitEntered());
    TCorvastelDevice* session = Session(A);
    const TSessionHandle handle = table->HandleOf(session);

    EXPECT_EQ(table->GiveUp(*session), A);
    EXPECT_EQ(gate.Disconnects, 1);
    EXPECT_EQ(table->Count, 0);
    EXPECT_EQ(table->Find(A), -1);
    EXPECT_FALSE(table->Holds(session));
    EXPECT_EQ(table->Resolve(handle), nullptr);
    EXPECT_EQ(table->HandleOf(session).Serial, 0u);
    EXPECT_FALSE(table->SettingUp());
    EXPECT_EQ(events, (std::vector<std::string>{"leaving " + std::string(A)}));

    // The worker still runs on the device: a second session would fight it for the device's events.
    EXPECT_EQ(table->Start(gate, false), TConnections::TStart::Closing);
    EXPECT_EQ(table->Count, 0);
    queue.RunFor(50ms);
    EXPECT_EQ(table->Workers(), 1) << "destroyed while InitData still runs on it";
    EXPECT_EQ(events.size(), 1u) << "a session that was given up is not heard of";

    // The discovery returns into the session (a use after free for the sanitizer had it gone), and
    // only now is it destroyed.
    gate.Open();
    ASSERT_TRUE(WorkersEnded());
    EXPECT_EQ(gate.Returned, 1);
    EXPECT_EQ(events, (std::vector<std::string>{"leaving " + std::string(A),
                                                "ended " + std::string(A) + ": left earlier"}));

    // Free again; the old handle does not name the new session on the same dongle.
    ASSERT_EQ(table->Start(gate, false), TConnections::TStart::Started);
    const TSessionHandle next = table->HandleOf(Session(A));
    EXPECT_NE(next.Serial, handle.Serial);
    EXPECT_EQ(table->Resolve(handle), nullptr);
    EXPECT_EQ(table->Resolve(next), Session(A));
    EXPECT_EQ(table->Resolve({}), nullptr);
}

// A start on a dongle that has a session, or with every slot taken, is refused and starts nothing.
TEST_F(TConnectionsFixture, Start_OnAHeldDongleOrAFullTable_IsRefusedAndStartsNoWorker) {
    TGateDevice& held = Gate(A, TGateDevice::TOutcome::Refuse, false);
    ASSERT_EQ(table->Start(held, false), TConnections::TStart::Started);
    ASSERT_TRUE(held.WaitEntered());
    EXPECT_EQ(table->Start(held, true), TConnections::TStart::Held);
    // The same dongle through another device object (a rescan): found by its address.
    TStubDevice sameAddress(A, "Corvastel-Gate");
    EXPECT_EQ(table->Start(sameAddress, false), TConnections::TStart::Held);
    EXPECT_EQ(table->Count, 1);
    EXPECT_EQ(table->Workers(), 1);

    for (int i = table->Count; i < DeviceSlots; ++i) {
        table->Sessions[i] = new TCorvastelDevice();
    }
    table->Count = DeviceSlots;
    TGateDevice& other = Gate(B, TGateDevice::TOutcome::Refuse, true);
    EXPECT_EQ(table->Start(other, false), TConnections::TStart::Full);
    EXPECT_EQ(table->Count, DeviceSlots);
    EXPECT_EQ(table->Workers(), 1);
    EXPECT_EQ(held.Entered(), 1);
    EXPECT_EQ(other.Entered(), 0);
    held.Open();
}

// The first activation sends the dongle its all-released reports and lets the session take input;
// a later one sends nothing. A disconnect is a drop only for a session that took input and went
// without the user asking.
TEST_F(TConnectionsFixture, ActivatedThenDisconnected_ReleasesOnceAndTellsADropFromAnEnd) {
    struct TRow {
        const char* Name;
        bool Activated;
        bool Asked;
        bool Dropped;
    };
    const TRow rows[] = {
        {"went before it took input", false, false, false},
        {"took input, went by itself", true, false, true},
        {"took input, the user disconnected it", true, true, false},
    };
    const auto dongle = Dongle(A);
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        ASSERT_EQ(table->Start(central.Device(A), false), TConnections::TStart::Started);
        TCorvastelDevice* session = Session(A);
        ASSERT_TRUE(WorkersEnded());
        ASSERT_TRUE(queue.RunUntil([&] { return session->isActived.load(); }));
        ASSERT_TRUE(session->WaitSent(2s) && central.WaitIdle());
        dongle->ClearRecords();
        EXPECT_FALSE(table->InputReady(session)) << "nothing before its all-released reports";
        if (row.Activated) {
            EXPECT_TRUE(table->Activated(*session));
            EXPECT_FALSE(table->Activated(*session)) << "only the first time";
            ASSERT_TRUE(session->WaitSent(2s) && central.WaitIdle());
            EXPECT_EQ(dongle->Target().keyboardReports, 1) << "one all-released report";
            EXPECT_TRUE(table->InputReady(session));
            EXPECT_FALSE(table->InSetup(session));
        }
        session->DisconnectAsked = row.Asked;
        central.Device(A).Disconnect();
        ASSERT_TRUE(central.WaitIdle());
        events.clear();
        EXPECT_EQ(table->Disconnected(*session), row.Dropped);
        EXPECT_EQ(table->Count, 0);
        EXPECT_EQ(events, (std::vector<std::string>{"leaving " + std::string(A)}));
        EXPECT_FALSE(table->InputReady(nullptr));
    }
}

// Closing cuts every connection still being set up short and then waits for its worker (a worker
// left waiting out its connect would hold the close up for good); the sessions, linked or not, are
// destroyed and nothing is heard.
TEST_F(TConnectionsFixture, Close_DisconnectsSetupsThenJoinsTheirWorkers) {
    Dongle(B);
    ASSERT_EQ(table->Start(central.Device(B), false), TConnections::TStart::Started);
    ASSERT_TRUE(WorkersEnded());
    std::vector<TGateDevice*> held;
    for (const char* address : {"C0:FF:EE:00:28:01", "C0:FF:EE:00:28:02"}) {
        held.push_back(&Gate(address, TGateDevice::TOutcome::Refuse, false));
        ASSERT_EQ(table->Start(*held.back(), false), TConnections::TStart::Started);
        ASSERT_TRUE(held.back()->WaitEntered());
    }
    ASSERT_EQ(table->Count, 3);
    events.clear();

    table->Close();
    for (TGateDevice* gate : held) {
        EXPECT_EQ(gate->Disconnects, 1);
        EXPECT_EQ(gate->Returned, 1);
        EXPECT_FALSE(gate->TimedOut) << "joined before its device was disconnected";
    }
    EXPECT_EQ(table->Count, 0);
    EXPECT_EQ(table->Workers(), 0);
    EXPECT_TRUE(events.empty());
}

// The program ends with two dongles whose releases are answered a second late: both are sent
// their releases before either answer is awaited, so the end waits for the slowest link rather
// than for the sum of them.
TEST_F(TConnectionsFixture, Close_ReleasesEveryDongleAtOnce) {
    std::vector<std::shared_ptr<vd::TVirtualDongle>> dongles{Dongle(A), Dongle(B)};
    for (const auto& dongle : dongles) {
        ASSERT_EQ(table->Start(central.Device(dongle->Address()), false), TConnections::TStart::Started);
        ASSERT_TRUE(WorkersEnded());
        TCorvastelDevice* session = Session(dongle->Address());
        ASSERT_TRUE(queue.RunUntil([&] { return session->isActived.load(); }));
        ASSERT_TRUE(table->Activated(*session));
        ASSERT_TRUE(session->WaitSent(2s) && central.WaitIdle());
    }
    for (const auto& dongle : dongles) {
        dongle->ClearRecords();
        dongle->DelayNextAnswer(1s);
    }
    table->Close();
    std::vector<std::chrono::steady_clock::time_point> firstRelease;
    for (const auto& dongle : dongles) {
        ASSERT_FALSE(dongle->Writes().empty()) << dongle->Address() << " was sent no release";
        firstRelease.push_back(dongle->Writes().front().madeAt);
    }
    // Each link holds its first request's answer a second: one waited out before the other's
    // releases were written would put them that far apart.
    const auto apart = firstRelease[0] > firstRelease[1] ? firstRelease[0] - firstRelease[1]
                                                         : firstRelease[1] - firstRelease[0];
    EXPECT_LT(apart, 1s);
}

}  // namespace
