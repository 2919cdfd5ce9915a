// Clip placement on a long dictation: tokens put into the sentence being heard, and
// the final text filled, on about 2,000 characters of English and of Chinese.
#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include "core/Clip.h"
#include "core/Log.h"

namespace {

// About 2,000 characters of sentences, with three clip tokens at sentence ends.
QString longText(bool chinese) {
    const QString sentence =
        chinese ? QStringLiteral("我们下周把季度报告发给财务团队，然后再看看预算。")
                : QStringLiteral(
                      "Please send the quarterly report to the "
                      "finance team by Friday. ");
    QString text;
    int n = 0;
    while (text.size() < 2000) {
        text += sentence;
        if (++n % 12 == 0) text += QStringLiteral("⟦短语%1⟧").arg(n / 12);
    }
    return text;
}

QList<Clip> clips() {
    return {Clip(QStringLiteral("the Q3 numbers"), 1),
            Clip(QStringLiteral("https://example.com/r"), 2),
            Clip(QStringLiteral("line one\nline two"), 3)};
}

void BM_Fill(benchmark::State& st) {
    const QString raw = longText(st.range(0) != 0);
    const QList<Clip> c = clips();
    for (auto _ : st) benchmark::DoNotOptimize(Clip::fill(raw, raw, c, true));
    st.SetLabel(st.range(0) ? "Chinese" : "English");
}
BENCHMARK(BM_Fill)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_Insert(benchmark::State& st) {
    const QString sentence = longText(st.range(0) != 0);
    const Clip::Waiting waiting = {{QStringLiteral("⟦短语1⟧"), 700},
                                   {QStringLiteral("⟦链接2⟧"), 1500}};
    for (auto _ : st) benchmark::DoNotOptimize(Clip::insert(waiting, sentence));
    st.SetLabel(st.range(0) ? "Chinese" : "English");
}
BENCHMARK(BM_Insert)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Log::setMirrorToStderr(false);
    ::benchmark::Initialize(&argc, argv);
    ::benchmark::RunSpecifiedBenchmarks();
    ::benchmark::Shutdown();
    return 0;
}
