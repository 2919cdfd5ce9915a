#pragma once
#include <QIcon>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include "platform/Workspace.h"
#include "ui/HUDModel.h"

class GlassPillView;
class AppIconView;
class TextLineView;
class WaveformView;
class ThinkingView;
class LearnedNoticeView;
class QPropertyAnimation;
class QVariantAnimation;
class QWidget;

// The floating pill near the bottom of the screen: listening (waveform or live
// words), thinking, a message, or the learned-word notice with undo. It never takes
// focus and lets the mouse through except while the notice is up. Main thread.
class HUD : public QObject, private HUDHost {
  public:
    using Mode = HUDMode;

    HUD();
    ~HUD() override;

    // Strings may be empty; `message`, when present, is shown instead of the words;
    // `learned` shows the learned-word notice.
    void show(Mode mode, const QString& written = {}, const QString& pending = {},
              const QString& partial = {}, const std::optional<QString>& message = std::nullopt,
              const std::optional<QStringList>& learned = std::nullopt);
    void hide(double afterSeconds);
    // One linear RMS level (0..1) of the microphone, while listening.
    void setLevel(double rms);
    // The dictation's target app, its cleanup style id, and an icon for a website
    // (none: the app's own icon, else a text-cursor symbol).
    void setContext(const std::optional<platform::RunningApp>& app, const QString& style,
                    const QIcon& icon);
    void showLearned(const QStringList& words, bool undoable);
    // Called with the words when the user presses undo on an undoable notice.
    std::function<void(const QStringList&)> onUndoLearned;

    // The pill's preview for the preview mode and the tuning window: sample words,
    // or bars moving by themselves when the pill shows the waveform; `extra` is
    // appended to the sample words.
    void showPreview(const QString& extra = {});

    // The window, for the preview's log line and for tests that look at it.
    QWidget* panel() const;
    // The last `show` call, for the controller's tests.
    const ShownState& lastShown() const { return model_.lastShown; }
    // The delay of the last `hide` since the last `show`; none when not asked to hide.
    std::optional<double> lastHideAfter() const { return lastHideAfter_; }

  private:
    // HUDHost
    bool panelVisible() const override;
    double panelOpacity() const override;
    void fadeIn(double seconds) override;
    void fadeOut(double seconds, std::function<void()> done) override;
    void removeFromScreen() override;
    void setMouseEnabled(bool enabled) override;
    void resetUndoButton() override;
    void clearLevelSource() override;
    void feedLevel(double level, double now) override;
    void redraw() override;
    void placeAndOrderFront() override;
    void startCountdown(double seconds) override;
    void freezeCountdown() override;
    void scheduleHide(double seconds, std::function<void()> work) override;
    void cancelHide() override;
    double now() const override;

    void applyTuning();
    void place(bool force);
    void orderFront();
    void screensChanged();
    void setWidth(double fitting);
    void resize(double width, double height);
    void tweenStep();
    void applyPillGeometry();
    void layoutContent();
    QWidget* viewFor(Showing showing) const;
    void switchView(Showing showing);

    HUDModel model_;
    std::unique_ptr<GlassPillView> panel_;
    AppIconView* appIcon_;
    TextLineView* marquee_;
    WaveformView* wave_;
    ThinkingView* thinking_;
    LearnedNoticeView* learnedView_;

    QTimer hideTimer_;
    std::optional<double> lastHideAfter_;
    bool composited_ = true;  // checked at each appearance
    std::function<void()> hideWork_;
    QPropertyAnimation* fade_;
    std::function<void()> fadeDone_;
    QVariantAnimation* crossfade_;
    QWidget* fadingOutView_ = nullptr;
    QWidget* currentView_ = nullptr;

    QTimer widthTween_;
    double tweenStart_ = 0;
    double fromW_ = 0, fromH_ = 0;
    double pillW_ = 0, targetW_ = 0, pillH_ = 0, targetH_ = 0;

    HUDTuning::Subscription sub_;
    std::optional<platform::RunningApp> app_;
    QString style_;
    QIcon contextIcon_;
    bool usesGlass_ = false;  // no platform glass material on X11
};
