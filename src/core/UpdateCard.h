#pragma once
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include "core/Language.h"

// What the update card shows: one step of checking, downloading or installing an update.
struct UpdateCardState {
    enum class Kind { available, downloading, upToDate, failed, updated, checking, installing };
    enum class Icon { checkmark, exclamationmark, arrowDown };

    Kind kind = Kind::checking;
    QString version;                 // available, updated
    QString current;                 // available, upToDate
    std::optional<double> progress;  // downloading: a fraction 0–1, absent while unknown
    QString message;                 // failed

    static UpdateCardState available(const QString& version, const QString& current);
    static UpdateCardState downloading(std::optional<double> progress = std::nullopt);
    static UpdateCardState upToDate(const QString& current);
    static UpdateCardState failed(const QString& message);
    static UpdateCardState updated(const QString& version);
    static UpdateCardState checking();
    static UpdateCardState installing();

    // The preview samples by name ("checking", "available", …); other names: none.
    static std::optional<UpdateCardState> sample(const QString& name);

    QString title() const;
    QString detail() const;  // empty: none
    QString title(AppLanguage language) const;
    QString detail(AppLanguage language) const;
    // The buttons' labels; empty: no such button.
    QString primaryLabel(AppLanguage language) const;
    QString secondaryLabel(AppLanguage language) const;
    bool closable() const;       // a close button (runs the secondary action)
    bool showsProgress() const;  // a progress bar, indeterminate without a fraction
    Icon icon() const;

    bool operator==(const UpdateCardState&) const = default;
};

// The card's observable state and the actions its buttons run. Thread: main.
class UpdateCardModel : public QObject {
    Q_OBJECT
  public:
    const std::optional<UpdateCardState>& state() const { return state_; }
    void setState(std::optional<UpdateCardState> state);

    std::function<void()> primary;
    std::function<void()> secondary;

  Q_SIGNALS:
    void changed();

  private:
    std::optional<UpdateCardState> state_;
};

// The one update card: shows a state with its actions, and hides itself a while after the
// states that need no answer. Thread: main.
class UpdateCard {
  public:
    static UpdateCard& shared();
    UpdateCard();

    // `primary` runs on "OK"/"Update"; `secondary` on "Later" and the close button (else
    // `primary`). Every state but `available` hides the card before its primary action. Each
    // shown state acts at most once, however often its buttons are pressed.
    void show(const UpdateCardState& state, std::function<void()> primary = {},
              std::function<void()> secondary = {});
    void hide();
    void cancelAutoHide();

    UpdateCardModel model;
    QTimer autoHide;  // single shot; running while a hide is pending
    int autoHideMs = 5000;
};
