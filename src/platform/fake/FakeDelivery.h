#pragma once
#include <QMap>
#include <QStringList>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "platform/Accessibility.h"
#include "platform/AssistiveSwitch.h"
#include "platform/KeySynth.h"
#include "platform/Pasteboard.h"

// Scripted accessibility, keyboard and clipboard for the delivery tests.
namespace platform::fake {

struct FakeElement : AccessibleElement {
    QString role;
    bool editable = false;
    QString value;
    TextRange selection;
    QMap<QString, QString> attributes;
    bool readable = true;       // false: the text cannot be read (the field went away)
    bool caretReadable = true;  // false: the element reports no selection
};

// Thread: main.
class FakeAccessibility : public Accessibility {
  public:
    QMap<qint64, std::shared_ptr<FakeElement>> focused;  // by pid
    QMap<qint64, int> focusError;                        // by pid: the call fails with this code
    QMap<qint64, QString> documentUrls;                  // by pid
    int timeoutMs = 0;
    int calls = 0;

    static std::shared_ptr<FakeElement> element(const QString& role, const QString& value = {});

    void setCallTimeout(int ms) override { timeoutMs = ms; }
    AxResult<ElementRef> focusedElement(qint64 pid) override;
    AxResult<QString> role(const ElementRef& element) override;
    AxResult<ElementKind> kind(const ElementRef& element) override;
    AxResult<QString> value(const ElementRef& element) override;
    AxResult<TextRange> selectedRange(const ElementRef& element) override;
    AxResult<QMap<QString, QString>> attributes(const ElementRef& element) override;
    bool sameElement(const ElementRef& a, const ElementRef& b) override { return a && a == b; }
    AxResult<QString> documentUrl(qint64 pid) override;
};

// The session's announcement as a map of properties. Thread: main.
class FakeAssistiveSwitch : public AssistiveSwitch {
  public:
    QMap<QString, bool> values;   // absent: unreadable
    QMap<QString, int> setFails;  // a set of this property fails with this code
    QStringList calls;            // "get IsEnabled", "set IsEnabled 1"...

    std::optional<bool> get(const QString& property) override;
    int set(const QString& property, bool on) override;
};

// Thread: main.
class FakeKeySynth : public KeySynth {
  public:
    QStringList runs;
    QList<bool> pastes;  // one entry per paste chord: true for the terminal chord
    int endTypingCalls = 0;
    QString source = QStringLiteral("xkb:us");
    bool works = true;
    std::function<void()> onPaste;  // lets a test play the target reading the clipboard

    bool typeRun(const QString& units) override;
    void endTyping() override { ++endTypingCalls; }
    bool sendPaste(bool terminal) override;
    QString inputSource() override { return source; }
};

// An in-memory clipboard. Thread-safe, like the real one.
class FakePasteboard : public Pasteboard {
  public:
    quint64 changeCount() override;
    bool ownedByUs() override;
    QStringList types() override;
    std::optional<QString> text() override;
    PasteboardContents readAll() override;
    bool writeAll(const PasteboardContents& contents) override;
    bool writeText(const QString& text) override;
    void clear() override;
    bool waitUntilRead(quint64 count, int timeoutMs) override;

    // Another application reads the current contents.
    void readByTarget();
    // Another application copies something.
    void copyFromOtherApp(const PasteboardContents& contents);
    PasteboardContents contents();
    void setWritesFail(bool fail);
    // How many callers are inside waitUntilRead now (a restore waiting for the target).
    int readWaiters();

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    PasteboardContents contents_;
    quint64 count_ = 0;
    quint64 readAt_ = 0;  // the change count whose contents another app has read
    bool writesFail_ = false;
    bool ours_ = false;
    int waiters_ = 0;
};

}  // namespace platform::fake
