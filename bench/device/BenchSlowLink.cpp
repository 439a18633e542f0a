// Reports on a slow link. A recorded-style trace (1000 Hz relative motion for 3 s, 25 keys typed at
// about 10 a second with jitter, one click in the middle) is replayed in real time into real
// sessions on the in-process fake central, against dongles whose link has connection events every
// 0, 7.5 or 15 ms, with writes without and with response, to one and two dongles. In the same run
// the trace also goes through one-report-per-event FIFO delivery (every event becomes a report in a
// 255-slot queue that drops the newest when full; a write without response counts as done when
// handed over, as a BlueZ backend that does not pace sees it), for comparison.
//
// Figures per run (counters): key latency at the target p50 / p99 / max (input -> arrival at the
// dongle), key transitions lost, motion counts delivered per dongle vs injected, writes sent, and
// the time from the last input to the last report arriving. Never a pass/fail.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "BenchStats.h"
#include "device/UnitCorvastelDevice.h"
#include "platform/ble/fake/FakeBluetoothLE.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace vd = vdongle;

// ---- the trace

struct TInput {
    Clock::duration at;
    enum TKind { Move, KeyDown, KeyUp, ButtonDown, ButtonUp } kind;
    uint8_t usage = 0;
};

std::vector<TInput> Trace() {
    std::vector<TInput> trace;
    for (int ms = 0; ms < 3000; ++ms)
        trace.push_back({std::chrono::milliseconds(ms), TInput::Move});
    std::mt19937 random(14);
    std::uniform_int_distribution<int> jitter(-30, 30);
    for (int i = 0; i < 25; ++i) {
        const auto down = std::chrono::milliseconds(250 + 100 * i + jitter(random));
        const auto usage = static_cast<uint8_t>(4 + i % 26);  // a..y
        trace.push_back({down, TInput::KeyDown, usage});
        trace.push_back({down + 45ms, TInput::KeyUp, usage});
    }
    trace.push_back({1500ms, TInput::ButtonDown});
    trace.push_back({1560ms, TInput::ButtonUp});
    std::stable_sort(trace.begin(), trace.end(),
                     [](const TInput& a, const TInput& b) { return a.at < b.at; });
    return trace;
}

// ---- the link

enum class TMode { Scheduler, Fifo };

vd::TDongleConfig DongleConfig(int index, std::chrono::microseconds interval, bool withResponse) {
    auto config = vd::TDongleConfig::Standard("Corvastel-S" + std::to_string(index),
                                              "C0:FF:EE:00:01:0" + std::to_string(index), "1.1.9");
    config.connectionInterval = interval;
    if (withResponse) {
        for (uint16_t u : {vd::uuid::Reports, vd::uuid::MouseReports}) {
            if (auto* c = config.Find(u))
                c->properties = static_cast<uint8_t>(c->properties & ~vd::prop::WriteNoResponse);
        }
    }
    return config;
}

uint16_t HandleOf(const vd::TVirtualDongle& d, uint16_t uuid) {
    for (const auto& s : d.Gatt())
        for (const auto& c : s.characteristics)
            if (c.uuid == uuid)
                return c.handle;
    return 0;
}

// Today's design for comparison: one report per event into a 255-slot FIFO that drops the newest
// when full, one write at a time; a write without response is done when handed over.
class TFifoSender {
  public:
    TFifoSender(std::shared_ptr<vd::TVirtualDongle> dongle, bool withResponse)
        : FDongle(std::move(dongle)),
          FKind(withResponse ? vd::TWriteKind::Request : vd::TWriteKind::Command),
          FHandle(HandleOf(*FDongle, vd::uuid::Reports)) {
        FThread = std::thread([this] { Run(); });
    }
    ~TFifoSender() {
        {
            std::lock_guard l(FLock);
            FStop = true;
        }
        FWake.notify_all();
        FThread.join();
    }
    void Send(const THidReport& report) {
        {
            std::lock_guard l(FLock);
            if (FQueue.size() >= 255)
                return;  // dropped
            FQueue.push_back(report);
        }
        FWake.notify_all();
    }

  private:
    void Run() {
        std::unique_lock l(FLock);
        while (true) {
            FWake.wait_for(l, 250us, [this] { return FStop || !FQueue.empty(); });
            FDongle->DeliverDue();
            if (FStop)
                return;
            if (FQueue.empty())
                continue;
            const THidReport report = FQueue.front();
            FQueue.pop_front();
            l.unlock();
            const auto outcome = FDongle->Write(FHandle, std::span(report.data(), report.size()), FKind);
            if (FKind == vd::TWriteKind::Request) {
                std::this_thread::sleep_for(outcome.delay);
                FDongle->DeliverDue();
            }
            l.lock();
        }
    }

    std::shared_ptr<vd::TVirtualDongle> FDongle;
    const vd::TWriteKind FKind;
    const uint16_t FHandle;
    std::mutex FLock;
    std::condition_variable FWake;
    std::deque<THidReport> FQueue;
    bool FStop = false;
    std::thread FThread;
};

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

using bench::Percentile;

void BM_SlowLink(benchmark::State& state) {
    const auto interval = std::chrono::microseconds(state.range(0));
    const bool withResponse = state.range(1) != 0;
    const int dongleCount = static_cast<int>(state.range(2));
    const TMode mode = state.range(3) == 0 ? TMode::Scheduler : TMode::Fifo;
    const std::vector<TInput> trace = Trace();
    const TUSBDeviceID id = USBID_0451_16B4;

    for (auto _ : state) {
        ResetInputStateForTests();
        TFakeBluetoothLEManager central;
        std::vector<std::shared_ptr<vd::TVirtualDongle>> dongles;
        std::vector<std::unique_ptr<TCorvastelDevice>> sessions;
        std::vector<std::unique_ptr<TFifoSender>> fifos;
        for (int i = 0; i < dongleCount; ++i) {
            dongles.push_back(central.AddDongle(DongleConfig(i, interval, withResponse)));
            if (mode == TMode::Scheduler) {
                sessions.push_back(std::make_unique<TCorvastelDevice>());
                sessions.back()->InitData(&central.Device(dongles.back()->Address()));
            } else {
                dongles.back()->Connect();
                fifos.push_back(std::make_unique<TFifoSender>(dongles.back(), withResponse));
            }
        }
        for (const auto& s : sessions) {
            while (!s->isActived)
                std::this_thread::sleep_for(1ms);
        }
        central.WaitIdle();
        for (const auto& d : dongles)
            d->ClearRecords();

        // Key transitions as injected: when, and the keyboard report it makes.
        std::vector<std::pair<Clock::time_point, THidReport>> keys;
        const auto keyboard = [&](bool empty) {
            const THidReport report = empty ? GetEmptyHidReport(id, TReportType::KeyboardIn)
                                            : GetHidReport(id, TReportType::KeyboardIn);
            keys.push_back({Clock::now(), report});
            for (auto& s : sessions)
                s->SendReport(TReportType::KeyboardIn, empty);
            for (auto& f : fifos)
                f->Send(report);
        };
        const auto mouse = [&] {
            const TMouseSnapshot snapshot = TakeMouseSnapshot();
            for (auto& s : sessions)
                s->SendMouseReport(snapshot);
            for (auto& f : fifos)
                f->Send(GetMouseHidReport(id, snapshot));
        };

        const auto start = Clock::now();
        for (const TInput& input : trace) {
            std::this_thread::sleep_until(start + input.at);
            switch (input.kind) {
                case TInput::Move:
                    SetMouseItem(MouseCodeX, 1);
                    mouse();
                    break;
                case TInput::KeyDown:
                    AddPressedKey(input.usage);
                    keyboard(false);
                    break;
                case TInput::KeyUp:
                    RemovePressedKey(input.usage);
                    keyboard(GetPressedKeys().empty());
                    break;
                case TInput::ButtonDown:
                case TInput::ButtonUp:
                    SetMouseItem(MouseCodeLeft, input.kind == TInput::ButtonDown ? 1 : 0);
                    mouse();
                    break;
            }
        }
        const auto lastInput = Clock::now();
        // Wait until everything arrived, or 5 s (the FIFO on a slow link takes far longer).
        const auto settled = [&] {
            for (auto& d : dongles)
                d->DeliverDue();
            for (const auto& s : sessions)
                if (!s->WaitSent(0ms))
                    return false;
            for (const auto& d : dongles) {
                const auto t = d->Target();
                if (t.pointerX < 3000 || t.AnyInputHeld())
                    return false;
            }
            return true;
        };
        while (!settled() && Clock::now() - lastInput < 5s)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(2 * std::chrono::duration_cast<Clock::duration>(interval) + 5ms);

        // Figures, over every dongle.
        std::vector<double> latencies;
        double lost = 0, writes = 0, motion = 0, lastReport = 0, held = 0;
        for (auto& d : dongles) {
            d->DeliverDue();
            const auto records = d->Writes();
            writes += static_cast<double>(records.size());
            const auto target = d->Target();
            motion += static_cast<double>(target.pointerX);
            held += target.AnyInputHeld() ? 1 : 0;
            size_t next = 0;
            for (const auto& [at, report] : keys) {
                const vd::TBytes bytes(report.data(), report.data() + report.size());
                size_t k = next;
                while (k < records.size() &&
                       !(records[k].bytes == bytes && records[k].arrivedAt != Clock::time_point{}))
                    ++k;
                if (k == records.size()) {
                    ++lost;
                    continue;
                }
                latencies.push_back(Ms(records[k].arrivedAt - at));
                next = k + 1;
            }
            for (const auto& r : records)
                if (r.arrivedAt != Clock::time_point{})
                    lastReport = std::max(lastReport, Ms(r.arrivedAt - lastInput));
        }
        state.counters["key_p50_ms"] = Percentile(latencies, 0.50);
        state.counters["key_p99_ms"] = Percentile(latencies, 0.99);
        state.counters["key_max_ms"] =
            latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end());
        state.counters["keys_lost"] = lost;
        state.counters["motion_per_dongle"] = motion / dongleCount;
        state.counters["motion_injected"] = 3000;
        state.counters["writes"] = writes;
        state.counters["last_report_ms"] = lastReport;
        state.counters["targets_holding"] = held;
        sessions.clear();
        fifos.clear();
    }
    ResetInputStateForTests();
}

void SlowLinkArgs(benchmark::internal::Benchmark* b) {
    b->ArgNames({"interval_us", "with_response", "dongles", "fifo"});
    for (int fifo : {0, 1})
        for (int interval : {0, 7500, 15000})
            for (int response : {0, 1})
                for (int dongles : {1, 2})
                    b->Args({interval, response, dongles, fifo});
}
BENCHMARK(BM_SlowLink)->Apply(SlowLinkArgs)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
