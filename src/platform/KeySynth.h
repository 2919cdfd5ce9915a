#pragma once
#include <QString>

namespace platform {

// Synthesised key presses into whatever window has keyboard focus. Thread: main.
class KeySynth {
  public:
    virtual ~KeySynth() = default;
    // Types one run of UTF-16 units as Unicode characters, whatever the active
    // layout. Callers never split a surrogate pair between runs. False when
    // nothing could be sent.
    virtual bool typeRun(const QString& units) = 0;
    // Ends a typing burst: temporary key mappings go back once the target has
    // had time to read them.
    virtual void endTyping() = 0;
    // The paste chord: Ctrl+V, or Ctrl+Shift+V for terminals.
    virtual bool sendPaste(bool terminal) = 0;
    // The active layout or input method ("xkb:de", "fcitx:pinyin"...); empty when unknown.
    virtual QString inputSource() = 0;
};

}  // namespace platform
