#pragma once
#include <QList>
#include <QPoint>
#include <QRect>
#include <QRectF>
#include <QSizeF>
#include <optional>

struct HUDTuning;

// The pill's geometry, in logical pixels, without any widget. QtCore only.
namespace HUDLayout {

constexpr double kMaxWidth = 420;          // widest pill (unless the resting width is wider)
constexpr double kMaxLearnedHeight = 150;  // tallest learned notice
constexpr double kIconGap = 10;            // icon to text
constexpr double kTextTrailing = 16;       // text to the pill's end
constexpr double kAnimationSeconds = 0.3;
constexpr double kAnimationHz = 60;

// The app icon's box inside a pill of the given height: vertically centred with the
// same inset on its left.
QRectF iconRect(double pillHeight, double iconSize);
double iconRight(double pillHeight, double iconSize);

// `setWidth(fitting)`: for f > 0, ⌈f + icon right + 10 + 16⌉ capped at 420 (or at
// the resting width when wider), and never below the resting width; for f <= 0
// (the waveform) the resting width.
double fittedWidth(double fitting, double iconRightEdge, double pillWidth);
// Fitting width of a line of text: ⌈text width⌉ + 4.
double textFitting(double textWidth);

// Room on the learned notice's right for the undo button while undo is possible;
// the plain padding once undone.
double learnedTail(double height, bool undoPossible, double padX);
double learnedNoticeMaxWidth(double tail, double padX);
QSizeF learnedSize(QSizeF notice, double tail, const HUDTuning& t);
// The undo button's box at the right end of a pill of the given size.
QRectF undoButtonRect(QSizeF pill, double tuningHeight);

// A resize to `wanted` is ignored when both sides differ from the target by half a pixel or less.
bool resizeIgnored(QSizeF target, QSizeF wanted);
double easeOutCubic(double t);

// The pill's corner radius for a size; learned notices may have their own.
double cornerRadius(QSizeF pill, const HUDTuning& t, bool learned);

// Room around the pill inside its window, for the shadow.
double shadowMargin(const HUDTuning& t);
// The window that holds the pill: wide and tall enough for its largest size.
QSizeF panelSize(const HUDTuning& t);
// The pill inside the window: centred across, its bottom one margin above the window's.
QRectF pillRectInPanel(QSizeF panel, QSizeF pill, double margin);

// Where the window goes: centred across the screen's usable area, the pill's bottom
// `bottomOffset` above the area's bottom.
QPoint panelOrigin(const QRect& visibleArea, QSizeF panel, double bottomOffset, double margin);

// The screen the pill belongs to: the one holding the pointer, else the primary
// (index 0). Screens are given as their device-pixel rectangles; -1 when there are none.
int pickScreen(const QList<QRect>& screens, std::optional<QPoint> pointer);

}  // namespace HUDLayout
