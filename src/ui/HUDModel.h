#pragma once
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <random>

#include "ui/HUDTuning.h"
#include "ui/LevelMeter.h"

// What the caller wants the pill to show.
enum class HUDMode { listening, thinking, error, info };
// Which view the pill actually shows.
enum class Showing { text, wave, thinking, learned };

QString toString(HUDMode mode);
QString toString(Showing showing);

// The last `show` call.
struct ShownState {
    HUDMode mode = HUDMode::info;
    QString written, pending, partial;
    std::optional<QString> message;
};

// What the pill's decisions need from its window. The widget side implements it;
// tests implement it with a recorder and drive time by hand.
class HUDHost {
  public:
    virtual ~HUDHost() = default;
    virtual bool panelVisible() const = 0;
    virtual double panelOpacity() const = 0;
    virtual void fadeIn(double seconds) = 0;
    // Fades to 0; `done` runs at the end unless a fade-in or a removal came first.
    virtual void fadeOut(double seconds, std::function<void()> done) = 0;
    // Off the screen, opacity back to 1, mouse ignored, thinking animation stopped.
    virtual void removeFromScreen() = 0;
    virtual void setMouseEnabled(bool enabled) = 0;
    virtual void resetUndoButton() = 0;
    virtual void clearLevelSource() = 0;
    virtual void feedLevel(double level, double now) = 0;
    virtual void redraw() = 0;
    virtual void placeAndOrderFront() = 0;
    virtual void startCountdown(double seconds) = 0;
    virtual void freezeCountdown() = 0;
    // One pending hide at a time: scheduling replaces, cancelling drops it.
    virtual void scheduleHide(double seconds, std::function<void()> work) = 0;
    virtual void cancelHide() = 0;
    virtual double now() const = 0;
};

// The pill's decisions: modes, views, hide generations, fades, the learned notice
// and its undo, the level meter. Main thread. Needs no display.
class HUDModel {
  public:
    explicit HUDModel(HUDHost& host);

    void show(HUDMode mode, const QString& written, const QString& pending, const QString& partial,
              const std::optional<QString>& message, const std::optional<QStringList>& learned);
    void hide(double after);
    void setLevel(double rms);
    void showLearned(const QStringList& words, bool undoable);
    void hoverChanged(bool inside);
    void undoLearned();
    // Redraws with the current state (after a tuning change, for instance).
    void redraw();

    // The view for the current state.
    Showing chooseShowing() const;
    // The thinking view's word and whether its dots hop.
    QString thinkingText() const;
    bool thinkingAnimates() const;
    // The one line shown in the text view, with its parts (written, pending, partial),
    // or the message alone.
    QStringList textParts() const;
    bool undoVisible() const { return showing == Showing::learned && !undone; }
    // How long a learned notice of n words stays.
    static double learnedDuration(qsizetype n);

    HUDTuning tuning;
    std::function<bool()> polishEnabled;             // defaults to the configuration
    std::function<void(const QStringList&)> onUndo;  // the owner's onUndoLearned

    std::optional<QStringList> learned;
    bool learnedUndoable = false;
    bool undone = false;
    bool fading = false;
    Showing showing = Showing::text;
    QString thinkingWord;
    int hideGen = 0;
    ShownState lastShown;
    LevelMeter meter;

  private:
    void writeLevelLog();
    void fadeOutFor(int generation);

    HUDHost& host_;
    std::mt19937 rng_;
};
