#pragma once
#include <QString>
#include <optional>
#include <vector>

// Turns microphone RMS levels into bar heights (0..1) against a floor and a range
// that widens to louder peaks, and keeps every level heard for the log. QtCore only.
// Thread: main.
class LevelMeter {
  public:
    double peakDB = 0;            // running peak, dBFS
    double peakAt = 0;            // seconds, when peakDB was last updated
    std::vector<double> heardDB;  // every level of this listening

    // A new listening: the peak starts at floor + range and nothing is heard yet.
    void reset(double floor, double range);
    // One report. Gives the display level (0..1); none for a value that is not a
    // finite number (the peak would otherwise be poisoned for the whole listening).
    std::optional<double> feed(double rms, double now, double floor, double range);
    // "Mic level dBFS: p10=… p50=… p90=… max=… (floor …, n=…)" when at least 10
    // levels were heard; the heard list is emptied either way.
    std::optional<QString> takeLogLine(double floor);

    static double toDB(double rms);
};
