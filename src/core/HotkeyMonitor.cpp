#include "core/HotkeyMonitor.h"

#include "core/Log.h"
#include "platform/Platform.h"

namespace {
platform::Key keyOf(HotkeyChoice c) {
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
}  // namespace

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
    if (keys_ && tapOwnsEscape_) keys_->releaseEscape();
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
    if (listening && !tapOwnsEscape_) {
        std::weak_ptr<bool> alive = alive_;
        tapOwnsEscape_ = keys_->grabEscape([this, alive](bool pressed) {
            if (alive.lock()) handleGrabbedEscape(pressed);
        });
        if (!tapOwnsEscape_)
            Log::write(QStringLiteral(
                "Esc event tap unavailable (Accessibility?), esc falls back to passive"));
    } else if (!listening && tapOwnsEscape_) {
        keys_->releaseEscape();
        tapOwnsEscape_ = false;
    }
}

void HotkeyMonitor::handle(const platform::KeyEvent& e) {
    if (e.key == keyOf(choice)) return talkKey(e.pressed);
    if (!e.pressed || e.key == platform::Key::otherModifier) return;
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
        if (tapOwnsEscape_ || swallowedEscapeDown_) return;
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
