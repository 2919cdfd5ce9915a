// Latency of the rules cleanup on dictation-sized texts (targets: 200 chars < 0.2 ms,
// 2,000 chars < 2 ms, median). Run with --benchmark_repetitions=10 for the median.
#include <benchmark/benchmark.h>

#include <string>

#include "cleanup/Cleanup.h"
#include "cleanup/Unicode.h"

namespace {

// Dictation-like text of about `chars` characters, mixing what the rules work on.
std::string sample(size_t chars, bool chinese) {
    const std::string en =
        "um so I I think we should uh ship the new build on tuesday, sorry, wednesday at 3pm and, "
        "you know, "
        "tell the team at https://example.com/release that the the tests pass. ";
    const std::string zh =
        "嗯，我觉得那个，我们下午三点，不对，四点开会讨论一下Python脚本的问题，你觉得呢 ";
    std::string out;
    while (vserver::text::decode(out).size() < chars) out += chinese ? zh : en;
    const std::u32string cut = vserver::text::decode(out).substr(0, chars);
    return vserver::text::encode(cut);
}

void run(benchmark::State& state, size_t chars, bool chinese, vserver::cleanup::Style style) {
    const std::string text = sample(chars, chinese);
    for (auto _ : state) benchmark::DoNotOptimize(vserver::cleanup::clean(text, style));
    state.SetItemsProcessed(state.iterations());
}

void BM_Rules200(benchmark::State& s) {
    run(s, 200, false, vserver::cleanup::Style::generic);
}
void BM_Rules2000(benchmark::State& s) {
    run(s, 2000, false, vserver::cleanup::Style::generic);
}
void BM_Rules200Chinese(benchmark::State& s) {
    run(s, 200, true, vserver::cleanup::Style::generic);
}
void BM_Rules2000Chinese(benchmark::State& s) {
    run(s, 2000, true, vserver::cleanup::Style::generic);
}
void BM_Rules2000Mail(benchmark::State& s) {
    run(s, 2000, false, vserver::cleanup::Style::mail);
}
void BM_Rules2000Notes(benchmark::State& s) {
    run(s, 2000, false, vserver::cleanup::Style::notes);
}

}  // namespace

BENCHMARK(BM_Rules200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rules2000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rules200Chinese)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rules2000Chinese)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rules2000Mail)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rules2000Notes)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
