// The history with its full 2000 entries: loading it at start (target under 20 ms), one save as
// the writer does it, encoding and the synced atomic write (target under 30 ms), and the main
// thread's part of adding a dictation (target under 0.2 ms).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include "core/HistoryStore.h"

namespace {

QString gDir;

// Dictations of everyday length, English, Chinese and mixed, most sent to a named app.
QList<HistoryEntry> sample(int n) {
    const QString texts[] = {
        QStringLiteral("Thanks for the quick reply, I'll send the updated figures to Mira before "
                       "the meeting tomorrow and we can go through the open points then."),
        QStringLiteral(
            "我们下周二上午十点在三楼会议室讨论新版本的发布计划，请大家提前准备好材料。"),
        QStringLiteral("git rebase the feature branch onto main, then run the Velmora tests again "
                       "and push it 好的"),
    };
    QList<HistoryEntry> out;
    const double now = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    for (int i = 0; i < n; ++i) {
        HistoryEntry e;
        e.id = QUuid::createUuid();
        e.date = now - 600.0 * i;
        e.text = texts[i % 3];
        if (i % 4 != 3) {
            e.app = QStringLiteral("Text Editor");
            e.bundleID = QStringLiteral("org.gnome.TextEditor");
        }
        if (i % 5 == 0) e.site = QStringLiteral("github");
        e.seconds = 4.25 + i % 7;
        out << e;
    }
    return out;
}

QString historyFile() {
    return gDir + QStringLiteral("/Velmora/history.json");
}

void BM_LoadHistory2000(benchmark::State& state) {
    HistoryStore::writeAtomically(historyFile(), HistoryStore::encode(sample(2000)));
    for (auto _ : state) {
        auto store = std::make_unique<HistoryStore>(historyFile());
        if (store->entries().size() != 2000) state.SkipWithError("not loaded");
        state.PauseTiming();
        store.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_LoadHistory2000)->Unit(benchmark::kMillisecond);

void BM_SaveHistory2000(benchmark::State& state) {
    const QList<HistoryEntry> entries = sample(2000);
    for (auto _ : state) {
        if (HistoryStore::writeAtomically(historyFile(), HistoryStore::encode(entries)))
            state.SkipWithError("not written");
    }
}
BENCHMARK(BM_SaveHistory2000)->Unit(benchmark::kMillisecond);

void BM_EncodeHistory2000(benchmark::State& state) {
    const QList<HistoryEntry> entries = sample(2000);
    for (auto _ : state) benchmark::DoNotOptimize(HistoryStore::encode(entries));
}
BENCHMARK(BM_EncodeHistory2000)->Unit(benchmark::kMillisecond);

// The store is full, so each add also drops the oldest entry; the writer is let finish
// between adds (outside the timing) so it doesn't compete for the core.
void BM_AddMainThreadPart(benchmark::State& state) {
    HistoryStore::writeAtomically(historyFile(), HistoryStore::encode(sample(2000)));
    HistoryStore store(historyFile());
    store.setRetention(static_cast<HistoryRetention>(state.range(0)));
    store.flush();
    for (auto _ : state) {
        store.add(QStringLiteral("Send the figures to Mira tomorrow"),
                  QStringLiteral("Text Editor"), QStringLiteral("org.gnome.TextEditor"),
                  std::nullopt, 3.5);
        state.PauseTiming();
        store.flush();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_AddMainThreadPart)
    ->Arg(static_cast<int>(HistoryRetention::forever))
    ->Arg(static_cast<int>(HistoryRetention::month))
    ->Iterations(300)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    // A home of its own: the bench never touches the user's history or settings.
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/velmora-bench-XXXXXX"));
    gDir = dir.path();
    const QByteArray h = gDir.toUtf8();
    setenv("HOME", h.constData(), 1);
    setenv("XDG_CONFIG_HOME", (h + "/.config").constData(), 1);
    setenv("XDG_DATA_HOME", (h + "/.local/share").constData(), 1);
    setenv("XDG_STATE_HOME", (h + "/.local/state").constData(), 1);
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
