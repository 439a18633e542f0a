// Reports on a slow link. A recorded-style trace (1000 Hz relative motion for 3 or 10 s, 25 keys
// typed at about 10 a second with jitter in the last 3 s of the motion, one click in the middle of
// them) is replayed in real time into a real session on the in-process fake central, against a
// dongle whose link has a connection event every 7.5, 30 or 50 ms carrying 1, 6 or 4 writes, with
// the mouse written without and with response: with response either on the keyboard's
// characteristic (both then go with response only) or on a characteristic of its own beside a
// keyboard characteristic that takes writes without response. The fake central answers as
// bluetoothd does: a write without response at once, a write with response once it reached the
// dongle behind everything queued before it, one write with response at a time. Each case runs twice in the
// same run: with the pace learned from the link (the product), and with the fixed pace of one write without
// response per 7.5 ms that the product used before, for comparison.
//
// Figures per run (counters): key latency at the target p50 / p99 / max (input -> arrival at the
// dongle), the p99 of the keys not typed behind the click (from its press until its release
// reached the dongle, keys wait for it: the order of keys and clicks holds), key transitions lost, motion
// counts delivered vs injected, writes sent, the time from the last input to the last report arriving,
// whether the target holds anything at the end, and the link as the session learned it. Never a pass/fail.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
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

std::vector<TInput> Trace(int motionSeconds) {
    std::vector<TInput> trace;
    for (int ms = 0; ms < 1000 * motionSeconds; ++ms)
        trace.push_back({std::chrono::milliseconds(ms), TInput::Move});
    std::mt19937 random(14);
    std::uniform_int_distribution<int> jitter(-30, 30);
    const auto typingStart = std::chrono::milliseconds(1000 * (motionSeconds - 3));
    for (int i = 0; i < 25; ++i) {
        const auto down = typingStart + std::chrono::milliseconds(250 + 100 * i + jitter(random));
        const auto usage = static_cast<uint8_t>(4 + i % 26);  // a..y
        trace.push_back({down, TInput::KeyDown, usage});
        trace.push_back({down + 45ms, TInput::KeyUp, usage});
    }
    trace.push_back({typingStart + 1500ms, TInput::ButtonDown});
    trace.push_back({typingStart + 1560ms, TInput::ButtonUp});
    std::stable_sort(trace.begin(), trace.end(),
                     [](const TInput& a, const TInput& b) { return a.at < b.at; });
    return trace;
}

// ---- the link

enum class TPace { Learned, Fixed };

// How the mouse characteristic is written.
enum class TMouseKind {
    WithoutResponse = 0,
    SharedWithResponse = 1,  // 0451:16B4 frames the mouse on 0xF801 with the keyboard: both with response
    OwnWithResponse = 2,     // 4348:E010 writes it on 0xF803 (with response only); keys on 0xF801
};

vd::TDongleConfig DongleConfig(std::chrono::microseconds interval, int perEvent, TMouseKind kind) {
    auto config =
        kind == TMouseKind::OwnWithResponse
            ? vd::TDongleConfig::Standard("Corvastel-S", "C0:FF:EE:00:01:01", "1.2.0", vd::Identity4348_E010)
            : vd::TDongleConfig::Standard("Corvastel-S", "C0:FF:EE:00:01:01", "1.1.9");
    config.connectionInterval = interval;
    config.packetsPerEvent = perEvent;
    if (kind == TMouseKind::OwnWithResponse) {
        auto* c = config.Find(vd::uuid::MouseReports);
        c->properties = static_cast<uint8_t>(c->properties & ~vd::prop::WriteNoResponse);
    } else if (kind == TMouseKind::SharedWithResponse) {
        // The identity frames the mouse on 0xF801 with the keyboard: both go with response.
        for (uint16_t u : {vd::uuid::Reports, vd::uuid::MouseReports}) {
            if (auto* c = config.Find(u))
                c->properties = static_cast<uint8_t>(c->properties & ~vd::prop::WriteNoResponse);
        }
    }
    return config;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

using bench::Percentile;

void BM_SlowLink(benchmark::State& state) {
    const auto interval = std::chrono::microseconds(state.range(0));
    const int perEvent = static_cast<int>(state.range(1));
    const auto mouseKind = static_cast<TMouseKind>(state.range(2));
    const int motionSeconds = static_cast<int>(state.range(3));
    const TPace pace = state.range(4) == 0 ? TPace::Learned : TPace::Fixed;
    const std::vector<TInput> trace = Trace(motionSeconds);
    const TUSBDeviceID id = mouseKind == TMouseKind::OwnWithResponse ? USBID_4348_E010 : USBID_0451_16B4;
    const int64_t motionInjected = 1000 * motionSeconds;

    for (auto _ : state) {
        ResetInputStateForTests();
        TFakeBluetoothLEManager central;
        auto dongle = central.AddDongle(DongleConfig(interval, perEvent, mouseKind));
        auto session = std::make_unique<TCorvastelDevice>();
        if (pace == TPace::Fixed)
            session->SetLinkEstimator(TLinkEstimator::Fixed(TLinkEstimator::ShortestInterval));
        session->InitData(&central.Device(dongle->Address()));
        while (!session->isActived)
            std::this_thread::sleep_for(1ms);
        central.WaitIdle();
        dongle->ClearRecords();

        // Key transitions as injected: when, and the keyboard report it makes.
        std::vector<std::pair<Clock::time_point, THidReport>> keys;
        const auto keyboard = [&](bool empty) {
            const THidReport report = empty ? GetEmptyHidReport(id, TReportType::KeyboardIn)
                                            : GetHidReport(id, TReportType::KeyboardIn);
            keys.push_back({Clock::now(), report});
            session->SendReport(TReportType::KeyboardIn, empty);
        };
        const auto mouse = [&] { session->SendMouseReport(TakeMouseSnapshot()); };

        const auto start = Clock::now();
        Clock::time_point clickAt{};
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
                    if (input.kind == TInput::ButtonDown)
                        clickAt = Clock::now();
                    SetMouseItem(MouseCodeLeft, input.kind == TInput::ButtonDown ? 1 : 0);
                    mouse();
                    break;
            }
        }
        const auto lastInput = Clock::now();
        // Wait until everything arrived, or 10 s.
        const auto settled = [&] {
            dongle->DeliverDue();
            if (!session->WaitSent(0ms))
                return false;
            const auto t = dongle->Target();
            return t.pointerX >= motionInjected && !t.AnyInputHeld();
        };
        while (!settled() && Clock::now() - lastInput < 10s)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(2 * std::chrono::duration_cast<Clock::duration>(interval) + 5ms);

        std::vector<double> latencies;
        double lost = 0, lastReport = 0;
        dongle->DeliverDue();
        const auto records = dongle->Writes();
        const auto target = dongle->Target();
        // The click's release as it reached the dongle: keys typed from the press until then wait
        // behind the click (the order of keys and clicks holds).
        Clock::time_point clickDone{};
        uint8_t buttons = 0;
        for (const auto& r : records) {
            const bool plainMouse = r.characteristic == vd::uuid::MouseReports && !r.bytes.empty();
            const bool idMouse =
                r.characteristic == vd::uuid::Reports && r.bytes.size() > 1 && r.bytes[0] == 0x03;
            if (!plainMouse && !idMouse)
                continue;
            const uint8_t now = static_cast<uint8_t>(r.bytes[plainMouse ? 0 : 1] & 0x07);
            if (buttons != 0 && now == 0)
                clickDone = r.arrivedAt;
            buttons = now;
        }
        std::vector<double> apartFromClick;
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
            if (at < clickAt || at >= clickDone)
                apartFromClick.push_back(latencies.back());
            next = k + 1;
        }
        for (const auto& r : records)
            if (r.arrivedAt != Clock::time_point{})
                lastReport = std::max(lastReport, Ms(r.arrivedAt - lastInput));
        const auto link = session->LinkStats();
        state.counters["key_p50_ms"] = Percentile(latencies, 0.50);
        state.counters["key_p99_ms"] = Percentile(latencies, 0.99);
        state.counters["key_p99_apart_from_click_ms"] = Percentile(apartFromClick, 0.99);
        state.counters["key_max_ms"] =
            latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end());
        state.counters["keys_lost"] = lost;
        state.counters["motion"] = static_cast<double>(target.pointerX);
        state.counters["motion_injected"] = static_cast<double>(motionInjected);
        state.counters["writes"] = static_cast<double>(records.size());
        state.counters["last_report_ms"] = lastReport;
        state.counters["target_holding"] = target.AnyInputHeld() ? 1 : 0;
        state.counters["learned_rate_per_s"] = link.WritesPerSecond;
        state.counters["learned_interval_ms"] = link.IntervalUs / 1000.0;
        session.reset();
    }
    ResetInputStateForTests();
}

void SlowLinkArgs(benchmark::internal::Benchmark* b) {
    // with_response: 0 without, 1 with response on the keyboard's characteristic, 2 on its own.
    b->ArgNames({"interval_us", "per_event", "with_response", "motion_s", "fixed_pace"});
    struct TLinkArg {
        int interval;
        int perEvent;
    };
    for (const TLinkArg link : {TLinkArg{7500, 1}, TLinkArg{30000, 6}, TLinkArg{50000, 4}})
        for (int response : {0, 1, 2})
            for (int seconds : {3, 10}) {
                if (seconds == 10 && link.interval != 50000)
                    continue;
                for (int fixed : {0, 1})
                    b->Args({link.interval, link.perEvent, response, seconds, fixed});
            }
}
BENCHMARK(BM_SlowLink)->Apply(SlowLinkArgs)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// ---- bad moments

// One bad moment on a link whose mouse characteristic takes both write kinds (keys on their own,
// without response): 1000 Hz motion for 8 s with a letter typed every ~100 ms from the first
// second on, and 2 s in either the air carries nothing for 300 ms or the next write with response
// (a motion request: no key is typed from 2 to 3.5 s then) is answered 2 s late. Figures: the time
// from the bad moment's start until keys reach the dongle within two intervals and 3 ms again
// (recovery_ms: after the last late key made within 3 s of it; late_keys_later: those made after),
// the p99 and worst key from then on, the pointer's longest stand-still at the dongle from the bad
// moment on, the pointer counts not yet there when the input ends, the keys lost.
enum class TBadMoment { AirStall300ms = 0, LateAnswer2s = 1 };

void BM_BadMoment(benchmark::State& state) {
    const auto interval = std::chrono::microseconds(state.range(0));
    const int perEvent = static_cast<int>(state.range(1));
    const auto moment = static_cast<TBadMoment>(state.range(2));
    constexpr int MotionMs = 8000;
    const auto badAt = 2000ms;
    for (auto _ : state) {
        ResetInputStateForTests();
        TFakeBluetoothLEManager central;
        auto config =
            vd::TDongleConfig::Standard("Corvastel-S", "C0:FF:EE:00:01:02", "1.2.0", vd::Identity4348_E010);
        config.connectionInterval = interval;
        config.packetsPerEvent = perEvent;
        auto dongle = central.AddDongle(config);
        auto session = std::make_unique<TCorvastelDevice>();
        session->InitData(&central.Device(dongle->Address()));
        while (!session->isActived)
            std::this_thread::sleep_for(1ms);
        central.WaitIdle();
        dongle->ClearRecords();

        std::vector<std::pair<Clock::time_point, THidReport>> keys;
        std::mt19937 random(3);
        std::uniform_int_distribution<int> jitter(-30, 30);
        int nextKeyMs = 1000;
        uint8_t usage = 4;
        const auto start = Clock::now();
        for (int ms = 0; ms < MotionMs; ++ms) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
            if (std::chrono::milliseconds(ms) == badAt) {
                if (moment == TBadMoment::AirStall300ms)
                    dongle->StallAir(300ms);
                else
                    dongle->DelayNextAnswer(2s);
            }
            SetMouseItem(MouseCodeX, 1);
            session->SendMouseReport(TakeMouseSnapshot());
            // Before a late answer, no key for 1.5 s: the next write with response is motion's.
            if (moment == TBadMoment::LateAnswer2s && ms == nextKeyMs && ms >= 2000 && ms < 3500)
                nextKeyMs = 3500;
            if (ms == nextKeyMs) {
                for (const bool down : {true, false}) {
                    if (down)
                        AddPressedKey(usage);
                    else
                        RemovePressedKey(usage);
                    keys.push_back({Clock::now(), GetHidReport(USBID_4348_E010, TReportType::KeyboardIn)});
                    session->SendReport(TReportType::KeyboardIn, !down);
                }
                usage = static_cast<uint8_t>(usage == 29 ? 4 : usage + 1);
                nextKeyMs += 100 + jitter(random);
            }
        }
        const auto lastInput = Clock::now();
        dongle->DeliverDue();
        const int64_t pointerAtLastInput = dongle->Target().pointerX;
        while (Clock::now() - lastInput < 5s) {
            dongle->DeliverDue();
            const auto t = dongle->Target();
            if (session->WaitSent(0ms) && t.pointerX >= MotionMs && !t.AnyInputHeld())
                break;
            std::this_thread::sleep_for(1ms);
        }
        dongle->DeliverDue();
        const auto records = dongle->Writes();
        const double bound = 2 * Ms(interval) + 3;
        double lost = 0, worstAfter = 0;
        std::vector<std::pair<double, double>> latencies;  // made (ms from start), latency
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
            latencies.push_back({Ms(at - start), Ms(records[k].arrivedAt - at)});
            next = k + 1;
        }
        // Back within bounds: after the last late key made within 3 s of the bad moment; late keys
        // made later are counted apart (on a loaded machine a lone key may come late anywhere).
        double recovered = Ms(badAt);
        double lateLater = 0;
        for (size_t i = 0; i < latencies.size(); ++i) {
            const auto& [made, latency] = latencies[i];
            if (made < Ms(badAt) || latency <= bound)
                continue;
            if (made < Ms(badAt) + 3000)
                recovered = i + 1 < latencies.size() ? latencies[i + 1].first : made;
            else
                ++lateLater;
        }
        // The pointer's longest stand-still at the dongle from the bad moment on.
        double motionGap = 0;
        Clock::time_point lastMotion = start + badAt;
        for (const auto& r : records) {
            if (r.characteristic != vd::uuid::MouseReports || r.arrivedAt < start + badAt)
                continue;
            motionGap = std::max(motionGap, Ms(r.arrivedAt - lastMotion));
            lastMotion = r.arrivedAt;
        }
        std::vector<double> after;
        for (const auto& [made, latency] : latencies) {
            if (made >= recovered) {
                worstAfter = std::max(worstAfter, latency);
                after.push_back(latency);
            }
        }
        state.counters["recovery_ms"] = recovered - Ms(badAt);
        state.counters["late_keys_later"] = lateLater;
        state.counters["motion_longest_gap_ms"] = motionGap;
        state.counters["motion_behind_at_last_input"] = static_cast<double>(MotionMs - pointerAtLastInput);
        state.counters["key_p99_after_ms"] = Percentile(after, 0.99);
        state.counters["key_max_after_ms"] = worstAfter;
        state.counters["keys_lost"] = lost;
        state.counters["motion"] = static_cast<double>(dongle->Target().pointerX);
        state.counters["motion_injected"] = MotionMs;
        session.reset();
    }
    ResetInputStateForTests();
}

BENCHMARK(BM_BadMoment)
    ->ArgNames({"interval_us", "per_event", "late_answer"})
    ->Args({7500, 1, 0})
    ->Args({7500, 1, 1})
    ->Args({30000, 6, 0})
    ->Args({30000, 6, 1})
    ->Args({50000, 4, 0})
    ->Args({50000, 4, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace
