#pragma once
#include <QImage>
#include <QTimer>
#include <array>

#include "ui/PillContentView.h"
#include "ui/WaveformModel.h"

struct HUDTuning;

// The `wave` view: level bars animated at the display's refresh rate while the view
// is on screen; the refresh stops whenever it is hidden.
class WaveformView : public PillContentView {
    Q_OBJECT

  public:
    explicit WaveformView(QWidget* parent);
    void applyTuning(const HUDTuning& t);
    void setDark(bool dark);
    void feed(double level, double now);
    void setLevelSource(std::function<double(double)> source);

    WaveformModel model;
    bool refreshing() const { return refresh_.isActive(); }
    qint64 framesDrawn() const { return frames_; }

  protected:
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent*) override;
    void hideEvent(QHideEvent*) override;

  private:
    void frame();
    const QImage& capSprite(double width, const QColor& colour);
    QTimer refresh_;
    QImage cap_;
    std::array<double, 4> capKey_{};
    bool dark_ = false;
    bool flat_ = false;  // the last frame drew resting bars
    qint64 frames_ = 0;
};

// The `thinking` view: a word, with hopping dots while the text is being cleaned up,
// still ("Listening") while nothing has been heard.
class ThinkingView : public PillContentView {
    Q_OBJECT

  public:
    explicit ThinkingView(QWidget* parent);
    void setWord(const QString& word, bool animates);
    void setStyle(const QFont& font, const QColor& colour, double shadowAlpha);
    double naturalWidth() const;
    QString word() const { return word_; }
    bool animating() const { return timer_.isActive(); }
    void stopAnimation();

  protected:
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent*) override;
    void hideEvent(QHideEvent*) override;

  private:
    void updateTimer();
    QString word_;
    bool animates_ = false;
    QFont font_;
    QColor colour_ = Qt::white;
    double shadowAlpha_ = 0;
    QTimer timer_;
};

// Milliseconds between frames at the refresh rate of the screen showing `w`.
int frameIntervalMs(const QWidget* w);
