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

class DictionaryModel;
class HUD;
class HotkeyMonitor;
class MainModel;
class MainWindow;
class MenuPanel;
class PanelModel;
class QTimer;
class TuningView;
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

    // Everything one dictation owns, created at key-down and dropped whole in teardown.
    struct Dictation {
        std::shared_ptr<QwenASR> asr;  // none once its final text has arrived
        std::shared_ptr<StreamSession> session;
        std::shared_ptr<Recording> recording;
        QString partial;  // the sentence still being heard
        bool asrFailed = false;
        bool asrUnreachable = false;  // failed without the service ever starting a task
        std::optional<int> asrRefused;
        Clock::time_point pressedAt = Clock::now();
        Clock::time_point releasedAt = Clock::now();
        std::optional<qint64> asrTailMs;
        QString recordedRaw;
        qint64 heldMs = 0;
    };

    AppDelegate();
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    void openLog();
    void setIcon(bool listening);
    void showPendingLearned();
    void showMainWindow();
    // The main window's model reads the stores again, when the window is open.
    void refreshMainWindow();
    // A click on the status item: the panel opens, or closes when it is open. With Alt held
    // it opens in its developer form.
    void togglePanel();
    void openTuning();

    // The dictation controller.
    void beginListening();
    void endListening();
    void cancel(const QString& reason);
    void teardown();
    // The talk-key monitor's confirmation of a hold, and a toggle tap.
    void confirmHold();
    void toggleTap();

    // The outcome, once the recogniser has handed over its final text.
    void finalTextArrived(Dictation& d, const QString& transcript, qint64 held);
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
    std::unique_ptr<DictionaryModel> dictionary;  // shared by the panel and the main window
    std::unique_ptr<PanelModel> panelModel;
    std::unique_ptr<MenuPanel> menuPanel;
    std::unique_ptr<TuningView> tuningWindow;  // made when first opened
    std::unique_ptr<MainModel> mainModel;      // made with the window, kept when it closes
    std::unique_ptr<MainWindow> mainWindow;    // made on first use
    QTimer* demoTimer = nullptr;               // the tuning window's demo, while it runs
    AudioCapture audio;                        // the microphone, for the whole run
    ClipboardWatch clipboard;
    QStringList pendingLearned;
    bool backendUnreachable = false;  // the launch's check found no server
    static constexpr int kBackendCheckMs = 5000;

    std::shared_ptr<Dictation> dictation;  // none while idle
  private:
    void setupStatusItem();
    void setupPanel();
    void setupUpdater();
    void startTalkKey();
    void showListening();
    // One pill message, hidden after the delay its text has.
    void showError(const QString& message);
    void showInfo(const QString& message);
    // Wraps a callback so that it runs only while `d` is still the current dictation:
    // reports for a dropped or newer dictation go nowhere.
    template <class F>
    auto forCurrent(const std::shared_ptr<Dictation>& d, F fn) {
        return [this, alive = std::weak_ptr<bool>(alive_), weak = std::weak_ptr<Dictation>(d),
                fn = std::move(fn)](auto&&... args) {
            if (!alive.lock()) return;
            const std::shared_ptr<Dictation> current = weak.lock();
            if (!current || current != dictation) return;
            fn(*current, std::forward<decltype(args)>(args)...);
        };
    }
    void warnIfBackendUnreachable();
    QString displayed(const QString& text) const;
    void setClipboardText(const QString& text);
    // Keeps the recordings entry, when there is one, with the outcome's fields; the
    // recogniser tail and the hold are filled in, a null QVariant is none.
    void keepRecording(const QString& outcome, const QString& final, const QVariant& reason,
                       const QVariant& by = {}, const QVariant& e2eMs = {},
                       const QVariant& polishMs = {}, const QVariant& typing = {});
    static qint64 msSince(Clock::time_point from);

    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    Clock::time_point accessibilityWarningUntil_{};  // the launch's warning is up till then
    bool terminated_ = false;
    bool dictatedSinceLaunch_ = false;
};
