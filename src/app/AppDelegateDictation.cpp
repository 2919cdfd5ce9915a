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
    return dictation && dictation->session ? Clip::display(dictation->session->clips, text) : text;
}

void AppDelegate::showError(const QString& message) {
    hud->show(HUD::Mode::error, {}, {}, {}, message);
    hud->hide(HUDCopy::hideDelay(message));
}

void AppDelegate::showInfo(const QString& message) {
    hud->show(HUD::Mode::info, {}, {}, {}, message);
    hud->hide(HUDCopy::hideDelay(message));
}

void AppDelegate::showListening() {
    if (!dictation || !dictation->session) return;
    const StreamSession& s = *dictation->session;
    hud->show(HUD::Mode::listening, s.written, displayed(s.rawText()),
              displayed(Clip::insert(s.waiting, dictation->partial)));
}

void AppDelegate::beginListening() {
    if (state != State::idle) return;

    AccountStore& account = AccountStore::shared();
    if (const std::optional<QString> reason = account.cantDictate()) {
        Log::write(QStringLiteral("Not listening: ") + *reason);
        showError(*reason);
        if (account.hasSession())
            account.refreshAccess();
        else
            showMainWindow();
        return;
    }

    HotwordLearner::stop(QStringLiteral("next dictation"));
    const auto d = std::make_shared<Dictation>();
    d->asr = makeRecogniser();
    dictation = d;
    dictatedSinceLaunch_ = true;

    state = State::listening;
    d->pressedAt = Clock::now();
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

    d->session = StreamSession::create(app, style, appName, polish,
                                       Config::boolValue(QStringLiteral("usePaste"), false));
    StreamSession& s = *d->session;
    s.onProgress = forCurrent(d, [this](Dictation& cur, const QString& written,
                                        const QString& pending) {
        hud->show(state == State::listening ? HUD::Mode::listening : HUD::Mode::thinking, written,
                  displayed(pending), displayed(Clip::insert(cur.session->waiting, cur.partial)));
    });
    s.onDone =
        forCurrent(d, [this](Dictation&, const QString& written) { finishSession(written); });
    s.onAbort = forCurrent(d, [this](Dictation&, const QString& reason, const QString& rest) {
        sessionAborted(reason, rest);
    });

    QwenASR& client = *d->asr;
    client.onPartial = forCurrent(d, [this](Dictation& cur, const QString& text) {
        if (!cur.asr || state != State::listening) return;
        cur.partial = text;
        hud->show(HUD::Mode::listening, cur.session->written, displayed(cur.session->rawText()),
                  displayed(Clip::insert(cur.session->waiting, text)));
    });
    client.onSentence = forCurrent(d, [](Dictation& cur, const QString& text) {
        if (!cur.asr) return;
        Log::write(QStringLiteral("Sentence [") + text + QStringLiteral("]"));
        cur.partial.clear();
        cur.session->addSentence(text);
    });
    client.onError =
        forCurrent(d, [this](Dictation& cur, const QString&, std::optional<int> refused) {
            if (!cur.asr) return;
            cur.asrFailed = true;
            if (isRefusal(refused)) {
                cur.asrRefused = refused;
                // While finishing the final text explains it, when it turns out empty.
                if (state == State::listening) {
                    cancel(QStringLiteral("server said ") + QString::number(*refused));
                    explainRefusal(*refused);
                }
                return;
            }
            cur.asrUnreachable = !cur.asr->everStarted();
            if (state == State::listening && cur.asrUnreachable) {
                // The service was never reached: listening on would only lose the words.
                cancel(QStringLiteral("recogniser unreachable"));
                showError(HUDCopy::cantReachServer());
                return;
            }
            // Audio keeps flowing until release; the final text decides the outcome.
            showError(HUDCopy::lostConnection());
        });

    // The connection is made in the background while audio is already captured and kept.
    account.withFreshToken(forCurrent(d, [](Dictation& cur) {
        if (cur.asr) cur.asr->connect();
    }));

    clipboard.start(forCurrent(d, [this](Dictation& cur, const QString& text) {
        if (state == State::listening) cur.session->addClip(text, cur.partial);
    }));

    d->recording = Recording::start(
        appName, app && !app->bundleId.isEmpty() ? std::optional(app->bundleId) : std::nullopt,
        style.id);

    if (config.muteWhileListening()) SystemAudio::muteIfPlaying();

    // Chunks come on the audio thread: they touch only this dictation's recogniser
    // (which has its own lock) and its own recordings entry, never the delegate.
    std::weak_ptr<QwenASR> weakAsr = d->asr;
    const std::shared_ptr<Recording> entry = d->recording;
    audio.start(
        forCurrent(d,
                   [this](Dictation& cur, float rms) {
                       if (cur.asr && state == State::listening) hud->setLevel(rms);
                   }),
        [weakAsr, entry](const QByteArray& pcm) {
            if (const std::shared_ptr<QwenASR> c = weakAsr.lock()) c->send(pcm);
            if (entry) entry->append(pcm);
        },
        forCurrent(d, [this](Dictation&, const QString& message) {
            if (state == State::listening) cancel(QStringLiteral("mic"));
            showError(message);
        }));

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
                       QString::number(dictation ? msSince(dictation->releasedAt) : 0) +
                       QStringLiteral("ms after release"));
            break;
    }
}

void AppDelegate::endListening() {
    if (state != State::listening || !dictation || !dictation->asr) return;
    const std::shared_ptr<Dictation> d = dictation;
    state = State::finishing;
    d->releasedAt = Clock::now();
    if (hotkey) hotkey->setListening(false);

    clipboard.stop();
    audio.stop();
    SystemAudio::restore();

    hud->show(HUD::Mode::thinking, d->session->written, displayed(d->session->rawText()),
              displayed(d->partial));

    const qint64 held = msSince(d->pressedAt);
    d->asr->finish(6, forCurrent(d, [this, held](Dictation& cur, const QString& transcript) {
                       if (cur.asr) finalTextArrived(cur, transcript, held);
                   }));
}

void AppDelegate::cancel(const QString& reason) {
    if (state != State::listening) return;
    Log::write(QStringLiteral("Cancel (") + reason + QStringLiteral(") written=[") +
               (dictation && dictation->session ? dictation->session->written : QString()) +
               QStringLiteral("]"));
    teardown();
    hud->hide(0);
    showPendingLearned();
}

void AppDelegate::teardown() {
    state = State::idle;
    clipboard.stop();
    audio.stop();
    SystemAudio::restore();
    if (const std::shared_ptr<Dictation> d = std::exchange(dictation, nullptr)) {
        if (d->recording) d->recording->discard();
        if (d->asr) d->asr->cancel();
        if (d->session) d->session->aborted = true;
    }
    if (hotkey) hotkey->setListening(false);
    setIcon(false);
}
