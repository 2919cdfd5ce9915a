#include "ui/WaveformModel.h"

#include <QElapsedTimer>
#include <algorithm>
#include <cmath>
#include <numbers>

void WaveformModel::feed(double value, double now) {
    incoming = std::max(incoming, value);
    gotLevel = true;
    levelAt = now;
}

void WaveformModel::tick(double now) {
    const double dt = std::clamp(now - lastTick, 0.001, 0.1);
    lastTick = now;
    if (levelSource) {
        level = levelSource(now);
    } else if (gotLevel) {
        level = incoming;
        incoming = 0;
        gotLevel = false;
    } else if (now - levelAt > 0.2) {
        level *= std::exp(-dt / 0.13);
    }
    const int n = std::max(count, 0);
    if (static_cast<int>(heights.size()) != n) heights.assign(static_cast<size_t>(n), 0.0);
    const double L = std::clamp(std::isfinite(level) ? level : 0.0, 0.0, 1.0);
    for (int i = 0; i < n; ++i) {
        const double phase = 1.9 * i + now * speed * (0.73 * i + 2.6);
        const double envelope =
            n < 2 ? 1.0 : 0.42 * std::sin((i + 0.5) * std::numbers::pi / n) + 0.58;
        const double target = (0.38 * std::sin(phase) + 0.62) * envelope * L;
        double& h = heights[static_cast<size_t>(i)];
        const double tau = target > h ? 0.035 : 0.13;
        h += (target - h) * (1 - std::exp(-dt / tau));
    }
}

std::vector<QRectF> WaveformModel::bars(QSizeF view) const {
    std::vector<QRectF> out;
    const int n = static_cast<int>(heights.size());
    if (n == 0 || view.width() <= 0 || view.height() <= 0) return out;
    double pitch = barWidth + barGap;
    double w = barWidth;
    if (n * pitch - barGap > view.width()) {
        pitch = view.width() / n;
        w = std::min(barWidth, 0.55 * pitch);
    }
    const double group = (n - 1) * pitch + w;
    const double x0 = (view.width() - group) / 2;
    const double midY = view.height() / 2;
    const double reach = std::max(0.0, view.height() / 2 - w / 2);
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const double half = w / 2 + std::clamp(heights[static_cast<size_t>(i)], 0.0, 1.0) * reach;
        out.emplace_back(x0 + i * pitch, midY - half, w, 2 * half);
    }
    return out;
}

double WaveformModel::previewLevel(double t) {
    const double g = std::sin(0.9 * t) > -0.75 ? 1.0 : 0.03;
    const double wave =
        std::max(0.0, std::sin(7.3 * t) + 0.8 * std::sin(3.1 * t + 1) + 0.6 * std::sin(1.3 * t));
    return std::min(1.0, 1.25 * g * wave / 2.4);
}

double monotonicSeconds() {
    static QElapsedTimer clock = [] {
        QElapsedTimer c;
        c.start();
        return c;
    }();
    return static_cast<double>(clock.nsecsElapsed()) / 1e9;
}
