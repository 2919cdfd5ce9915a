#pragma once
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "core/AudioCapture.h"
#include "core/Clip.h"

class HUD;
class HotkeyMonitor;
class QwenASR;
class Recording;
class StatusItem;
class StreamSession;

// The application delegate: the launch sequence, the status item and the
// dictation controller (idle → listening → finishing → idle). Lives for the
// whole run. Thread: main, except the audio chunks, which never touch it.
class AppDelegate : public QObject {
    Q_OBJECT
  public:
    enum class State { idle, listening, finishing };
    using Clock = std::chrono::steady_clock;

    AppDelegate();
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    void openLog();
    void setIcon(bool listening);
    void showPendingLearned();
    void showMainWindow();

    // The dictation controller.
    void beginListening();
    void endListening();
    void cancel(const QString& reason);
    void teardown();
    // The talk-key monitor's confirmation of a hold, and a toggle tap.
    void confirmHold();
    void toggleTap();

    // The outcome, once the recogniser has handed over its final text.
    void finalTextArrived(const std::shared_ptr<QwenASR>& from, const QString& transcript,
                          qint64 held);
    void finishSession(const QString& written);
    void sessionAborted(const QString& reason, const QString& rest);
    void explainRefusal(int code);
    void remember(const QString& text, const std::shared_ptr<StreamSession>& session);
    void reportTiming(qint64 ms, const std::shared_ptr<StreamSession>& session, qsizetype chars);

    // Builds each dictation's recogniser client; tests give their own.
    std::function<std::shared_ptr<QwenASR>()> makeRecogniser;

    State state = State::idle;
    std::unique_ptr<StatusItem> statusItem;
    std::unique_ptr<HUD> hud;
    std::unique_ptr<HotkeyMonitor> hotkey;
    AudioCapture audio;  // the microphone, for the whole run
    ClipboardWatch clipboard;
    QStringList pendingLearned;

    std::shared_ptr<QwenASR> asr;
    std::shared_ptr<StreamSession> session;
    std::shared_ptr<Recording> recording;
    QString partial;
    bool asrFailed = false;
    std::optional<int> asrRefused;
    Clock::time_point pressedAt = Clock::now();
    Clock::time_point releasedAt = Clock::now();
    std::optional<qint64> asrTailMs;
    QString recordedRaw;
    qint64 heldMs = 0;

  private:
    void setupStatusItem();
    void startTalkKey();
    void showListening();
    void showError(const QString& message, double hideAfter);
    QString displayed(const QString& text) const;
    // Keeps the recordings entry, when there is one, with the outcome's fields; the
    // recogniser tail and the hold are filled in, a null QVariant is none.
    void keepRecording(const QString& outcome, const QString& final, const QVariant& reason,
                       const QVariant& by = {}, const QVariant& e2eMs = {},
                       const QVariant& polishMs = {}, const QVariant& typing = {});
    static qint64 msSince(Clock::time_point from);

    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    Clock::time_point accessibilityWarningUntil_{};  // the launch's warning is up till then
    bool terminated_ = false;
};
