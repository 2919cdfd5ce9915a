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

    QStringList rawSentences;
    QList<Clip> clips;
    QList<std::pair<QString, int>> waiting;  // clip tokens for the sentence being heard
    bool aborted = false;
    QString written;
    std::optional<qint64> polishMs;
    QString answeredBy = QStringLiteral("off");
    QString typing;

    void addSentence(const QString& text);
    void addClip(const QString& text, const QString& partial);
    void finishInput();

    // The sentences joined; a space only where two words of a spaced script would meet.
    QString rawText() const;

    // How long the user's clipboard stays replaced after a paste.
    static constexpr quint32 kRestoreDelayMs = 350;

  private:
    StreamSession(std::optional<platform::RunningApp> target, AppStyle style,
                  std::optional<QString> appName, bool polish, bool usePaste);
    void deliver(const QString& text);
    void abort(const QString& message, const QString& text);
};
