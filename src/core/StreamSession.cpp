#include "core/StreamSession.h"

#include <QCoreApplication>
#include <QTimer>

#include "core/Log.h"
#include "core/Polisher.h"
#include "core/QwenASR.h"
#include "core/TextInjector.h"
#include "platform/Platform.h"

std::shared_ptr<StreamSession> StreamSession::create(std::optional<platform::RunningApp> target,
                                                     AppStyle style, std::optional<QString> appName,
                                                     bool polish, bool usePaste) {
    return std::shared_ptr<StreamSession>(new StreamSession(std::move(target), std::move(style),
                                                            std::move(appName), polish, usePaste));
}

StreamSession::StreamSession(std::optional<platform::RunningApp> t, AppStyle s,
                             std::optional<QString> name, bool p, bool paste)
    : target(std::move(t)),
      style(std::move(s)),
      appName(std::move(name)),
      polish(p),
      usePaste(paste) {}

QString StreamSession::switchedApps() {
    return QStringLiteral("You switched apps, press Ctrl+V to paste");
}

QString StreamSession::cantTypeHere() {
    return QStringLiteral("Can't type here, press Ctrl+V to paste");
}

QString StreamSession::rawText() const {
    return QwenASR::joinSentences(rawSentences);
}

QString StreamSession::displayText() const {
    return Clip::display(clips, rawText());
}

void StreamSession::addSentence(const QString& text) {
    if (aborted) return;
    rawSentences.append(Clip::insert(waiting, text));
    waiting.clear();
    if (onProgress) onProgress(written, displayText());
}

void StreamSession::addClip(const QString& text, const QString& partial) {
    if (aborted) return;
    if (!clips.isEmpty() && clips.last().text == text) return;  // the same copy twice
    const Clip clip(text, int(clips.size()) + 1);
    clips.append(clip);
    const int heard = Clip::length(partial);
    if (!partial.isEmpty())
        waiting.append({clip.token(), heard});
    else
        rawSentences.append(clip.token());
    Log::write(QStringLiteral("Clip %1: %2 chars, %3 into the sentence being heard")
                   .arg(clip.token())
                   .arg(Clip::length(clip.text))
                   .arg(heard));
    if (onProgress) onProgress(written, displayText());
}

void StreamSession::finishInput() {
    if (aborted) return;
    const QString raw = rawText();
    if (raw.isEmpty()) {
        if (onDone) onDone(QString());
        return;
    }
    if (!polish) return deliver(Clip::fill(raw, raw, clips, style.blankLines));
    QElapsedTimer started;
    started.start();
    std::weak_ptr<StreamSession> weak = weak_from_this();
    Polisher::polish(raw, style.id, appName.value_or(QString()),
                     [weak, started](const QString& text, const QString& by) {
                         auto self = weak.lock();
                         if (!self || self->aborted) return;
                         self->polishMs = started.elapsed();
                         self->answeredBy = by;
                         const QString now = self->rawText();
                         self->deliver(Clip::fill(text, now, self->clips, self->style.blankLines));
                     });
}

void StreamSession::deliver(const QString& text) {
    if (aborted) return;
    auto& workspace = *platform::Platform::current().workspace;
    const auto front = workspace.frontmostApplication();
    // Away from the target: typing now would go into another window, or nowhere.
    if (target && (!front || target->pid != front->pid)) {
        // Clips are worth the trip back; so is a desktop with nothing in front, where
        // the user only clicked away and no other application would receive the text.
        if (!broughtBack && (!clips.isEmpty() || !front)) {
            broughtBack = true;
            Log::write(QStringLiteral("Back to ") +
                       (target->name.isEmpty() ? QStringLiteral("?") : target->name) +
                       QStringLiteral(" from ") +
                       (front && !front->name.isEmpty() ? front->name : QStringLiteral("?")) +
                       (clips.isEmpty() ? QStringLiteral(" to type the text in")
                                        : QStringLiteral(" to type the clips in")));
            if (!workspace.activate(*target))
                Log::write(QStringLiteral("Back to ") + target->name +
                           QStringLiteral(": the window manager was not asked"));
            std::weak_ptr<StreamSession> weak = weak_from_this();
            QTimer::singleShot(kBringBackMs, qApp, [weak, text] {
                if (auto self = weak.lock(); self && !self->aborted) self->deliver(text);
            });
            return;
        }
        return abort(switchedApps(), text);
    }

    const bool terminal = style.id == QLatin1String("terminal");
    const TextInjector::Focus focus = TextInjector::focus(target);
    switch (focus.kind) {
        case TextInjector::Focus::Kind::notText:
            Log::write(QStringLiteral("Focus: ") + focus.detail +
                       QStringLiteral(", not a text box: copied instead of typing"));
            return abort(cantTypeHere(), text);
        case TextInjector::Focus::Kind::unsure:
            Log::write(QStringLiteral("Focus: can't tell (") + focus.detail +
                       QStringLiteral("), pasting and leaving it on the clipboard"));
            if (!TextInjector::paste(text, kRestoreDelayMs, true, terminal))
                return abort(cantTypeHere(), text);
            typing = QStringLiteral("paste");
            unconfirmed = true;
            break;
        case TextInjector::Focus::Kind::text:
            if (!usePaste && !text.contains(QLatin1Char('\n'))) {
                typing = QStringLiteral("type");
                // The keys go out on a thread of their own; the session ends when they are out.
                std::weak_ptr<StreamSession> weak = weak_from_this();
                TextInjector::typeAsync(text, [weak, text](bool ok) {
                    auto self = weak.lock();
                    if (!self || self->aborted) return;
                    // Some keys did not go out: the whole text waits on the clipboard.
                    if (!ok) return self->abort(cantTypeHere(), text);
                    self->delivered(text);
                });
                return;
            } else {
                if (!TextInjector::paste(text, kRestoreDelayMs, false, terminal))
                    return abort(cantTypeHere(), text);
                typing = QStringLiteral("paste");
            }
            break;
    }
    delivered(text);
}

void StreamSession::delivered(const QString& text) {
    written = text;
    if (onProgress) onProgress(written, QString());
    if (onDone) onDone(written);
}

void StreamSession::abort(const QString& message, const QString& text) {
    aborted = true;
    if (onAbort) onAbort(message, text);
}
