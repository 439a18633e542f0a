// Key latency through the whole product, from a key pressed to its report at the dongle's target.
// The built program runs under Xvfb with pass-through on; keys and pointer motion go in through
// XTest, as a user's keyboard and mouse reach the X server, and the virtual dongle records when
// each write reached its target. Both sides read CLOCK_MONOTONIC of the same machine, so the
// difference is the latency a user at the target would see (the dongle's USB side aside).
//
// Two worlds:
//   * the imitation (default): the service owns org.bluez on a private bus and models the air
//     (--links: connection intervals in microseconds, "50000x4" for four writes per event);
//   * --real-stack: inside the kernel rig (tests/kernel/key-latency-guest.sh), a real bluetoothd
//     over emulated controllers; the program is the central on hci0 and the dongle a real
//     peripheral on hci1. The guest's CPU is emulated, so absolute figures there are inflated.
//
// Per link, two runs of the same trace: keys alone (the mouse not sent), and keys while the pointer
// moves at a steady rate with the mouse sent too. The trace: --keys letters, one every ~120 ms
// with jitter, each held 45 ms; with motion, a one-pixel move every 1/--motion-hz s from before the
// first key to after the last.
//
// Figures per run (counters): key latency at the target p50 / p99 / max (injected -> arrived),
// the part until the write left the central's stack (injected -> made, p50), key transitions
// lost, motion injected and delivered, writes, and the time from the last input to the last
// report. Never a pass/fail on time: the program fails only when it cannot measure.
//
//   bench_key_latency [--real-stack] [--links=7500,50000] [--keys=20] [--motion-hz=125]
//                     [--slowdown=N] [--details=CSV] [--dongle-traits=ask-interval-us=7500]
//                     [Google Benchmark options, e.g.
//                     --benchmark_out=FILE --benchmark_out_format=json]
// --details appends one line per key transition: run, injected (CLOCK_MONOTONIC us), injected
// (time of day us, as btmon stamps packets), report bytes, write made (us), arrived (us).

#include <benchmark/benchmark.h>

#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "BenchStats.h"
#include "E2eWorld.h"
#include "KeyCodes.h"

namespace {

using namespace e2e;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The link the imitation models; none on the real stack.
struct TLink {
    unsigned intervalUs = 0;
    int packetsPerEvent = 1;
    std::string Name() const {
        if (intervalUs == 0)
            return "real_stack";
        char name[64];
        std::snprintf(name, sizeof name, packetsPerEvent == 1 ? "imitation_%uus" : "imitation_%uusx%d",
                      intervalUs, packetsPerEvent);
        return name;
    }
};

struct TSettings {
    bool realStack = false;
    std::vector<TLink> links{{7500, 1}, {50000, 1}};
    int keys = 20;
    int motionHz = 125;
    int slowdown = 0;          // 0: 1 on the imitation, 6 on the real stack
    std::string details;       // CSV of every key transition, appended to
    std::string dongleTraits;  // more traits of the dongle (--dongle-traits)
};

TSettings Settings;

// btvirt's second controller, where the dongle is a real peripheral.
const TDongleTraits RigDongle{
    QStringLiteral("00:AA:01:01:00:01"),
    "name=Corvastel-A,address=00:AA:01:01:00:01,firmware=1.2.0,identity=0451:E010:1", false,
    QStringLiteral("F803")};

TDongleTraits Dongle() {
    TDongleTraits dongle = Settings.realStack ? RigDongle : NewerDongle();
    if (!Settings.dongleTraits.empty())
        dongle.traits += "," + Settings.dongleTraits;
    return dongle;
}

// One world for every run: starting it (and connecting over the emulated air) is the slow part.
struct TBench {
    std::unique_ptr<TE2eWorld> world;
    std::unique_ptr<TSpyClient> other;
    bool mouseTicked = false;
    std::string error;
};

TBench* Bench = nullptr;
bool Failed = false;

bool StartWorld(std::string* error) {
    TWorldOptions options;
    if (Settings.realStack) {
        options.systemBus = "unix:path=/run/dbus/system_bus_socket";
        options.bluezAdapters = {"hci1"};
    }
    options.dongles = {Dongle()};
    options.slowdown = Settings.slowdown;
    Bench->world = TE2eWorld::Start({CORVASTEL_PC_PATH, CORVASTEL_VIRTUAL_DONGLES_PATH}, options, error);
    if (!Bench->world)
        return false;
    Bench->other = TSpyClient::Open(Bench->world->Display(), {16, 16, 240, 140}, error);
    if (!Bench->other)
        return false;
    if (!Bench->world->Scan(error))
        return false;
    QString address;
    if (!Bench->world->ConnectSelected(&address, error))
        return false;
    return true;
}

struct TInput {
    Clock::duration at;
    enum TKind { Move, KeyDown, KeyUp } kind = Move;
    unsigned keycode = 0;
    uint8_t usage = 0;
};

std::vector<TInput> Trace(bool motion) {
    std::vector<TInput> trace;
    std::mt19937 random(18);
    std::uniform_int_distribution<int> jitter(-20, 20);
    Clock::duration last{};
    for (int i = 0; i < Settings.keys; ++i) {
        const auto stroke = *KeyStrokeFor(static_cast<char>('a' + i % 26));
        const auto down = std::chrono::milliseconds(250 + 120 * i + jitter(random));
        trace.push_back({down, TInput::KeyDown, stroke.keycode, stroke.usage});
        trace.push_back({down + 45ms, TInput::KeyUp, stroke.keycode, stroke.usage});
        last = down + 45ms;
    }
    if (motion && Settings.motionHz > 0) {
        const auto step = std::chrono::duration_cast<Clock::duration>(1s) / Settings.motionHz;
        for (auto at = Clock::duration{}; at < last + 250ms; at += step)
            trace.push_back({at, TInput::Move});
    }
    std::stable_sort(trace.begin(), trace.end(),
                     [](const TInput& a, const TInput& b) { return a.at < b.at; });
    return trace;
}

int64_t MonotonicUs(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

using bench::Percentile;

std::string RunName(const TLink& link, bool motion) {
    return link.Name() + (motion ? "/keys_and_motion" : "/keys");
}

// One line per key transition: run, injected (CLOCK_MONOTONIC and time of day, microseconds),
// the report, when its write was made and arrived (0 when lost).
void Detail(const std::string& run, int64_t injectedUs, int64_t realOffsetUs, const std::string& hex,
            const TDongleWrite* w) {
    if (Settings.details.empty())
        return;
    if (FILE* f = std::fopen(Settings.details.c_str(), "a")) {
        std::fprintf(f, "%s,%lld,%lld,%s,%lld,%lld\n", run.c_str(), static_cast<long long>(injectedUs),
                     static_cast<long long>(injectedUs + realOffsetUs), hex.c_str(),
                     static_cast<long long>(w ? w->madeUs : 0), static_cast<long long>(w ? w->arrivedUs : 0));
        std::fclose(f);
    }
}

void BM_KeyLatency(benchmark::State& state, TLink link, bool motion) {
    if (!Bench) {
        Bench = new TBench();
        if (!StartWorld(&Bench->error)) {
            if (Bench->world)
                Bench->error += "\n" + Bench->world->Logs();
            Bench->world.reset();
        }
    }
    if (!Bench->world) {
        Failed = true;
        state.SkipWithError(("the world did not start: " + Bench->error).c_str());
        for (auto _ : state) {
        }
        return;
    }
    TE2eWorld& world = *Bench->world;
    TDongleControl& control = world.Control();
    TXInput& x = world.X();
    const QString address = Dongle().address;
    const std::vector<TInput> trace = Trace(motion);
    const std::string run = RunName(link, motion);

    for (auto _ : state) {
        if (!Settings.realStack)
            control.SetConnectionEvents(address, link.intervalUs, link.packetsPerEvent);
        // The mouse is sent only in the runs with motion (Alt+M ticks and unticks it).
        if (Bench->mouseTicked != motion) {
            world.Accelerator(keycode::M);
            Bench->mouseTicked = motion;
        }
        x.MoveTo(16 + 120, 16 + 70);
        std::string error;
        if (!world.PassThroughOn(false, *Bench->other, &error)) {
            Failed = true;
            state.SkipWithError(error.c_str());
            break;
        }
        std::this_thread::sleep_for(world.Wait(300ms));
        control.ClearRecords(address);

        // Injected key transitions: when, and the keyboard report each must make.
        std::vector<std::pair<int64_t, std::string>> keys;
        std::string typed;
        int moves = 0;
        const auto gap = x.eventGap;
        x.eventGap = 0ms;
        const auto start = Clock::now();
        for (const TInput& input : trace) {
            std::this_thread::sleep_until(start + input.at);
            if (input.kind == TInput::Move) {
                x.MoveBy(1, 0);
                ++moves;
                continue;
            }
            const bool down = input.kind == TInput::KeyDown;
            keys.push_back(
                {MonotonicUs(Clock::now()),
                 KeyboardReportHex(0, down ? std::vector<uint8_t>{input.usage} : std::vector<uint8_t>{},
                                   Dongle().reportId)});
            x.Key(input.keycode, down);
            if (down)
                typed.push_back(static_cast<char>('a' + input.usage - 4));
        }
        const auto lastInput = Clock::now();
        // A btmon trace stamps packets with the time of day: the details carry both clocks.
        const int64_t realOffsetUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::system_clock::now().time_since_epoch())
                                         .count() -
                                     MonotonicUs(Clock::now());
        const double traceSeconds = std::chrono::duration<double>(lastInput - start).count();
        x.eventGap = gap;

        // Everything typed, every move, nothing held: the last report has arrived. A slow link
        // drains a backlog for many seconds; the wait ends early only when reports stop coming.
        const auto target = [&] { return control.Target(address); };
        int64_t reportsSeen = -1;
        auto progressAt = Clock::now();
        TE2eWorld::WaitUntil(
            [&] {
                const QJsonObject t = target();
                const int64_t reports = t.value(QStringLiteral("keyboardReports")).toInteger() +
                                        t.value(QStringLiteral("mouseReports")).toInteger();
                if (reports != reportsSeen) {
                    reportsSeen = reports;
                    progressAt = Clock::now();
                }
                return (t.value(QStringLiteral("text")).toString().toStdString() == typed &&
                        t.value(QStringLiteral("pointerX")).toInteger() >= moves &&
                        !t.value(QStringLiteral("anyInputHeld")).toBool()) ||
                       Clock::now() - progressAt > world.Wait(3s);
            },
            world.Wait(60s));
        const QJsonObject t = target();
        const std::vector<TDongleWrite> writes = control.Writes(address);

        std::vector<double> latencies;
        std::vector<double> toWrite;
        double lost = 0;
        double keyboardWrites = 0;
        double mouseWrites = 0;
        int64_t lastArrival = 0;
        size_t next = 0;
        for (const TDongleWrite& w : writes) {
            if (w.characteristic == QStringLiteral("F801"))
                ++keyboardWrites;
            else if (w.characteristic == Dongle().mouseCharacteristic)
                ++mouseWrites;
            lastArrival = std::max(lastArrival, w.arrivedUs);
        }
        for (const auto& [at, hex] : keys) {
            size_t k = next;
            while (k < writes.size() && !(writes[k].characteristic == QStringLiteral("F801") &&
                                          writes[k].bytes.toStdString() == hex && writes[k].arrivedUs != 0))
                ++k;
            if (k == writes.size()) {
                ++lost;
                Detail(run, at, realOffsetUs, hex, nullptr);
                continue;
            }
            Detail(run, at, realOffsetUs, hex, &writes[k]);
            latencies.push_back(static_cast<double>(writes[k].arrivedUs - at) / 1000.0);
            toWrite.push_back(static_cast<double>(writes[k].madeUs - at) / 1000.0);
            next = k + 1;
        }
        state.counters["key_p50_ms"] = Percentile(latencies, 0.50);
        state.counters["key_p99_ms"] = Percentile(latencies, 0.99);
        state.counters["key_max_ms"] =
            latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end());
        state.counters["key_made_p50_ms"] = Percentile(toWrite, 0.50);
        state.counters["keys"] = static_cast<double>(keys.size());
        state.counters["keys_lost"] = lost;
        state.counters["motion_injected"] = moves;
        state.counters["motion_delivered"] =
            static_cast<double>(t.value(QStringLiteral("pointerX")).toInteger());
        state.counters["motion_hz"] = traceSeconds > 0 ? moves / traceSeconds : 0;
        state.counters["kbd_writes"] = keyboardWrites;
        state.counters["mouse_writes"] = mouseWrites;
        state.counters["last_report_ms"] =
            lastArrival > 0 ? static_cast<double>(lastArrival - MonotonicUs(lastInput)) / 1000.0 : 0;
        state.counters["held_after"] = t.value(QStringLiteral("anyInputHeld")).toBool() ? 1 : 0;

        if (!world.ExitChord(*Bench->other, &error)) {
            Failed = true;
            state.SkipWithError(error.c_str());
            break;
        }
    }
}

bool ParseLinks(const char* text, std::vector<TLink>* out) {
    out->clear();
    std::string list = text;
    size_t from = 0;
    while (from <= list.size()) {
        const size_t comma = std::min(list.find(',', from), list.size());
        const std::string item = list.substr(from, comma - from);
        char* end = nullptr;
        TLink link;
        link.intervalUs = static_cast<unsigned>(std::strtoul(item.c_str(), &end, 10));
        if (*end == 'x')
            link.packetsPerEvent = static_cast<int>(std::strtol(end + 1, &end, 10));
        if (item.empty() || *end != '\0' || link.intervalUs == 0 || link.intervalUs > 4000000 ||
            link.packetsPerEvent < 1 || link.packetsPerEvent > 64)
            return false;
        out->push_back(link);
        from = comma + 1;
    }
    return !out->empty();
}

}  // namespace

int main(int argc, char** argv) {
    // Google Benchmark writes its results file only into a folder that exists.
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a.rfind("--benchmark_out=", 0) == 0) {
            std::error_code ignored;
            std::filesystem::create_directories(
                std::filesystem::path(std::string(a.substr(16))).parent_path(), ignored);
        }
    }
    benchmark::Initialize(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        auto value = [&](const char* name) -> const char* {
            const size_t n = std::strlen(name);
            return std::strncmp(a, name, n) == 0 && a[n] == '=' ? a + n + 1 : nullptr;
        };
        if (std::strcmp(a, "--real-stack") == 0) {
            Settings.realStack = true;
        } else if (const char* v = value("--links")) {
            if (!ParseLinks(v, &Settings.links)) {
                std::fprintf(stderr, "--links takes intervals in microseconds, e.g. 7500,50000x4\n");
                return 2;
            }
        } else if (const char* k = value("--keys")) {
            Settings.keys = std::clamp(std::atoi(k), 1, 200);
        } else if (const char* m = value("--motion-hz")) {
            Settings.motionHz = std::clamp(std::atoi(m), 0, 1000);
        } else if (const char* d = value("--details")) {
            Settings.details = d;
        } else if (const char* t = value("--dongle-traits")) {
            Settings.dongleTraits = t;
        } else if (const char* s = value("--slowdown")) {
            Settings.slowdown = std::clamp(std::atoi(s), 1, 50);
        } else {
            std::fprintf(stderr, "unknown option %s\n", a);
            return 2;
        }
    }
    if (Settings.slowdown == 0)
        Settings.slowdown = Settings.realStack ? 6 : 1;
    const std::vector<TLink> links = Settings.realStack ? std::vector<TLink>{TLink{}} : Settings.links;
    for (const TLink& link : links) {
        for (bool motion : {false, true}) {
            const std::string name = "KeyLatency/" + RunName(link, motion);
            benchmark::RegisterBenchmark(name.c_str(), BM_KeyLatency, link, motion)
                ->Iterations(1)
                ->Unit(benchmark::kSecond)
                ->UseRealTime();
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (Bench) {
        Bench->other.reset();
        Bench->world.reset();
        delete Bench;
    }
    return Failed ? 1 : 0;
}
