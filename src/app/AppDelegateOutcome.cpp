// The end of a dictation: the final text, delivery or failure, what the user is
// told, and what is recorded. Every path ends in teardown.
#include <QJsonObject>

#include "app/AppDelegate.h"
#include "core/AccountStore.h"
#include "core/Config.h"
#include "core/HistoryStore.h"
#include "core/HotwordLearner.h"
#include "core/Log.h"
#include "core/Polisher.h"
#include "core/QwenASR.h"
#include "core/Recording.h"
#include "core/StreamSession.h"
#include "core/WebContext.h"
#include "platform/Pasteboard.h"
#include "platform/Permissions.h"
#include "platform/Platform.h"
#include "ui/HUD.h"
#include "ui/HUDCopy.h"

namespace {

QVariant none() {
    return QVariant();
}

template <class T>
QVariant maybe(const std::optional<T>& v) {
    return v ? QVariant::fromValue(*v) : QVariant();
}

}  // namespace

// Leaves the text on the clipboard so the user can paste it by hand.
void AppDelegate::setClipboardText(const QString& text) {
    auto& board = *platform::Platform::current().pasteboard;
    board.clear();
    if (!board.writeText(text))
        Log::write(QStringLiteral("Clipboard: could not put the text there"));
}

void AppDelegate::keepRecording(const QString& outcome, const QString& final,
                                const QVariant& reason, const QVariant& by, const QVariant& e2eMs,
                                const QVariant& polishMs, const QVariant& typing) {
    if (!dictation || !dictation->recording) return;
    const Dictation& d = *dictation;
    d.recording->keep(outcome, d.recordedRaw, final,
                      {{QStringLiteral("reason"), reason},
                       {QStringLiteral("by"), by},
                       {QStringLiteral("e2e_ms"), e2eMs},
                       {QStringLiteral("asr_tail_ms"), maybe(d.asrTailMs)},
                       {QStringLiteral("polish_ms"), polishMs},
                       {QStringLiteral("typing"), typing},
                       {QStringLiteral("held_ms"), d.heldMs}});
    dictation->recording.reset();
}

void AppDelegate::finalTextArrived(Dictation& d, const QString& transcript, qint64 held) {
    d.asr.reset();
    d.partial.clear();
    d.asrTailMs = msSince(d.releasedAt);
    Log::write(QStringLiteral("Held %1ms, ASR tail %2ms after release → raw [%3]")
                   .arg(held)
                   .arg(*d.asrTailMs)
                   .arg(transcript));
    d.recordedRaw = transcript;
    d.heldMs = held;

    if (transcript.isEmpty()) {
        const std::optional<int> refused = d.asrRefused;
        const bool failed = d.asrFailed;
        const bool unreachable = d.asrUnreachable;
        const QString reason = refused  ? QStringLiteral("refused ") + QString::number(*refused)
                               : failed ? QStringLiteral("connection lost")
                                        : QStringLiteral("nothing heard");
        keepRecording(QStringLiteral("empty"), QString(), reason);
        teardown();
        if (refused)
            explainRefusal(*refused);
        else if (failed)
            showError(unreachable ? HUDCopy::cantReachServer() : HUDCopy::lostConnection());
        else
            showInfo(HUDCopy::didntHear());
        return;
    }

    const std::shared_ptr<StreamSession> s = d.session;
    if (s && platform::Platform::current().permissions->accessibilityAvailable()) {
        hud->show(HUD::Mode::thinking, {}, transcript, {});
        s->finishInput();  // ends in onDone or onAbort, possibly at once
        return;
    }
    setClipboardText(transcript);
    keepRecording(QStringLiteral("abort"), transcript, QStringLiteral("no accessibility"));
    teardown();
    showError(HUDCopy::cantTypeHere());
}

void AppDelegate::finishSession(const QString& written) {
    if (!dictation) return;
    const qint64 endToEnd = msSince(dictation->releasedAt);
    Log::write(QStringLiteral("Done %1ms after release [%2]").arg(endToEnd).arg(written));
    const std::shared_ptr<StreamSession> s = dictation->session;
    if (s && !written.isEmpty()) reportTiming(endToEnd, s, Polisher::characterCount(written));
    HotwordLearner::track(written, s ? s->target : std::nullopt);
    remember(written, s);
    keepRecording(QStringLiteral("typed"), written, none(), s ? QVariant(s->answeredBy) : none(),
                  endToEnd, s ? maybe(s->polishMs) : none(), s ? QVariant(s->typing) : none());
    const bool unconfirmed = s && s->unconfirmed;
    teardown();
    if (unconfirmed) {
        // Pasted blind into whatever had focus: the user must know it may not be there.
        showInfo(HUDCopy::maybeNotDelivered());
        return;
    }
    hud->hide(0);
    showPendingLearned();
}

void AppDelegate::sessionAborted(const QString& reason, const QString& rest) {
    Log::write(QStringLiteral("Abort: ") + reason + QStringLiteral(" rest=[") + rest +
               QStringLiteral("]"));
    setClipboardText(rest);
    const std::shared_ptr<StreamSession> s = dictation ? dictation->session : nullptr;
    remember(rest, s);
    keepRecording(QStringLiteral("abort"), rest, reason, s ? QVariant(s->answeredBy) : none(),
                  none(), s ? maybe(s->polishMs) : none());
    teardown();
    showError(reason);
}

void AppDelegate::explainRefusal(int code) {
    AccountStore& account = AccountStore::shared();
    std::weak_ptr<bool> alive = alive_;
    switch (code) {
        case 401:
            account.refresh([this, alive](bool) {
                if (!alive.lock()) return;
                AccountStore& a = AccountStore::shared();
                if (!a.hasSession() && !Config::shared().env(QStringLiteral("VQ_SERVER_TOKEN"))) {
                    showError(HUDCopy::signInFirst());
                    showMainWindow();
                } else {
                    showError(HUDCopy::lostConnection());
                }
            });
            break;
        case 402:
            if (account.hasSession()) account.refreshAccess();
            showError(HUDCopy::monthsWords());
            break;
        case 403: {
            auto decide = [this, alive] {
                if (!alive.lock()) return;
                showError(AccountStore::shared().access() == QLatin1String("disabled")
                              ? HUDCopy::accountOff()
                              : HUDCopy::onTheList());
            };
            if (account.hasSession())
                account.refreshAccess(decide);
            else
                decide();
            break;
        }
        default:
            showError(HUDCopy::todaysLimit());
            break;
    }
}

void AppDelegate::remember(const QString& text, const std::shared_ptr<StreamSession>& s) {
    if (!s) return;
    const std::optional<QString> bundleID = s->target && !s->target->bundleId.isEmpty()
                                                ? std::optional(s->target->bundleId)
                                                : std::nullopt;
    std::optional<QString> site;
    if (bundleID && WebContext::isBrowser(bundleID->toLower())) {
        for (const WebSite& w : WebContext::sites()) {
            if (s->appName && w.label == *s->appName) {
                site = w.icon;
                break;
            }
        }
    }
    const double seconds =
        dictation
            ? std::chrono::duration<double>(dictation->releasedAt - dictation->pressedAt).count()
            : 0.0;
    HistoryStore::shared().add(text, s->appName, bundleID, site, seconds);
}

void AppDelegate::reportTiming(qint64 ms, const std::shared_ptr<StreamSession>& s,
                               qsizetype chars) {
    QJsonObject body{{QStringLiteral("ms"), ms},
                     {QStringLiteral("by"), s->answeredBy},
                     {QStringLiteral("typing"), s->typing},
                     {QStringLiteral("chars"), static_cast<qint64>(chars)}};
    if (dictation && dictation->asrTailMs)
        body.insert(QStringLiteral("asrMs"), *dictation->asrTailMs);
    if (s->polishMs) body.insert(QStringLiteral("polishMs"), *s->polishMs);
    Polisher::reportTiming(body);
}
