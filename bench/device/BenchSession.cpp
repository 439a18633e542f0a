// The sending half of a session: what SendReport costs the input path, how long until the write is
// handed to the backend, what a worker wake costs next to a thread per attempt, and the report
// throughput of one session against a link that completes each write after a set delay.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "BenchSessions.h"
#include "device/MessageBus.h"
#include "device/UnitCorvastelDevice.h"
#include "platform/ble/fake/FakeBluetoothLE.h"

namespace {

using Clock = std::chrono::steady_clock;

using bench::TBoundSession;
using bench::TInstantDevice;

void BM_SendReport_CallerCost(benchmark::State& state) {
    ResetInputStateForTests();
    TBoundSession b;
    AddPressedKey(4);
    long sent = 0;
    for (auto _ : state) {
        b.session.SendReport(TReportType::KeyboardIn, false);
        ++sent;
        // Keep the queue from filling: wait, outside the timing, until the worker has written it.
        state.PauseTiming();
        std::unique_lock l(b.device.lock);
        b.device.written.wait(l, [&] { return b.device.writes >= sent; });
        state.ResumeTiming();
    }
    ResetInputStateForTests();
}
BENCHMARK(BM_SendReport_CallerCost);

void BM_SendReport_UntilWriteHandedToBackend(benchmark::State& state) {
    ResetInputStateForTests();
    TBoundSession b;
    AddPressedKey(4);
    for (auto _ : state) {
        long before;
        {
            std::lock_guard l(b.device.lock);
            before = b.device.writes;
        }
        const auto start = Clock::now();
        b.session.SendReport(TReportType::KeyboardIn, false);
        std::unique_lock l(b.device.lock);
        b.device.written.wait(l, [&] { return b.device.writes > before; });
        state.SetIterationTime(std::chrono::duration<double>(b.device.writtenAt - start).count());
    }
    ResetInputStateForTests();
}
BENCHMARK(BM_SendReport_UntilWriteHandedToBackend)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The alternative to a worker per session: a new OS thread per send attempt.
void BM_Attempt_NewThreadEach(benchmark::State& state) {
    std::atomic<int> ran{0};
    for (auto _ : state) {
        std::thread t([&] { ran.fetch_add(1); });
        t.join();
    }
    benchmark::DoNotOptimize(ran.load());
}
BENCHMARK(BM_Attempt_NewThreadEach)->Unit(benchmark::kMicrosecond);

// Throughput of one session against the virtual dongle, one write in flight, each completing after
// the given delay (a real radio is bound by its connection interval, 7.5 ms at best).
void BM_Throughput_OneWriteInFlight(benchmark::State& state) {
    const auto delay = std::chrono::microseconds(state.range(0));
    const int reports = delay.count() == 0 ? 200 : (delay.count() < 5000 ? 100 : 40);
    ResetInputStateForTests();
    TFakeBluetoothLEManager central;
    auto dongle =
        central.AddDongle(vdongle::TDongleConfig::Standard("Corvastel-T", "C0:FF:EE:00:00:02", "1.1.9"));
    TCorvastelDevice session;
    session.InitData(&central.Device("C0:FF:EE:00:00:02"));
    while (!session.isActived)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    central.WaitIdle();
    dongle->SetWriteDelay(delay);
    AddPressedKey(4);
    for (auto _ : state) {
        dongle->ClearRecords();
        for (int i = 0; i < reports; ++i)
            session.SendReport(TReportType::KeyboardIn, false);
        while (static_cast<int>(dongle->Writes().size()) < reports)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        central.WaitIdle();
    }
    state.SetItemsProcessed(state.iterations() * reports);
    ResetInputStateForTests();
}
BENCHMARK(BM_Throughput_OneWriteInFlight)
    ->Arg(0)
    ->Arg(1000)
    ->Arg(7500)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
