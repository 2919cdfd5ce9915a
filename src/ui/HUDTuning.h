#pragma once
#include <QString>
#include <QVariant>
#include <functional>
#include <memory>
#include <vector>

// What the pill shows while listening. Stored under "hud.content" as the case name.
enum class PillContent { transcript, waveform };
QString rawValue(PillContent content);

// The pill's look and layout. Every value lives under "hud." + its name in the
// defaults store; absent or unreadable values give the defaults below. Sizes are
// logical pixels. -1 for the material knobs means "the platform's default", and
// for learnedRadius "derive from the pill". QtCore only.
struct HUDTuning {
    PillContent content = PillContent::transcript;
    double width = 240;
    double height = 46;
    bool capsule = true;
    double cornerRadius = 25;
    double bottomOffset = 32;
    double iconSize = 30;
    double fontSize = 15;
    double variant = 11;
    double tintOpacity = 0;
    double blurRadius = 0.5;
    double distortAmount = 0;
    double refractAmount = 73;
    double refractHeight = 20;
    double aberration = 0;
    double lensing = -1;
    double scrim = -1;
    double subdued = -1;
    double interaction = -1;
    double adaptive = -1;
    double shadowOpacity = 0.21;
    double shadowRadius = 9;
    double shadowOffsetY = 9;
    double edgeHighlight = 0.1;
    bool textDark = false;
    double pendingAlpha = 1.0;
    double partialAlpha = 1.0;
    double textShadow = 0;
    double barPillWidth = 116;
    double barCount = 5;
    double barWidth = 4;
    double barGap = 5;
    double barSpeed = 1.0;
    double barFloor = -55;
    double barRange = 18;
    double learnedWordSize = 15;
    double learnedWordWeight = 3;
    double learnedTextWeight = 0;
    double learnedTextAlpha = 0.75;
    double learnedCaptionSize = 12;
    double learnedCaptionAlpha = 0.7;
    double learnedSepAlpha = 0.45;
    double learnedLineGap = 9;
    double learnedCaptionGap = 11;
    double learnedPadX = 22;
    double learnedPadY = 17;
    double learnedRadius = -1;
    bool learnedOwnGlass = false;
    double learnedVariant = 11;
    double learnedTintOpacity = 0;
    double learnedBlurRadius = 0.5;
    double learnedDistortAmount = 0;
    double learnedRefractAmount = 73;
    double learnedRefractHeight = 20;
    double learnedAberration = 0;
    double learnedShadowOpacity = 0.21;
    double learnedShadowRadius = 9;
    double learnedShadowOffsetY = 9;
    double learnedEdgeHighlight = 0.1;
    bool learnedTextDark = false;
    double learnedTextShadow = 0;

    // The pill's resting width: barPillWidth for the waveform, else width.
    double pillWidth() const { return content == PillContent::waveform ? barPillWidth : width; }
    int bars() const;  // barCount as a usable whole number

    // Reads every value ("hud." + name); values that would break the drawing
    // (a zero meter range, a negative height) are replaced with a log line.
    static HUDTuning load();
    // Writes every value back and tells the subscribers.
    void save() const;
    // Writes one value ("hud." + name) and tells the subscribers; false for an unknown name.
    static bool set(const QString& name, const QVariant& value);

    // The names, in table order, for the tuning window and tests.
    static QStringList names();
    QVariant value(const QString& name) const;

    // Subscribers hear of every change, on the main thread, after the write.
    // Dropping the returned handle unsubscribes.
    using Subscription = std::shared_ptr<void>;
    static Subscription subscribe(std::function<void()> onChange);
};
