#pragma once
#include <QTimer>
#include <functional>
#include <memory>

#include "core/Config.h"
#include "platform/KeyMonitor.h"

// Turns presses of the talk key into dictation events, in hold or toggle mode,
// and watches Esc. Fed by the platform's key monitor. Thread: main.
class HotkeyMonitor {
  public:
    explicit HotkeyMonitor(HotkeyChoice choice, platform::KeyMonitor* keys = nullptr);
    ~HotkeyMonitor();
    HotkeyMonitor(const HotkeyMonitor&) = delete;
    HotkeyMonitor& operator=(const HotkeyMonitor&) = delete;

    // The desktop key a talk-key choice stands for.
    static platform::Key keyFor(HotkeyChoice choice);

    std::function<void()> onDown;
    std::function<void()> onConfirm;
    std::function<void()> onCancel;
    std::function<void()> onUp;
    std::function<void()> onEscape;
    std::function<bool()> isListening;
    std::function<void()> onToggle;

    const HotkeyChoice choice;
    bool toggleMode = false;
    double holdDelay = 0.15;

    // Subscribes to the key monitor. No stop: the monitor lives as long as the app.
    void start();
    // The controller tells when listening begins and ends: Esc is taken from the
    // front application only in between.
    void setListening(bool listening);

    // One key event, as the platform reports it (public so tests can drive it).
    void handle(const platform::KeyEvent& event);
    // An Esc press or release taken by the grab.
    void handleGrabbedEscape(bool pressed);

    // Esc goes to the grab (asked for, or taken) rather than to the front application.
    bool tapOwnsEscape() const { return grab_ == Grab::pending || grab_ == Grab::held; }

  private:
    void talkKey(bool isDown);
    void otherKeyDown(platform::Key key);

    platform::KeyMonitor* keys_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    QTimer pending_;
    enum class Grab { none, pending, held, failed };
    Grab grab_ = Grab::none;
    quint64 grabId_ = 0;  // answers to an earlier grab are ignored
    bool swallowedEscapeDown_ = false;
    bool down_ = false;
    bool confirmed_ = false;
    bool poisoned_ = false;
};
