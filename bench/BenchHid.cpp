// The HID report model on the input path: every hooked key or mouse event builds one report per
// active dongle on the window's thread, so these run once per event per dongle.

#include <benchmark/benchmark.h>

#include "hid/UnitCodeComparison.h"
#include "hid/UnitCorvHid.h"

namespace {

void HoldSixKeysAndModifiers() {
    ResetInputStateForTests();
    for (int32_t usage : {UsageLeftCtrl, UsageLeftShift, 4, 5, 6, 7, 8, 9})
        AddPressedKey(usage);
}

void BM_GetHidReport_Keyboard6KeysModifiers_ReportId(benchmark::State& state) {
    HoldSixKeysAndModifiers();
    for (auto _ : state) {
        THidReport report = GetHidReport(USBID_0451_16B4, TReportType::KeyboardIn);
        benchmark::DoNotOptimize(report);
    }
}
BENCHMARK(BM_GetHidReport_Keyboard6KeysModifiers_ReportId);

void BM_GetHidReport_Keyboard6KeysModifiers_Plain(benchmark::State& state) {
    HoldSixKeysAndModifiers();
    for (auto _ : state) {
        THidReport report = GetHidReport(USBID_4348_E010, TReportType::KeyboardIn);
        benchmark::DoNotOptimize(report);
    }
}
BENCHMARK(BM_GetHidReport_Keyboard6KeysModifiers_Plain);

// What one mouse event costs: store the motion, then build (and consume) the report.
void BM_GetHidReport_MouseMotion(benchmark::State& state) {
    ResetInputStateForTests();
    SetMouseItem(MouseCodeLeft, 1);
    SetMouseItem(MouseCodeRight, 0);
    SetMouseItem(MouseCodeMiddle, 0);
    SetMouseItem(MouseCodeWheel, 0);
    int32_t step = 0;
    for (auto _ : state) {
        SetMouseItem(MouseCodeX, 3 + (step & 7));
        SetMouseItem(MouseCodeY, -2 - (step & 3));
        ++step;
        THidReport report = GetHidReport(USBID_0451_16B4, TReportType::Mouse);
        benchmark::DoNotOptimize(report);
    }
}
BENCHMARK(BM_GetHidReport_MouseMotion);

// A full key stroke as keyboard forwarding sees it: press, report, release, report.
void BM_KeyStroke_AddReportRemoveReport(benchmark::State& state) {
    ResetInputStateForTests();
    AddPressedKey(UsageLeftShift);
    for (auto _ : state) {
        AddPressedKey(4);
        THidReport down = GetHidReport(USBID_0451_16B4, TReportType::KeyboardIn);
        RemovePressedKey(4);
        THidReport up = GetHidReport(USBID_0451_16B4, TReportType::KeyboardIn);
        benchmark::DoNotOptimize(down);
        benchmark::DoNotOptimize(up);
    }
}
BENCHMARK(BM_KeyStroke_AddReportRemoveReport);

void BM_GetPressedKeys_SixHeld(benchmark::State& state) {
    HoldSixKeysAndModifiers();
    for (auto _ : state) {
        TIntArray keys = GetPressedKeys();
        benchmark::DoNotOptimize(keys.data());
    }
}
BENCHMARK(BM_GetPressedKeys_SixHeld);

// Lookups walk the 110 rows in order: the first row, the last row and a miss bound the cost.
void BM_ScanCodeToUsageId(benchmark::State& state) {
    const auto keyCode = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        int32_t k = keyCode;
        benchmark::DoNotOptimize(k);
        benchmark::DoNotOptimize(ScanCodeToUsageId(k));
    }
}
BENCHMARK(BM_ScanCodeToUsageId)->Arg(0x1E)->Arg(0xE05C)->Arg(0x64);

void BM_UsageIdToKeyLabel(benchmark::State& state) {
    const auto usage = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        int32_t u = usage;
        benchmark::DoNotOptimize(u);
        benchmark::DoNotOptimize(UsageIdToKeyLabel(u));
    }
}
BENCHMARK(BM_UsageIdToKeyLabel)->Arg(4)->Arg(231)->Arg(102);

void BM_UsageIdToShiftLabel(benchmark::State& state) {
    const auto usage = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        int32_t u = usage;
        benchmark::DoNotOptimize(u);
        benchmark::DoNotOptimize(UsageIdToShiftLabel(u));
    }
}
BENCHMARK(BM_UsageIdToShiftLabel)->Arg(36)->Arg(231);

}  // namespace
