// The dictation controller: from the talk key going down until the recogniser
// has been asked for its final text, and the teardown every path ends in.
#include <QIcon>
#include <QPixmap>

#include "app/AppDelegate.h"
#include "core/AccountStore.h"
#include "core/AppStyle.h"
#include "core/AssistiveMode.h"
#include "core/Config.h"
#include "core/HotkeyMonitor.h"
#include "core/HotwordLearner.h"
#include "core/Log.h"
#include "core/Polisher.h"
#include "core/QwenASR.h"
#include "core/Recording.h"
#include "core/StreamSession.h"
#include "core/SystemAudio.h"
#include "core/WebContext.h"
#include "platform/Platform.h"
#include "platform/Workspace.h"
#include "ui/HUD.h"
#include "ui/HUDCopy.h"
#include "ui/WebIcon.h"

namespace {
bool isRefusal(std::optional<int> code) {
    return code && (*code == 401 || *code == 402 || *code == 403 || *code == 429);
}
}  // namespace

qint64 AppDelegate::msSince(Clock::time_point from) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - from).count();
}

QString AppDelegate::displayed(const QString& text) const {
    return session ? Clip::display(session->clips, text) : text;
}

void AppDelegate::showError(const QString& message, double hideAfter) {
    hud->show(HUD::Mode::error, {}, {}, {}, message);
    hud->hide(hideAfter);
}

void AppDelegate::showListening() {
    if (!session) return;
    hud->show(HUD::Mode::listening, session->written, displayed(session->rawText()),
              displayed(Clip::insert(session->waiting, partial)));
}

void AppDelegate::beginListening() {
    if (state != State::idle) return;

    AccountStore& account = AccountStore::shared();
    if (const std::optional<QString> reason = account.cantDictate()) {
        Log::write(QStringLiteral("Not listening: ") + *reason);
        showError(*reason, 4);
        if (account.hasSession())
            account.refreshAccess();
        else
            showMainWindow();
        return;
    }

    HotwordLearner::stop(QStringLiteral("next dictation"));
    const std::shared_ptr<QwenASR> client = makeRecogniser();

    state = State::listening;
    pressedAt = Clock::now();
    partial.clear();
    if (hotkey) hotkey->setListening(true);  // Esc is ours until listening ends

    const Config& config = Config::shared();
    const bool polish = config.polishEnabled();
    if (polish) Polisher::warm(false);

    // The target: the application in front now, or the website in its front tab.
    const std::optional<platform::RunningApp> app =
        platform::Platform::current().workspace->frontmostApplication();
    AppStyle style = AppStyle::forApp(app);
    std::optional<QString> appName;
    if (app && !app->name.isEmpty()) appName = app->name;
    QIcon icon;
    if (const std::optional<WebContext::Match> match = WebContext::detect(app)) {
        appName = match->site.label;
        style = match->site.style;
        icon = QIcon(QPixmap::fromImage(WebIcon::forMatch(*match)));
    }
    hud->setContext(app, style.id, icon);
    AssistiveMode::enable(app);

    // Every callback below holds the delegate and its reporter weakly and acts only
    // while the reporter is still this dictation's.
    std::weak_ptr<bool> alive = alive_;
    const std::shared_ptr<StreamSession> s = StreamSession::create(
        app, style, appName, polish, Config::boolValue(QStringLiteral("usePaste"), false));
    std::weak_ptr<StreamSession> weakSession = s;
    s->onProgress = [this, alive, weakSession](const QString& written, const QString& pending) {
        if (!alive.lock() || !session || session != weakSession.lock() || state == State::idle)
            return;
        hud->show(state == State::listening ? HUD::Mode::listening : HUD::Mode::thinking, written,
                  displayed(pending), displayed(Clip::insert(session->waiting, partial)));
    };
    s->onDone = [this, alive, weakSession](const QString& written) {
        if (!alive.lock() || !session || session != weakSession.lock()) return;
        finishSession(written);
    };
    s->onAbort = [this, alive, weakSession](const QString& reason, const QString& rest) {
        if (!alive.lock() || !session || session != weakSession.lock()) return;
        sessionAborted(reason, rest);
    };
    session = s;

    std::weak_ptr<QwenASR> weakAsr = client;
    auto current = [this, weakAsr] { return asr && asr == weakAsr.lock(); };
    client->onPartial = [this, alive, current](const QString& text) {
        if (!alive.lock() || !current() || state != State::listening || !session) return;
        partial = text;
        hud->show(HUD::Mode::listening, session->written, displayed(session->rawText()),
                  displayed(Clip::insert(session->waiting, text)));
    };
    client->onSentence = [this, alive, current](const QString& text) {
        if (!alive.lock() || !current() || state == State::idle || !session) return;
        Log::write(QStringLiteral("Sentence [") + text + QStringLiteral("]"));
        partial.clear();
        session->addSentence(text);
    };
    client->onError = [this, alive, current](const QString&, std::optional<int> refused) {
        if (!alive.lock() || !current()) return;
        asrFailed = true;
        if (isRefusal(refused)) {
            asrRefused = refused;
            // While finishing the final text explains it, when it turns out empty.
            if (state == State::listening) {
                cancel(QStringLiteral("server said ") + QString::number(*refused));
                explainRefusal(*refused);
            }
            return;
        }
        // Audio keeps flowing until release; the final text decides the outcome.
        showError(HUDCopy::lostConnection(), 3);
    };
    asr = client;
    asrFailed = false;
    asrRefused.reset();
    asrTailMs.reset();

    // The connection is made in the background while audio is already captured and kept.
    account.withFreshToken([this, alive, weakAsr] {
        const std::shared_ptr<QwenASR> c = weakAsr.lock();
        if (alive.lock() && c && asr == c) c->connect();
    });

    clipboard.start([this, alive, weakSession](const QString& text) {
        if (!alive.lock() || !session || session != weakSession.lock() || state != State::listening)
            return;
        session->addClip(text, partial);
    });

    recording = Recording::start(
        appName, app && !app->bundleId.isEmpty() ? std::optional(app->bundleId) : std::nullopt,
        style.id);
    recordedRaw.clear();
    heldMs = 0;

    if (config.muteWhileListening()) SystemAudio::muteIfPlaying();

    // Chunks come on the audio thread: they touch only this dictation's recogniser
    // (which has its own lock) and its own recordings entry, never the delegate.
    const std::shared_ptr<Recording> entry = recording;
    audio.start(
        [this, alive, current](float rms) {
            if (alive.lock() && current() && state == State::listening) hud->setLevel(rms);
        },
        [weakAsr, entry](const QByteArray& pcm) {
            if (const std::shared_ptr<QwenASR> c = weakAsr.lock()) c->send(pcm);
            if (entry) entry->append(pcm);
        },
        [this, alive, current](const QString& message) {
            if (!alive.lock() || !current()) return;
            if (state == State::listening) cancel(QStringLiteral("mic"));
            showError(message, 4);
        });

    Log::write(QStringLiteral("Listening → ") +
               (app && !app->name.isEmpty() ? app->name : QStringLiteral("?")) +
               QStringLiteral(" [") + (app ? app->bundleId : QString()) +
               QStringLiteral("] style=") + style.label);
}

void AppDelegate::confirmHold() {
    if (state != State::listening) return;
    setIcon(true);
    showListening();
}

void AppDelegate::toggleTap() {
    switch (state) {
        case State::idle:
            beginListening();
            if (state == State::listening) confirmHold();
            break;
        case State::listening:
            endListening();
            break;
        case State::finishing:
            Log::write(QStringLiteral("Tap ignored: still finishing, ") +
                       QString::number(msSince(releasedAt)) + QStringLiteral("ms after release"));
            break;
    }
}

void AppDelegate::endListening() {
    if (state != State::listening || !asr || !session) return;
    state = State::finishing;
    releasedAt = Clock::now();
    if (hotkey) hotkey->setListening(false);

    clipboard.stop();
    audio.stop();
    SystemAudio::restore();

    hud->show(HUD::Mode::thinking, session->written, displayed(session->rawText()),
              displayed(partial));

    const qint64 held = msSince(pressedAt);
    std::weak_ptr<bool> alive = alive_;
    std::weak_ptr<QwenASR> weakAsr = asr;
    asr->finish(6, [this, alive, weakAsr, held](const QString& transcript) {
        if (!alive.lock()) return;
        finalTextArrived(weakAsr.lock(), transcript, held);
    });
}

void AppDelegate::cancel(const QString& reason) {
    if (state != State::listening) return;
    Log::write(QStringLiteral("Cancel (") + reason + QStringLiteral(") written=[") +
               (session ? session->written : QString()) + QStringLiteral("]"));
    teardown();
    hud->hide(0);
    showPendingLearned();
}

void AppDelegate::teardown() {
    if (recording) {
        recording->discard();
        recording.reset();
    }
    state = State::idle;
    clipboard.stop();
    audio.stop();
    SystemAudio::restore();
    if (asr) {
        asr->cancel();
        asr.reset();
    }
    if (session) {
        session->aborted = true;
        session.reset();
    }
    if (hotkey) hotkey->setListening(false);
    setIcon(false);
}
