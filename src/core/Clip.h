#pragma once
#include <QList>
#include <QString>
#include <functional>
#include <utility>

// Text the user copied while dictating, placed into the dictation where it was copied.
struct Clip {
    QString text;
    int number = 0;
    bool isLink = false;
    bool fitsInline = false;
    QString label;  // short form for the pill

    // "⟦" + kind + number + "⟧".
    QString token() const;
    // Places the waiting tokens (token, character offset) into a sentence.
    static QString insert(const QList<std::pair<QString, int>>& waiting, const QString& sentence);
    // The pill's form of a text: each clip's token shown as its label.
    static QString display(const QList<Clip>& clips, QString text);
};

// Notices copies to the clipboard while a dictation listens. Stand-in for now. Thread: main.
class ClipboardWatch {
  public:
    void start(std::function<void(const QString& text)> onCopy);
    void stop();
    bool running() const { return running_; }

  private:
    std::function<void(const QString&)> onCopy_;
    bool running_ = false;
};
