#include "core/HotkeyMonitor.h"

#include "core/Log.h"
#include "platform/Platform.h"

namespace {
bool isModifier(platform::Key k) {
    switch (k) {
        case platform::Key::rightOption:
        case platform::Key::rightCommand:
        case platform::Key::rightControl:
        case platform::Key::fn:
        case platform::Key::otherModifier:
            return true;
        default:
            return false;
    }
}

}  // namespace

platform::Key HotkeyMonitor::keyFor(HotkeyChoice c) {
    switch (c) {
        case HotkeyChoice::rightOption:
            return platform::Key::rightOption;
        case HotkeyChoice::rightCommand:
            return platform::Key::rightCommand;
        case HotkeyChoice::rightControl:
            return platform::Key::rightControl;
        case HotkeyChoice::fn:
            return platform::Key::fn;
    }
    return platform::Key::fn;
}

HotkeyMonitor::HotkeyMonitor(HotkeyChoice c, platform::KeyMonitor* keys) : choice(c), keys_(keys) {
    pending_.setSingleShot(true);
    QObject::connect(&pending_, &QTimer::timeout, [this] {
        if (!down_) return;
        confirmed_ = true;
        if (onConfirm) onConfirm();
    });
}

HotkeyMonitor::~HotkeyMonitor() {
    *alive_ = false;
    if (keys_ && grab_ != Grab::none && grab_ != Grab::failed) keys_->releaseEscape();
}

void HotkeyMonitor::start() {
    if (!keys_) return;
    std::weak_ptr<bool> alive = alive_;
    const bool ok = keys_->start([this, alive](const platform::KeyEvent& e) {
        if (alive.lock()) handle(e);
    });
    if (!ok) Log::write(QStringLiteral("Talk key: can't observe the keyboard"));
}

void HotkeyMonitor::setListening(bool listening) {
    if (!keys_) return;
    if (listening && grab_ == Grab::none) {
        // Asked, not awaited: the answer comes later, and a release asked for meanwhile
        // runs after the grab, so the grab can never outlive listening.
        grab_ = Grab::pending;
        const quint64 id = ++grabId_;
        std::weak_ptr<bool> alive = alive_;
        keys_->grabEscape(
            [this, alive](bool pressed) {
                if (alive.lock()) handleGrabbedEscape(pressed);
            },
            [this, alive, id](bool ok) {
                if (!alive.lock() || id != grabId_ || grab_ != Grab::pending) return;
                grab_ = ok ? Grab::held : Grab::failed;
                if (!ok)
                    Log::write(QStringLiteral(
                        "Esc event tap unavailable (Accessibility?), esc falls back to passive"));
            });
    } else if (!listening && grab_ != Grab::none) {
        if (grab_ != Grab::failed) keys_->releaseEscape();
        grab_ = Grab::none;
        ++grabId_;
    }
}

void HotkeyMonitor::handle(const platform::KeyEvent& e) {
    if (e.key == keyFor(choice)) return talkKey(e.pressed);
    if (e.key == platform::Key::escape && !e.pressed) {
        if (grab_ == Grab::none || grab_ == Grab::failed) swallowedEscapeDown_ = false;
        return;
    }
    // Shift, AltGr, the other right-hand keys: modifiers are never a chord.
    if (!e.pressed || isModifier(e.key)) return;
    otherKeyDown(e.key);
}

void HotkeyMonitor::talkKey(bool isDown) {
    if (isDown) {
        if (down_) return;  // auto-repeat
        down_ = true;
        confirmed_ = false;
        poisoned_ = false;
        if (toggleMode) return;
        if (onDown) onDown();
        // onDown may have dropped us; only arm the timer while the press is still ours.
        if (down_) pending_.start(static_cast<int>(holdDelay * 1000));
        return;
    }
    if (!down_) return;
    down_ = false;
    pending_.stop();
    if (toggleMode) {
        if (!poisoned_ && onToggle) onToggle();
        return;
    }
    if (confirmed_) {
        confirmed_ = false;
        if (onUp) onUp();
    } else if (onCancel) {
        onCancel();
    }
}

void HotkeyMonitor::otherKeyDown(platform::Key key) {
    if (key == platform::Key::escape) {
        // The grab reports it; its raw copy may arrive before or after the grabbed one.
        if (tapOwnsEscape() || swallowedEscapeDown_) return;
        if (onEscape) onEscape();
        return;
    }
    if (!down_) return;
    if (toggleMode) {
        poisoned_ = true;
        return;
    }
    if (confirmed_) return;  // typing while holding does not stop the dictation
    pending_.stop();
    down_ = false;
    if (onCancel) onCancel();
}

void HotkeyMonitor::handleGrabbedEscape(bool pressed) {
    if (!pressed) {
        swallowedEscapeDown_ = false;
        return;
    }
    // Only ever taken while listening; a press that arrives just after listening
    // ended is still consumed by the grab, so at least report nothing.
    if (isListening && isListening()) {
        swallowedEscapeDown_ = true;
        if (onEscape) onEscape();
    }
}
