#pragma once
#include <QRectF>
#include <QSizeF>
#include <functional>
#include <vector>

// The level bars' motion and geometry, without a widget. Times are seconds on one
// monotonic clock. QtCore only. Thread: main.
struct WaveformModel {
    std::function<double(double)> levelSource;  // previews: level at a time; overrides reports
    int count = 5;
    double barWidth = 4;
    double barGap = 5;
    double speed = 1.0;
    double level = 0;     // what the bars follow, 0..1
    double incoming = 0;  // the loudest report since the last frame
    bool gotLevel = false;
    double levelAt = 0;
    std::vector<double> heights;
    double lastTick = 0;

    // One level report (already mapped to 0..1).
    void feed(double value, double now);
    // One display frame.
    void tick(double now);
    // The bars for a view of the given size: rounded rectangles of radius width / 2.
    std::vector<QRectF> bars(QSizeF view) const;

    // The preview's level: bursts of speech-like motion with short pauses.
    static double previewLevel(double t);
};

// Seconds since the first call, monotonic.
double monotonicSeconds();
