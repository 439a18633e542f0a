#include "platform/ble/fake/FakeBluetoothLE.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/GeneralError.h"

using namespace std::chrono_literals;
using TRole = TFakeBluetoothLEManager::TThreadRole;
namespace vd = vdongle;

namespace {

const TBluetoothUuid VendorService = TBluetoothUuid::FromShort(0xF800);

struct Event {
    std::string what;  // "read", "write", "disconnect", "services", "found", "end"
    TRole role = TRole::Other;
    uint16_t status = 0;
    uint16_t uuid = 0;
    TBytes value;
    std::thread::id thread;
    bool delayed = false;  // a write completion the backend held up
};

// Records every event of a manager and its devices, with the role of the thread it came on.
class FakeCentral : public ::testing::Test {
  protected:
    void SetUp() override {
        central.OnDiscoverLEDevice = [this](TBluetoothLEManager&, TBluetoothLEDevice& d, int rssi,
                                            const TBytes&) {
            Record({"found:" + d.Address(), Role(), 0, static_cast<uint16_t>(-rssi), {}, {}});
        };
        central.OnDiscoveryLEEnd = [this](TBluetoothLEManager&,
                                          const std::vector<TBluetoothLEDevice*>& found) {
            Record({"end:" + std::to_string(found.size()), Role(), 0, 0, {}, {}});
        };
    }

    TRole Role() const { return central.RoleOf(std::this_thread::get_id()); }
    void Record(Event e) {
        e.thread = std::this_thread::get_id();
        {
            std::lock_guard l(lock);
            events.push_back(std::move(e));
        }
        changed.notify_all();
    }
    static uint16_t Short(const TBluetoothUuid& u) { return static_cast<uint16_t>(u.Data1() & 0xFFFF); }

    void Wire(TBluetoothLEDevice& d) {
        d.SetHandlers({
            [this](TBluetoothLEDevice&, const TBluetoothGattServiceList& s) {
                Record({"services", Role(), 0, static_cast<uint16_t>(s.size()), {}, {}});
            },
            [this](TBluetoothLEDevice&, TBluetoothGattCharacteristic& c, uint16_t st,
                   std::span<const uint8_t> v) {
                Record({"read", Role(), st, Short(c.UUID()), TBytes(v.begin(), v.end()), {}});
            },
            [this](TBluetoothLEDevice& sender, TBluetoothGattCharacteristic& c, uint16_t st) {
                Record({"write", Role(), st, Short(c.UUID()), c.Value(), {}, sender.CompletionDelayed()});
            },
            [this](TBluetoothLEDevice&) {
                Record({"disconnect", Role(), 0, 0, {}, {}});
            },
        });
    }

    // Waits until n events satisfy pred.
    std::vector<Event> WaitFor(size_t n, const std::function<bool(const Event&)>& pred,
                               std::chrono::milliseconds t = 3s) {
        std::unique_lock l(lock);
        std::vector<Event> hits;
        changed.wait_for(l, t, [&] {
            hits.clear();
            for (const auto& e : events)
                if (pred(e))
                    hits.push_back(e);
            return hits.size() >= n;
        });
        return hits;
    }
    std::vector<Event> Events(const std::string& what) {
        std::lock_guard l(lock);
        std::vector<Event> hits;
        for (const auto& e : events)
            if (e.what == what)
                hits.push_back(e);
        return hits;
    }

    TBluetoothGattCharacteristic* Find(TBluetoothLEDevice& d, uint16_t u) {
        for (auto* s : d.Services())
            for (auto* c : s->Characteristics())
                if (c->UUID() == TBluetoothUuid::FromShort(u))
                    return c;
        return nullptr;
    }

    // A connected, discovered device for a standard dongle.
    TFakeBluetoothLEDevice& Connect(const std::shared_ptr<vd::TVirtualDongle>& dongle) {
        auto& d = central.Device(dongle->Address());
        Wire(d);
        EXPECT_TRUE(d.DiscoverServices());
        return d;
    }

    std::mutex lock;
    std::condition_variable changed;
    std::vector<Event> events;
    TFakeBluetoothLEManager central;  // declared last: destroyed (threads joined) first
};

}  // namespace

TEST_F(FakeCentral, ScanFindsAdvertisingDonglesOfTheServiceAndEndsOnTheTimeOut) {
    auto a = central.AddDongle(vd::TDongleConfig::Standard("Corvastel A", "00:11:22:33:44:AA"));
    auto other = vd::TDongleConfig::Standard("keyboard", "00:11:22:33:44:BB");
    other.advertisedServices = {0x1812};
    central.AddDongle(other);
    auto quiet = central.AddDongle(vd::TDongleConfig::Standard("quiet", "00:11:22:33:44:CC"));
    quiet->SetAdvertising(false);

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(central.StartDiscovery(300, {VendorService}));
    EXPECT_FALSE(central.StartDiscovery(300, {VendorService})) << "one scan at a time";
    // A dongle that starts advertising during the scan is found too.
    std::this_thread::sleep_for(40ms);
    quiet->SetAdvertising(true);
    auto ends = WaitFor(1, [](const Event& e) { return e.what.rfind("end:", 0) == 0; });
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_EQ(ends[0].what, "end:2");
    EXPECT_EQ(ends[0].role, TRole::Scanner);
    auto found = WaitFor(2, [](const Event& e) { return e.what.rfind("found:", 0) == 0; });
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].what, "found:00:11:22:33:44:AA");
    EXPECT_EQ(found[1].what, "found:00:11:22:33:44:CC");
    EXPECT_EQ(found[0].role, TRole::Scanner);
    EXPECT_EQ(found[0].uuid, 48) << "RSSI";

    auto& d = central.Device("00:11:22:33:44:AA");
    EXPECT_EQ(d.DeviceName(), "Corvastel A");
    EXPECT_EQ(d.Identifier(), "0011223344aa");
    EXPECT_EQ(&central.Device("00:11:22:33:44:AA"), &d) << "one object per radio device";
}

TEST_F(FakeCentral, CancelRaisesTheEndOnTheCallerAndSilencesTheTimeOut) {
    central.AddDongle(vd::TDongleConfig::Standard());
    ASSERT_TRUE(central.StartDiscovery(400, {VendorService}));
    WaitFor(1, [](const Event& e) { return e.what.rfind("found:", 0) == 0; });
    central.CancelDiscovery();
    {
        auto ends = Events("end:1");
        ASSERT_EQ(ends.size(), 1u);
        EXPECT_EQ(ends[0].thread, std::this_thread::get_id());
    }
    central.CancelDiscovery();  // no scan: still an end, on this thread
    EXPECT_EQ(Events("end:0").size(), 1u);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(Events("end:1").size(), 1u) << "the time-out of a cancelled scan raised an end";
    EXPECT_FALSE(central.Scanning());

    central.SetRadioPresent(false);
    EXPECT_EQ(central.ConnectionState(), 0);
    EXPECT_FALSE(central.StartDiscovery(100, {VendorService}));
    central.SetRadioPresent(true);
    EXPECT_EQ(central.ConnectionState(), TBluetoothLEManager::Connected);
    // A filter that names only non-base UUIDs matches no dongle.
    ASSERT_TRUE(central.StartDiscovery(30, {*TBluetoothUuid::Parse("12345678-0000-1000-8000-00805F9B34FB")}));
    EXPECT_EQ(WaitFor(2, [](const Event& e) { return e.what == "end:0"; }).size(), 2u);
}

TEST_F(FakeCentral, DiscoveryRunsOnTheCallerAndMirrorsTheDatabase) {
    auto cfg = vd::TDongleConfig::Standard();
    cfg.Remove(0xF804);
    auto& cccdFirst = cfg.Find(0xF80F)->descriptors;
    cccdFirst.push_back({0x2901, {'c'}, 0});
    auto dongle = central.AddDongle(cfg);
    auto& d = central.Device(dongle->Address());
    Wire(d);
    EXPECT_FALSE(d.IsConnected());
    ASSERT_TRUE(d.DiscoverServices());
    {
        auto s = Events("services");
        ASSERT_EQ(s.size(), 1u) << "raised before DiscoverServices returned";
        EXPECT_EQ(s[0].thread, std::this_thread::get_id());
    }
    EXPECT_TRUE(d.IsConnected());
    const auto services = d.Services();
    ASSERT_EQ(services.size(), 2u);
    EXPECT_EQ(Short(services[0]->UUID()), 0x180A);
    ASSERT_EQ(services[1]->Characteristics().size(), 4u);
    auto* f80f = services[1]->Characteristics()[3];
    EXPECT_EQ(Short(f80f->UUID()), 0xF80F);
    EXPECT_TRUE(f80f->Has(PropWrite) && f80f->Has(PropNotify) && !f80f->Has(PropWriteNoResponse));
    ASSERT_EQ(f80f->Descriptors().size(), 2u);
    EXPECT_EQ(Short(f80f->Descriptors()[1]->UUID()), 0x2901);

    ASSERT_TRUE(d.DiscoverServices());
    EXPECT_EQ(d.Services()[1], services[1]) << "the same objects on a second discovery";
}

TEST_F(FakeCentral, DiscoveryIsRefusedWithoutAReachableDongle) {
    auto& nowhere = central.Device("00:00:00:00:00:99");
    Wire(nowhere);
    EXPECT_FALSE(nowhere.DiscoverServices());
    auto dongle = central.AddDongle(vd::TDongleConfig::Standard());
    dongle->SetAdvertising(false);
    auto& d = central.Device(dongle->Address());
    Wire(d);
    EXPECT_FALSE(d.DiscoverServices());
    dongle->SetAdvertising(true);
    central.SetRadioPresent(false);
    EXPECT_FALSE(d.DiscoverServices());
    EXPECT_TRUE(Events("services").empty());
}

TEST_F(FakeCentral, ReadsCompleteOnWorkersWithTheValue) {
    auto cfg = vd::TDongleConfig::Standard("n", "00:00:00:00:00:01", "1.2.0");
    cfg.SetText(0x2A29, std::string("Maker\0", 6));
    auto& d = Connect(central.AddDongle(cfg));
    d.ReadCharacteristic(*Find(d, 0x2A26));
    d.ReadCharacteristic(*Find(d, 0x2A29));
    d.ReadCharacteristic(*Find(d, 0xF801));  // not readable
    auto reads = WaitFor(3, [](const Event& e) { return e.what == "read"; });
    ASSERT_EQ(reads.size(), 3u);
    for (const auto& r : reads) {
        EXPECT_EQ(r.role, TRole::Worker);
        if (r.uuid == 0x2A26) {
            EXPECT_EQ(r.value, (TBytes{'1', '.', '2', '.', '0'}));
        }
        if (r.uuid == 0x2A29) {
            EXPECT_EQ(r.value.size(), 6u) << "the trailing zero byte is kept";
        }
        EXPECT_EQ(r.status, r.uuid == 0xF801 ? GattStatusFailure : GattStatusSuccess);
    }
    EXPECT_EQ(Find(d, 0x2A26)->Value(), (TBytes{'1', '.', '2', '.', '0'}));
}

// Every write completes exactly once, whatever its kind and fate, on a worker thread.
TEST_F(FakeCentral, EveryWriteCompletesOnce) {
    auto dongle = central.AddDongle(vd::TDongleConfig::Standard());
    auto& d = Connect(dongle);
    auto* f801 = Find(d, 0xF801);
    auto* f80f = Find(d, 0xF80F);
    auto* sysid = Find(d, 0x2A23);  // read only
    const TBytes report{0x01, 0, 0, 4, 0, 0, 0, 0, 0};
    dongle->FailNextWrites(1);
    d.WriteCharacteristic(*f801, report);              // fails at the dongle, unseen by the central
    d.WriteCharacteristic(*f801, report);              // without response
    d.WriteCharacteristic(*f80f, TBytes{0xA1, 0, 0});  // with response
    d.WriteCharacteristic(*sysid, TBytes{1});          // refused
    TBluetoothGattCharacteristic stranger(TBluetoothUuid::FromShort(0xF801), PropWrite);
    d.WriteCharacteristic(stranger, TBytes{1});  // not this device's
    auto writes = WaitFor(5, [](const Event& e) { return e.what == "write"; });
    ASSERT_EQ(writes.size(), 5u);
    int failures = 0;
    for (const auto& w : writes) {
        EXPECT_EQ(w.role, TRole::Worker);
        failures += w.status != GattStatusSuccess;
    }
    EXPECT_EQ(failures, 2);
    EXPECT_EQ(f801->Value(), report) << "the written bytes are the characteristic's value";

    const auto recs = dongle->Writes();
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[0].status, GattStatusFailure);
    EXPECT_EQ(recs[1].kind, vd::TWriteKind::Command);
    EXPECT_EQ(recs[2].kind, vd::TWriteKind::Request);
    EXPECT_EQ(dongle->Target().keysHeld, std::vector<uint8_t>{4});

    // Not connected: still a completion, with a failure.
    dongle->DropLink();
    d.WriteCharacteristic(*f801, report);
    EXPECT_EQ(WaitFor(6, [](const Event& e) { return e.what == "write"; }).back().status, GattStatusFailure);
    EXPECT_TRUE(central.WaitIdle());
    EXPECT_EQ(Events("write").size(), 6u);
}

// As bluetoothd: a write without response completes once queued, long before the air has carried
// it; a write with response completes once it (and everything queued before it) has arrived.
TEST_F(FakeCentral, WriteCompletionsFollowTheStackQueue) {
    auto dongle = central.AddDongle(vd::TDongleConfig::Standard());
    auto& d = Connect(dongle);
    dongle->SetWriteDelay(400ms);
    auto* f801 = Find(d, 0xF801);
    d.WriteCharacteristic(*f801, TBytes(9, 0));
    auto w = WaitFor(1, [](const Event& e) { return e.what == "write"; });
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].status, GattStatusSuccess);
    EXPECT_EQ(dongle->Writes().at(0).arrivedAt, std::chrono::steady_clock::time_point{});

    d.WriteCharacteristicWithResponse(*f801, TBytes(9, 0));
    w = WaitFor(2, [](const Event& e) { return e.what == "write"; });
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[1].status, GattStatusSuccess);
    const auto records = dongle->Writes();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].kind, vd::TWriteKind::Request);
    EXPECT_NE(records[0].arrivedAt, std::chrono::steady_clock::time_point{});
    EXPECT_NE(records[1].arrivedAt, std::chrono::steady_clock::time_point{});
    EXPECT_LE(records[0].arrivedAt, records[1].arrivedAt);

    // Requests go one at a time, as on BlueZ: the second is made once the first is answered; a
    // write without response made after both is not held behind them.
    dongle->ClearRecords();
    d.WriteCharacteristicWithResponse(*f801, TBytes(9, 1));
    d.WriteCharacteristicWithResponse(*f801, TBytes(9, 2));
    d.WriteCharacteristic(*f801, TBytes(9, 3));
    w = WaitFor(5, [](const Event& e) { return e.what == "write"; });
    ASSERT_EQ(w.size(), 5u);
    const auto queued = dongle->Writes();
    ASSERT_EQ(queued.size(), 3u);
    EXPECT_EQ(queued[0].bytes, TBytes(9, 1));
    EXPECT_EQ(queued[1].bytes, TBytes(9, 3)) << "the write without response waited behind a request";
    EXPECT_EQ(queued[2].bytes, TBytes(9, 2));
    EXPECT_GE(queued[2].madeAt, queued[0].arrivedAt) << "two requests were out at once";

    // A drop while a write with response is in flight: it completes with a failure.
    d.WriteCharacteristicWithResponse(*f801, TBytes(9, 0));
    dongle->DropLink();
    auto w2 = WaitFor(6, [](const Event& e) { return e.what == "write"; });
    ASSERT_EQ(w2.size(), 6u);
    EXPECT_EQ(w2[5].status, GattStatusFailure);
}

TEST_F(FakeCentral, NotificationsArriveOnTheNotifierThreadWhenSubscribed) {
    auto dongle = central.AddDongle(
        vd::TDongleConfig::Standard("n", "00:00:00:00:00:02", "1.2.0", {0x4348, 0xE010, 3}));
    auto& d = Connect(dongle);
    auto* f80f = Find(d, 0xF80F);
    auto* f801 = Find(d, 0xF801);
    EXPECT_FALSE(d.SetCharacteristicNotification(*Find(d, 0xF803), true)) << "no notify property";
    TBluetoothGattCharacteristic bare(TBluetoothUuid::FromShort(0xF801), PropNotify);
    EXPECT_FALSE(d.SetCharacteristicNotification(bare, true)) << "no configuration descriptor";

    // The session's way: first descriptor flagged and written, then the subscription.
    f80f->Descriptors()[0]->SetNotification(true);
    d.WriteDescriptor(*f80f->Descriptors()[0]);
    EXPECT_TRUE(dongle->Notifying(dongle->Gatt()[1].characteristics[4].handle));
    EXPECT_TRUE(d.SetCharacteristicNotification(*f80f, true));
    EXPECT_TRUE(d.SetCharacteristicNotification(*f801, true));

    const auto sys = Find(d, 0x2A23);
    d.ReadCharacteristic(*sys);
    auto r = WaitFor(1, [](const Event& e) { return e.what == "read" && e.uuid == 0x2A23; });
    ASSERT_EQ(r.size(), 1u);
    d.WriteCharacteristic(*f80f, TBytes{0xA1, r[0].value[6], r[0].value[7]});
    EXPECT_TRUE(dongle->NotifyLedStatus(0x02));
    auto notes = WaitFor(2, [](const Event& e) { return e.what == "read" && e.role == TRole::Notifier; });
    ASSERT_EQ(notes.size(), 2u);
    std::sort(notes.begin(), notes.end(), [](auto& a, auto& b) { return a.uuid < b.uuid; });
    EXPECT_EQ(notes[0].uuid, 0xF801);
    EXPECT_EQ(notes[0].value, TBytes{0x02});
    EXPECT_EQ(notes[1].uuid, 0xF80F);
    EXPECT_EQ(notes[1].value, (TBytes{0xA1, 0x48, 0x43, 0x10, 0xE0, 0x03}));
    EXPECT_EQ(notes[1].status, GattStatusSuccess);
    EXPECT_EQ(f80f->Value(), notes[1].value);
}

TEST_F(FakeCentral, LinkLossRaisesDisconnectOnTheNotifierThread) {
    auto a = central.AddDongle(vd::TDongleConfig::Standard("a", "00:00:00:00:00:0A"));
    auto b = central.AddDongle(vd::TDongleConfig::Standard("b", "00:00:00:00:00:0B"));
    auto& da = Connect(a);
    Connect(b);
    a->DropLink();
    auto drops = WaitFor(1, [](const Event& e) { return e.what == "disconnect"; });
    ASSERT_EQ(drops.size(), 1u);
    EXPECT_EQ(drops[0].role, TRole::Notifier);
    EXPECT_FALSE(da.IsConnected());

    ASSERT_TRUE(da.DiscoverServices()) << "reconnects";
    da.Disconnect();  // the central's own disconnect is reported too
    EXPECT_EQ(WaitFor(2, [](const Event& e) { return e.what == "disconnect"; }).size(), 2u);
    da.Disconnect();  // not connected: nothing
    ASSERT_TRUE(da.DiscoverServices());
    central.SetRadioPresent(false);  // both links go
    EXPECT_EQ(WaitFor(4, [](const Event& e) { return e.what == "disconnect"; }).size(), 4u);
    EXPECT_TRUE(central.WaitIdle());
    EXPECT_EQ(Events("disconnect").size(), 4u);
}

// The radio as a platform reports it: switched off, every link drops first, then the radio's change
// arrives on the notifier thread with the problem the reason names; asked for, it comes on the caller.
TEST_F(FakeCentral, RadioChangesArriveAfterTheDropsOnTheNotifierThread) {
    central.SetOnRadioChanged([this](TBluetoothLEManager&, TRadioProblem problem) {
        Record({"radio:" + std::to_string(static_cast<int>(problem)), Role(), 0, 0, {}, {}});
    });
    auto a = central.AddDongle(vd::TDongleConfig::Standard("a", "00:00:00:00:00:0A"));
    Connect(a);
    central.SetRadioProblem(TRadioProblem::PoweredOff);
    const std::string off = "radio:" + std::to_string(static_cast<int>(TRadioProblem::PoweredOff));
    const auto seen = WaitFor(2, [&](const Event& e) { return e.what == "disconnect" || e.what == off; });
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].what, "disconnect");
    EXPECT_EQ(seen[1].what, off);
    EXPECT_EQ(seen[1].role, TRole::Notifier);
    EXPECT_EQ(central.UnavailableReason(), RadioProblemText(TRadioProblem::PoweredOff));
    EXPECT_EQ(central.ConnectionState(), 0);

    central.SetRadioProblem(TRadioProblem::None);
    central.RequestRadioState();
    const std::string on = "radio:" + std::to_string(static_cast<int>(TRadioProblem::None));
    EXPECT_EQ(WaitFor(2, [&](const Event& e) { return e.what == on; }).size(), 2u);
    EXPECT_EQ(central.UnavailableReason(), "");
    central.SetOnRadioChanged(nullptr);
}

TEST_F(FakeCentral, ErrorsFromHandlersReachTheGeneralErrorReporter) {
    std::mutex m;
    std::vector<std::string> reported;
    auto previous = SetGeneralErrorReporter([&](const std::string& msg) {
        std::lock_guard l(m);
        reported.push_back(msg);
    });
    auto dongle = central.AddDongle(vd::TDongleConfig::Standard());
    central.OnDiscoverLEDevice = [](TBluetoothLEManager&, TBluetoothLEDevice&, int, const TBytes&) {
        throw std::runtime_error("found");
    };
    auto& d = central.Device(dongle->Address());
    d.SetHandlers({
        [](TBluetoothLEDevice&, const TBluetoothGattServiceList&) { throw std::runtime_error("services"); },
        [](TBluetoothLEDevice&, TBluetoothGattCharacteristic&, uint16_t, std::span<const uint8_t>) {
            throw std::runtime_error("read");
        },
        [](TBluetoothLEDevice&, TBluetoothGattCharacteristic&, uint16_t) {
            throw std::runtime_error("write");
        },
        [](TBluetoothLEDevice&) { throw std::runtime_error("disconnect"); },
    });
    EXPECT_TRUE(d.DiscoverServices());
    d.ReadCharacteristic(*Find(d, 0x2A24));
    d.WriteCharacteristic(*Find(d, 0xF801), TBytes(9, 0));
    ASSERT_TRUE(central.StartDiscovery(20, {VendorService}));
    ASSERT_TRUE(central.WaitIdle());
    dongle->DropLink();
    ASSERT_TRUE(central.WaitIdle());
    ASSERT_EQ(WaitFor(1, [](const Event& e) { return e.what.rfind("end:", 0) == 0; }).size(), 1u);
    SetGeneralErrorReporter(previous);
    std::lock_guard l(m);
    std::sort(reported.begin(), reported.end());
    EXPECT_EQ(reported, (std::vector<std::string>{"disconnect", "found", "read", "services", "write"}));
}

TEST(FakeCentralLifetime, DestructionJoinsEverythingAndDiscardsPendingWork) {
    const auto start = std::chrono::steady_clock::now();
    {
        TFakeBluetoothLEManager central;
        auto dongle = central.AddDongle(vd::TDongleConfig::Standard());
        auto& d = central.Device(dongle->Address());
        ASSERT_TRUE(d.DiscoverServices());
        dongle->SetWriteDelay(10s);
        d.WriteCharacteristic(*d.Services()[1]->Characteristics()[0], TBytes(9, 0));
        ASSERT_TRUE(central.StartDiscovery(10000, {VendorService}));
        EXPECT_FALSE(central.WaitIdle(20ms));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// Writers on several threads while the link drops and comes back: still exactly one completion
// per write, and the dongle saw only writes made while it was connected.
TEST_F(FakeCentral, ACompletionForEveryWriteUnderConcurrentWritersAndDrops) {
    auto dongle = central.AddDongle(vd::TDongleConfig::Standard());
    auto& d = central.Device(dongle->Address());
    std::atomic<int> completions{0}, successes{0};
    d.SetHandlers({nullptr, nullptr,
                   [&](TBluetoothLEDevice&, TBluetoothGattCharacteristic&, uint16_t st) {
                       ++completions;
                       successes += st == GattStatusSuccess;
                   },
                   nullptr});
    ASSERT_TRUE(d.DiscoverServices());
    auto* f801 = d.Services()[1]->Characteristics()[0];
    constexpr int Writers = 3, PerWriter = 300;
    std::vector<std::thread> writers;
    for (int w = 0; w < Writers; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < PerWriter; ++i) {
                const TBytes report{0x01, 0, 0, static_cast<uint8_t>(4 + w), 0, 0, 0, 0, 0};
                d.WriteCharacteristic(*f801, report);
            }
        });
    }
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(1ms);
        dongle->DropLink();
        d.DiscoverServices();
    }
    for (auto& t : writers)
        t.join();
    ASSERT_TRUE(central.WaitIdle());
    EXPECT_EQ(completions.load(), Writers * PerWriter);
    int recordedOk = 0;
    for (const auto& r : dongle->Writes())
        recordedOk += r.status == GattStatusSuccess;
    EXPECT_LE(successes.load(), recordedOk);
}

// ---- pairing

namespace {
struct PairingLog {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> events;  // "question", "paired", "failed", "canceled", "unavailable"
    std::vector<TRole> roles;

    // Notifies under the lock: the test may end, and destroy the log, as soon as a waiter sees the
    // event, so the notifier must be done with the condition variable before the waiter can look.
    void Add(std::string e, TRole role) {
        std::lock_guard l(lock);
        events.push_back(std::move(e));
        roles.push_back(role);
        changed.notify_all();
    }
    std::string WaitNext(size_t index) {
        std::unique_lock l(lock);
        changed.wait_for(l, 3s, [&] { return events.size() > index; });
        return events.size() > index ? events[index] : "nothing";
    }
};

void WirePairing(TFakeBluetoothLEManager& central, PairingLog& log) {
    central.OnPairingQuestion = [&](TBluetoothLEManager&, TBluetoothLEDevice&, const TPairingQuestion& q) {
        log.Add(q.Kind == TPairingQuestion::TKind::EnterPasskey ? "question" : "confirm",
                central.RoleOf(std::this_thread::get_id()));
    };
    central.OnPairingFinished = [&](TBluetoothLEManager&, TBluetoothLEDevice&, const TPairingResult& r) {
        using O = TPairingResult::TOutcome;
        log.Add(r.Outcome == O::Paired     ? "paired"
                : r.Outcome == O::Failed   ? "failed"
                : r.Outcome == O::Canceled ? "canceled"
                                           : "unavailable",
                central.RoleOf(std::this_thread::get_id()));
    };
}
}  // namespace

TEST_F(FakeCentral, AnEncryptDonglePairsByItselfOnARequestAndDropsCommandsBefore) {
    auto cfg = vd::TDongleConfig::Standard();
    cfg.security = vd::TSecurity::Encrypt;
    auto dongle = central.AddDongle(cfg);
    auto& d = Connect(dongle);
    EXPECT_EQ(d.LinkSecurity(), TLinkSecurity::NotEncrypted);
    const TBytes report{0x01, 0, 0, 4, 0, 0, 0, 0, 0};
    d.WriteCharacteristic(*Find(d, 0xF801), report);  // without response: confirmed, dropped
    EXPECT_EQ(WaitFor(1, [](const Event& e) { return e.what == "write"; }).back().status, GattStatusSuccess);
    EXPECT_EQ(dongle->Target().keyboardReports, 0);
    d.WriteCharacteristic(*Find(d, 0xF80F), TBytes{0xA1, 0, 0});
    EXPECT_EQ(WaitFor(2, [](const Event& e) { return e.what == "write"; }).back().status, GattStatusSuccess);
    EXPECT_EQ(d.LinkSecurity(), TLinkSecurity::EncryptedPaired);
    EXPECT_TRUE(d.Paired());
}

TEST_F(FakeCentral, AnAuthenticatedDongleRefusesUntilTheShownPasskeyIsEntered) {
    auto cfg = vd::TDongleConfig::Standard();
    cfg.security = vd::TSecurity::Authenticated;
    auto dongle = central.AddDongle(cfg);
    PairingLog log;
    WirePairing(central, log);
    auto& d = Connect(dongle);
    d.WriteCharacteristic(*Find(d, 0xF80F), TBytes{0xA1, 0, 0});
    d.ReadCharacteristic(*Find(d, 0xF802));
    EXPECT_EQ(WaitFor(1, [](const Event& e) { return e.what == "write"; }).back().status,
              GattStatusInsufficientAuthentication);
    EXPECT_EQ(WaitFor(1, [](const Event& e) { return e.what == "read" && e.uuid == 0xF802; }).back().status,
              GattStatusInsufficientAuthentication);

    struct Round {
        bool cancel;
        bool right;
        const char* end;
    };
    size_t at = 0;
    for (const Round& r :
         {Round{true, false, "canceled"}, Round{false, false, "failed"}, Round{false, true, "paired"}}) {
        SCOPED_TRACE(r.end);
        d.Pair();
        ASSERT_EQ(log.WaitNext(at++), "question");
        const auto shown = dongle->ShownPasskey();
        ASSERT_TRUE(shown.has_value());
        central.AnswerPairingQuestion(d, {r.cancel, r.right ? *shown : (*shown + 1) % 1000000, false});
        EXPECT_EQ(log.WaitNext(at++), r.end);
        EXPECT_EQ(d.Paired(), r.right);
    }
    EXPECT_EQ(log.roles.front(), TRole::Notifier);
    EXPECT_EQ(d.LinkSecurity(), TLinkSecurity::EncryptedPaired);
    d.WriteCharacteristic(*Find(d, 0xF80F), TBytes{0xA1, 0, 0});
    EXPECT_EQ(WaitFor(2, [](const Event& e) { return e.what == "write"; }).back().status, GattStatusSuccess);

    // The bond encrypts the next link at once; forgetting it ends the link and the bond.
    EXPECT_TRUE(d.ForgetPairing());
    WaitFor(1, [](const Event& e) { return e.what == "disconnect"; });
    EXPECT_TRUE(d.DiscoverServices());
    EXPECT_FALSE(d.Paired());
    EXPECT_EQ(d.LinkSecurity(), TLinkSecurity::NotEncrypted);

    // A drop during the question ends the pairing.
    d.Pair();
    ASSERT_EQ(log.WaitNext(at++), "question");
    dongle->DropLink();
    EXPECT_EQ(log.WaitNext(at++), "canceled");
}

TEST_F(FakeCentral, BadMoments_AHeldBackendFlagsWhatItHeld_ALostAnswerFailsAtTheStackTimeOut) {
    auto dongle = central.AddDongle(vd::TDongleConfig::Standard("A", "00:11:22:33:44:AA"));
    auto& d = Connect(dongle);
    TBluetoothGattCharacteristic* reports = Find(d, 0xF801);
    ASSERT_NE(reports, nullptr);
    const auto writes = [](const Event& e) { return e.what == "write"; };

    central.StallBackend(500ms);
    d.WriteCharacteristicWithResponse(*reports, TBytes{1});
    ASSERT_EQ(WaitFor(1, writes).size(), 1u);
    d.WriteCharacteristicWithResponse(*reports, TBytes{2});
    auto done = WaitFor(2, writes);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_TRUE(done[0].delayed) << "raised when the backend was free again";
    EXPECT_FALSE(done[1].delayed);

    // The request behind a lost answer waits for it, as on the stack, until the stack gives up.
    central.SetLostAnswerTimeout(100ms);
    dongle->LoseNextAnswer();
    d.WriteCharacteristicWithResponse(*reports, TBytes{3});
    d.WriteCharacteristicWithResponse(*reports, TBytes{4});
    done = WaitFor(4, writes);
    ASSERT_EQ(done.size(), 4u);
    EXPECT_EQ(done[2].status, GattStatusFailure);
    EXPECT_EQ(done[3].status, GattStatusSuccess);
}
