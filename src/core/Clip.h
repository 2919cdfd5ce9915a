#pragma once
#include <QList>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <utility>

// One text the user copied while dictating. In the recognised text it stands as
// its token until the final text is filled; the pill shows its label instead.
// Offsets and lengths are in user-perceived characters. Immutable value.
class Clip {
  public:
    Clip(const QString& text, int number);

    QString text;  // trimmed of white space and line ends at both ends
    int number = 0;

    bool isLink() const;
    bool fitsInline() const;
    QString kind() const;  // "链接", "短语" or "段落"
    // "⟦" + kind + number + "⟧".
    QString token() const;
    QString label() const;
    // How the clip is written into the final text.
    QString content(bool inlined, bool chinese) const;

    // A token waiting for the sentence being heard, at a character offset into it.
    using Waiting = QList<std::pair<QString, int>>;

    // The position right after the end of the sentence in which `offset` lies.
    static int sentenceEnd(const QString& text, int offset);
    // The sentence with the waiting tokens put at the ends of their sentences.
    static QString insert(const Waiting& waiting, const QString& sentence);
    // Whether the end of `text` names the thing that follows ("this link", "这个链接").
    static bool namesIt(const QString& text);
    // The cleaned text with every clip token replaced by its clip.
    static QString fill(const QString& cleaned, const QString& raw, const QList<Clip>& clips,
                        bool blankLines);
    // The pill's form of a text: each clip's token shown as its label, between spaces.
    static QString display(const QList<Clip>& clips, QString text);

    static int length(const QString& text);  // in user-perceived characters
    static bool isChinese(char32_t c);
};

// Notices copies to the clipboard while a dictation listens: polls the clipboard's
// change count every 0.2 s and reads it only when it changed. Copies made before
// `start`, our own writes and copies marked secret by password managers are never
// reported. Thread: main.
class ClipboardWatch {
  public:
    ClipboardWatch();
    ~ClipboardWatch();
    ClipboardWatch(const ClipboardWatch&) = delete;
    ClipboardWatch& operator=(const ClipboardWatch&) = delete;

    void start(std::function<void(const QString& text)> onCopy);
    void stop();
    bool running() const;
    // One poll, as the timer makes it (tests drive it directly).
    void tick();

    static constexpr int kIntervalMs = 200;

  private:
    std::unique_ptr<QTimer> timer_;
    quint64 count_ = 0;
    std::function<void(const QString&)> onCopy_;
};
