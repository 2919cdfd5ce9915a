#include "ui/LevelMeter.h"

#include <algorithm>
#include <cmath>

void LevelMeter::reset(double floor, double range) {
    peakDB = floor + range;
    heardDB.clear();
}

double LevelMeter::toDB(double rms) {
    return 20 * std::log10(std::max(rms, 1e-6));
}

std::optional<double> LevelMeter::feed(double rms, double now, double floor, double range) {
    if (!std::isfinite(rms)) return std::nullopt;
    const double db = toDB(rms);
    // The peak falls 6 dB a second, counting at most 0.2 s since the last report.
    const double elapsed = std::clamp(now - peakAt, 0.0, 0.2);
    const double decayed = peakDB - 6 * elapsed;
    peakDB = std::max({db, decayed, floor + range});
    peakAt = now;
    heardDB.push_back(db);
    const double span = peakDB - floor;
    if (!(span > 0)) return 0.0;
    return std::clamp((db - floor) / span, 0.0, 1.0);
}

std::optional<QString> LevelMeter::takeLogLine(double floor) {
    if (heardDB.size() < 10) {
        heardDB.clear();
        return std::nullopt;
    }
    std::vector<double> sorted = std::move(heardDB);
    heardDB.clear();
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    auto at = [&](double p) {
        const size_t i =
            std::min(n - 1, static_cast<size_t>(std::floor(p * static_cast<double>(n))));
        return QString::number(std::lround(sorted[i]));
    };
    return QStringLiteral("Mic level dBFS: p10=") + at(0.1) + QStringLiteral(" p50=") + at(0.5) +
           QStringLiteral(" p90=") + at(0.9) + QStringLiteral(" max=") + at(1.0) +
           QStringLiteral(" (floor ") + QString::number(std::lround(floor)) +
           QStringLiteral(", n=") + QString::number(n) + QLatin1Char(')');
}
