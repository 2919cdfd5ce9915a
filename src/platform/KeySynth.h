#pragma once
#include <QString>
#include <QStringList>
#include <QThread>
#include <functional>

namespace platform {

// Synthesised key presses into whatever window has keyboard focus. Thread: main, except
// where a backend says otherwise for typeRuns.
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
    // Types the runs in order and ends the burst; `done` gets the number of runs that could
    // not be sent. A backend may do the work on a thread of its own and call `done` there,
    // so a long text never holds up the caller; this one does it all on the caller's thread,
    // with a short pause after each run for the target to keep up.
    virtual void typeRuns(const QStringList& runs, std::function<void(int failed)> done) {
        int failed = 0;
        for (const QString& run : runs) {
            if (!typeRun(run)) ++failed;
            QThread::msleep(2);
        }
        endTyping();
        done(failed);
    }
    // The paste chord: Ctrl+V, or Ctrl+Shift+V for terminals.
    virtual bool sendPaste(bool terminal) = 0;
    // The active layout or input method ("xkb:de", "fcitx:pinyin"...); empty when unknown.
    virtual QString inputSource() = 0;
};

}  // namespace platform
