#include "core/CommandLine.h"

#include <cmath>

namespace {
// The word after a flag, when there is one.
QString after(const QStringList& args, const QString& flag) {
    const qsizetype i = args.indexOf(flag, 2);
    return (i >= 2 && i + 1 < args.size()) ? args[i + 1] : QString();
}
}  // namespace

LaunchOptions LaunchOptions::parse(const QStringList& args) {
    LaunchOptions o;
    if (args.size() < 2) return o;
    const QString& first = args[1];
    auto has = [&](const char* flag) { return args.indexOf(QLatin1String(flag), 2) >= 2; };

    if (first == QLatin1String("--test-asr") && args.size() >= 3) {
        o.mode = Mode::testAsr;
        o.wavPath = args[2];
    } else if (first == QLatin1String("--test-polish") && args.size() >= 3) {
        o.mode = Mode::testPolish;
        o.polishText = args[2];
        if (args.size() >= 4) o.polishStyle = args[3];
    } else if (first == QLatin1String("--probe-url")) {
        o.mode = Mode::probeUrl;
    } else if (first == QLatin1String("--preview-hud")) {
        o.mode = Mode::previewHud;
        o.wave = has("--wave");
        o.learned = has("--learned");
        o.messages = has("--messages");
        o.thinking = has("--thinking");
        o.nothing = has("--nothing");
        bool ok = false;
        const double n = after(args, QStringLiteral("--seconds")).toDouble(&ok);
        if (ok && std::isfinite(n) && n >= 0) o.seconds = n;
    } else if (first == QLatin1String("--preview-window")) {
        o.mode = Mode::previewWindow;
        const QString page = after(args, QStringLiteral("--page"));
        if (page == QLatin1String("dictionary") || page == QLatin1String("settings")) o.page = page;
        o.empty = has("--empty");
        o.setup = has("--setup");
        o.signedOut = has("--signed-out");
        o.pending = has("--pending");
        o.pro = has("--pro");
        if (has("--update")) o.updateState = after(args, QStringLiteral("--update"));
    }
    return o;
}
