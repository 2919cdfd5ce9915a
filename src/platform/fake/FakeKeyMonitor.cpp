#include "platform/fake/FakeKeyMonitor.h"

namespace platform::fake {

bool FakeKeyMonitor::start(std::function<void(const KeyEvent&)> onEvent) {
    onEvent_ = std::move(onEvent);
    started = true;
    return true;
}

void FakeKeyMonitor::grabEscape(std::function<void(bool)> onEscape,
                                std::function<void(bool)> onGrabbed) {
    onEscape_ = std::move(onEscape);
    onGrabbed_ = std::move(onGrabbed);
    ++grabCount;
    if (!answerLater) answerGrab();
}

void FakeKeyMonitor::answerGrab() {
    // Runs in call order with releases: a release asked for before the answer already ran.
    if (!onGrabbed_) return;
    auto answer = std::move(onGrabbed_);
    onGrabbed_ = nullptr;
    if (!releasedBeforeAnswer_) escapeGrabbed = !grabFails;
    releasedBeforeAnswer_ = false;
    answer(!grabFails);
}

void FakeKeyMonitor::releaseEscape() {
    if (onGrabbed_) releasedBeforeAnswer_ = true;
    escapeGrabbed = false;
}

void FakeKeyMonitor::press(Key key, bool repeat) {
    deliver(key, true, repeat);
}

void FakeKeyMonitor::release(Key key) {
    deliver(key, false, false);
}

void FakeKeyMonitor::deliver(Key key, bool pressed, bool repeat) {
    // Like a passive X grab: a grabbed press keeps its release with the grabber.
    const bool toGrab = key == Key::escape && (escapeGrabbed || (!pressed && escapeDownGrabbed_));
    if (key == Key::escape) {
        if (toGrab) {
            escapeDownGrabbed_ = pressed;
            if (onEscape_) onEscape_(pressed);
        } else {
            frontAppEscapes.append(pressed);
        }
    }
    // Raw observation sees every key, grabbed or not.
    if (onEvent_) onEvent_(KeyEvent{key, pressed, repeat});
}

}  // namespace platform::fake
