#include "core/StreamSession.h"

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

QString StreamSession::rawText() const {
    return QwenASR::joinSentences(rawSentences);
}

void StreamSession::addSentence(const QString& text) {
    if (aborted) return;
    rawSentences.append(Clip::insert(waiting, text));
    waiting.clear();
    if (onProgress) onProgress(written, rawText());
}

void StreamSession::addClip(const QString& text, const QString& partial) {
    if (aborted) return;
    // Clips are not placed into the text yet; note that one was copied.
    Log::write(
        QStringLiteral("Clip: %1 chars copied, %2 into the sentence being heard (not inserted)")
            .arg(text.size())
            .arg(partial.size()));
}

void StreamSession::finishInput() {
    if (aborted) return;
    const QString raw = rawText();
    if (raw.isEmpty()) {
        if (onDone) onDone(QString());
        return;
    }
    if (!polish) return deliver(raw);
    QElapsedTimer started;
    started.start();
    std::weak_ptr<StreamSession> weak = weak_from_this();
    Polisher::polish(raw, style.id, appName.value_or(QString()),
                     [weak, started](const QString& text, const QString& by) {
                         auto self = weak.lock();
                         if (!self || self->aborted) return;
                         self->polishMs = started.elapsed();
                         self->answeredBy = by;
                         self->deliver(text);
                     });
}

void StreamSession::deliver(const QString& text) {
    auto& workspace = *platform::Platform::current().workspace;
    const auto front = workspace.frontmostApplication();
    if (target && front && target->pid != front->pid)
        return abort(QStringLiteral("You switched apps, press Ctrl+V to paste"), text);

    const TextInjector::Focus focus = TextInjector::focus(target);
    switch (focus.kind) {
        case TextInjector::Focus::Kind::notText:
            Log::write(QStringLiteral("Focus: ") + focus.detail +
                       QStringLiteral(", not a text box: copied instead of typing"));
            return abort(QStringLiteral("Can't type here, press Ctrl+V to paste"), text);
        case TextInjector::Focus::Kind::unsure:
            Log::write(QStringLiteral("Focus: can't tell (") + focus.detail +
                       QStringLiteral("), pasting and leaving it on the clipboard"));
            TextInjector::paste(text, kRestoreDelayMs, true, style.id == QLatin1String("terminal"));
            typing = QStringLiteral("paste");
            break;
        case TextInjector::Focus::Kind::text:
            if (!usePaste && !text.contains(QLatin1Char('\n'))) {
                TextInjector::type(text);
                typing = QStringLiteral("type");
            } else {
                TextInjector::paste(text, kRestoreDelayMs, false,
                                    style.id == QLatin1String("terminal"));
                typing = QStringLiteral("paste");
            }
            break;
    }
    written = text;
    if (onProgress) onProgress(written, QString());
    if (onDone) onDone(written);
}

void StreamSession::abort(const QString& message, const QString& text) {
    aborted = true;
    if (onAbort) onAbort(message, text);
}
