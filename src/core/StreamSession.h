#pragma once
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

#include "core/AppStyle.h"
#include "core/Clip.h"
#include "platform/Workspace.h"

// The text side of one dictation: collects the recogniser's final sentences,
// has them cleaned, and types or pastes the result into the application that
// was in front when the dictation began. Ends with exactly one of onDone or
// onAbort, unless the controller tears it down first (`aborted`). Main thread.
class StreamSession : public std::enable_shared_from_this<StreamSession> {
  public:
    static std::shared_ptr<StreamSession> create(std::optional<platform::RunningApp> target,
                                                 AppStyle style, std::optional<QString> appName,
                                                 bool polish, bool usePaste);

    const std::optional<platform::RunningApp> target;
    const AppStyle style;
    const std::optional<QString> appName;
    const bool polish;
    const bool usePaste;

    std::function<void(const QString& written, const QString& pending)> onProgress;
    std::function<void(const QString& written)> onDone;
    std::function<void(const QString& message, const QString& text)> onAbort;

    QStringList rawSentences;  // with clip tokens already in them
    QList<Clip> clips;         // numbered from 1
    Clip::Waiting waiting;     // clip tokens for the sentence being heard
    bool aborted = false;
    bool broughtBack = false;  // the target has been brought back to the front once
    // Delivered blind: pasted without knowing what had focus, so the text may not
    // be in the target; it stays on the clipboard.
    bool unconfirmed = false;
    QString written;
    std::optional<qint64> polishMs;
    QString answeredBy = QStringLiteral("off");
    QString typing;

    void addSentence(const QString& text);
    void addClip(const QString& text, const QString& partial);
    void finishInput();

    // The sentences joined; a space only where two words of a spaced script would meet.
    QString rawText() const;
    // The raw text with each clip token shown as its label, for the pill.
    QString displayText() const;

    // How long the user's clipboard stays replaced after a paste.
    static constexpr quint32 kRestoreDelayMs = 350;
    // How long the target has to come back to the front before the second try.
    static constexpr int kBringBackMs = 300;

    // The messages of an abort; the text is then on the clipboard.
    static QString switchedApps();
    static QString cantTypeHere();

  private:
    StreamSession(std::optional<platform::RunningApp> target, AppStyle style,
                  std::optional<QString> appName, bool polish, bool usePaste);
    void deliver(const QString& text);
    void delivered(const QString& text);
    void abort(const QString& message, const QString& text);
};
