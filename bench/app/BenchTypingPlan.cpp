// Planning a text to type: what a 1 MB text costs before its first key, per character, on the
// window's thread or the planner's. Three texts: one the layout types whole, one whose every
// character it lacks (a script it does not have, which once cost a search of the refused list per
// character), and one with characters entered by their code.

#include <benchmark/benchmark.h>

#include <string>

#include "hid/TextKeys.h"
#include "layout/XkbLayout.h"

namespace {

constexpr std::size_t TextLength = 1024 * 1024;

// A text of TextLength characters repeating the pattern.
std::u32string TextOf(const std::u32string& Pattern) {
    std::u32string text;
    text.reserve(TextLength);
    while (text.size() < TextLength) {
        text += Pattern;
    }
    text.resize(TextLength);
    return text;
}

// Every CJK ideograph in a run of 2,000: as many kinds of refused characters as a pasted page has.
std::u32string Ideographs() {
    std::u32string text;
    for (char32_t c = 0x4E00; c < 0x4E00 + 2000; ++c) {
        text.push_back(c);
    }
    return text;
}

void Plan(benchmark::State& state, const std::u32string& Text, const char* Layout, TTargetSystem System,
          TUnicodeEntry Entry) {
    std::string error;
    const auto layout = BuildLayoutKeys(Layout, System, &error);
    if (!layout) {
        state.SkipWithError(error.c_str());
        return;
    }
    for (auto _ : state) {
        TTypingPlan plan = PlanTyping(Text, *layout, false, Entry);
        benchmark::DoNotOptimize(plan);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(Text.size()));
    state.counters["ns/char"] =
        benchmark::Counter(static_cast<double>(Text.size()),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_PlanTyping_GermanText_De(benchmark::State& state) {
    static const std::u32string text =
        TextOf(U"Gr\u00fc\u00dfe aus K\u00f6ln: 5 \u20ac @ home, d\u00e9j\u00e0 vu!\n");
    Plan(state, text, "de", TTargetSystem::Linux, TUnicodeEntry::Off);
}
BENCHMARK(BM_PlanTyping_GermanText_De)->Unit(benchmark::kMillisecond);

void BM_PlanTyping_AllRefused_Ideographs_Us(benchmark::State& state) {
    static const std::u32string text = TextOf(Ideographs());
    Plan(state, text, "us", TTargetSystem::Windows, TUnicodeEntry::Off);
}
BENCHMARK(BM_PlanTyping_AllRefused_Ideographs_Us)->Unit(benchmark::kMillisecond);

void BM_PlanTyping_EnteredByCode_Ideographs_Us(benchmark::State& state) {
    static const std::u32string text = TextOf(Ideographs());
    Plan(state, text, "us", TTargetSystem::Linux, TUnicodeEntry::Linux);
}
BENCHMARK(BM_PlanTyping_EnteredByCode_Ideographs_Us)->Unit(benchmark::kMillisecond);

}  // namespace
