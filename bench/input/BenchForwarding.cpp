// The input path on the hook thread: a hooked key event through the keyboard hook, the forwarding
// logic and every active session's SendReport, to the write handed to the radio backend. Run for 1
// and 3 active dongles. Figures (manual time = the hook's own cost) plus percentiles as counters:
// hook_p50/p99_us (time the platform's event delivery is held) and write_p50/p99_us (event to the
// last dongle's write handed to the backend).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "BenchSessions.h"
#include "device/UnitCorvastelDevice.h"
#include "input/UnitInputForwarding.h"
#include "input/UnitKeyHook.h"
#include "platform/hooks/fake/FakeHookPlatform.h"

namespace {

using Clock = std::chrono::steady_clock;

using bench::TBoundSession;
using bench::TInstantDevice;

// The window as the forwarding logic sees it, broadcasting to its sessions as the window does.
struct TBenchWindow final : TForwardTarget {
    std::vector<std::unique_ptr<TBoundSession>> sessions;
    bool KeyboardForwarded() const override { return true; }
    bool MouseForwarded() const override { return true; }
    void SendReportToActive(TReportType type, bool empty) override {
        for (auto& s : sessions) {
            if (s->session.isActived)
                s->session.SendReport(type, empty);
        }
    }
    void ShowPressedKey(const TIntArray&) override {}
    void ShowKeypadMouse(std::string_view, std::string_view) override {}
    void ExitPassThrough() override {}
    bool HeldPointerPosition(THookPoint&) override { return false; }
    bool SelectRoute(int) override { return true; }
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void BM_KeyEvent_ThroughToTheBackendWrite(benchmark::State& state) {
    ResetInputStateForTests();
    ResetForwardingStateForTests();
    auto platform = std::make_shared<TFakeHookPlatform>();
    TBenchWindow window;
    for (int i = 0; i < state.range(0); ++i)
        window.sessions.push_back(std::make_unique<TBoundSession>());
    TLowLevelKeyboardHook hook(platform);
    hook.SetOnPreExecute([&](THook& h, THookMessage& msg) {
        msg.Result = ForwardKeyEvent(window, static_cast<TLowLevelKeyboardHook&>(h).HookStruct());
    });
    hook.SetActive(true);

    std::vector<double> hookUs, writeUs;
    bool press = true;
    for (auto _ : state) {
        std::vector<long> before;
        for (auto& s : window.sessions) {
            std::lock_guard l(s->device.lock);
            before.push_back(s->device.writes);
        }
        const THookKeyboardRecord record{0x41, 0x1E, press ? 0u : LLKHF_UP, 0, 0};
        const auto start = Clock::now();
        platform->Feed(WH_KEYBOARD_LL, press ? WM_KEYDOWN : WM_KEYUP, record);
        const auto returned = Clock::now();
        Clock::time_point last = returned;
        for (size_t i = 0; i < window.sessions.size(); ++i) {
            auto& d = window.sessions[i]->device;
            std::unique_lock l(d.lock);
            d.written.wait(l, [&] { return d.writes > before[i]; });
            last = std::max(last, d.writtenAt);
        }
        press = !press;
        const double hookTime = std::chrono::duration<double>(returned - start).count();
        hookUs.push_back(hookTime * 1e6);
        writeUs.push_back(std::chrono::duration<double, std::micro>(last - start).count());
        state.SetIterationTime(hookTime);
    }
    state.counters["hook_p50_us"] = Percentile(hookUs, 0.50);
    state.counters["hook_p99_us"] = Percentile(hookUs, 0.99);
    state.counters["write_p50_us"] = Percentile(writeUs, 0.50);
    state.counters["write_p99_us"] = Percentile(writeUs, 0.99);
    hook.SetActive(false);
    ResetInputStateForTests();
}
BENCHMARK(BM_KeyEvent_ThroughToTheBackendWrite)
    ->Arg(1)
    ->Arg(3)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
