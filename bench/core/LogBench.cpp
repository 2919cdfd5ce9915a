// Cost of Log::write on the caller's thread (formatting and hand-off only).
#include <benchmark/benchmark.h>

#include <QTemporaryDir>
#include <cstdlib>

#include "core/Log.h"

static void BM_LogWrite(benchmark::State& state) {
    static QTemporaryDir dir;
    setenv("XDG_STATE_HOME", dir.path().toUtf8().constData(), 1);
    Log::setMirrorToStderr(false);
    const QString msg = QStringLiteral("ASR task started in 123ms");
    for (auto _ : state) Log::write(msg);
    Log::flush();
}
BENCHMARK(BM_LogWrite);

BENCHMARK_MAIN();
