#include "core/HotwordLearner.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QTextBoundaryFinder>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/AssistiveMode.h"
#include "core/Config.h"
#include "core/Log.h"
#include "core/Polisher.h"
#include "platform/Accessibility.h"
#include "platform/Platform.h"

namespace HotwordLearner {

namespace {

constexpr int kFirstAttemptMs = 350;
constexpr int kRetryMs = 500;
constexpr int kAttempts = 5;
constexpr int kCallTimeoutMs = 300;
constexpr int kPollMs = 500;
constexpr qsizetype kLargestField = 20000;
constexpr qsizetype kAnchor = 24;
constexpr qsizetype kReach = 2000;
constexpr double kTimeLimit = 45;
constexpr double kSettleInside = 15;
constexpr double kSettleOutside = 6;
constexpr qsizetype kLongestWord = 40;
// Beyond this many edits two texts have little in common: the script gives up aligning
// them (memory grows with the square of it) and calls the middle replaced.
constexpr qsizetype kMaxEdits = 1000;

// ---- Shortest edit script (Myers), over positions compared by `eq`. ----

struct Script {
    std::vector<char> removed;   // per position of the old sequence
    std::vector<char> inserted;  // per position of the new sequence
};

template <typename Eq>
Script shortestEdit(qsizetype n, qsizetype m, const Eq& eq) {
    Script out;
    out.removed.assign(size_t(n), 0);
    out.inserted.assign(size_t(m), 0);
    if (n + m == 0) return out;
    const qsizetype limit = std::min(n + m, kMaxEdits);
    const qsizetype off = limit + 1;
    std::vector<int32_t> v(size_t(2 * limit + 3), 0);
    std::vector<std::vector<int32_t>> trace;  // v over k in [-d, d] after each round d
    qsizetype found = -1;
    for (qsizetype d = 0; d <= limit && found < 0; ++d) {
        for (qsizetype k = -d; k <= d; k += 2) {
            qsizetype x = (k == -d || (k != d && v[off + k - 1] < v[off + k + 1]))
                              ? v[off + k + 1]
                              : v[off + k - 1] + 1;
            qsizetype y = x - k;
            while (x < n && y < m && eq(x, y)) ++x, ++y;
            v[off + k] = int32_t(x);
            if (x >= n && y >= m) found = d;
        }
        trace.emplace_back(v.begin() + (off - d), v.begin() + (off + d + 1));
    }
    if (found < 0) {
        // Too different to align: the common ends stay, the middle is replaced.
        qsizetype pre = 0, suf = 0;
        while (pre < n && pre < m && eq(pre, pre)) ++pre;
        while (suf < n - pre && suf < m - pre && eq(n - 1 - suf, m - 1 - suf)) ++suf;
        for (qsizetype i = pre; i < n - suf; ++i) out.removed[size_t(i)] = 1;
        for (qsizetype j = pre; j < m - suf; ++j) out.inserted[size_t(j)] = 1;
        return out;
    }
    qsizetype x = n, y = m;
    for (qsizetype d = found; d > 0; --d) {
        const std::vector<int32_t>& prev = trace[size_t(d - 1)];
        auto at = [&](qsizetype k) { return qsizetype(prev[size_t(k + d - 1)]); };
        const qsizetype k = x - y;
        const bool down = k == -d || (k != d && at(k - 1) < at(k + 1));
        const qsizetype prevK = down ? k + 1 : k - 1;
        const qsizetype prevX = at(prevK), prevY = prevX - prevK;
        if (down)
            out.inserted[size_t(prevY)] = 1;
        else
            out.removed[size_t(prevX)] = 1;
        x = prevX;
        y = prevY;
    }
    return out;
}

// Positions in the new sequence where removed old positions were cut, walking both from the
// start and taking removals before insertions at the same place.
std::vector<qsizetype> cutPoints(const Script& s) {
    std::vector<qsizetype> cuts;
    const qsizetype n = qsizetype(s.removed.size()), m = qsizetype(s.inserted.size());
    qsizetype i = 0, j = 0;
    while (i < n || j < m) {
        if (i < n && s.removed[size_t(i)]) {
            cuts.push_back(j);
            ++i;
        } else if (j < m && s.inserted[size_t(j)]) {
            ++j;
        } else {
            ++i, ++j;
        }
    }
    return cuts;
}

bool anyCutIn(const std::vector<qsizetype>& cuts, qsizetype from, qsizetype to) {
    return std::any_of(cuts.begin(), cuts.end(), [&](qsizetype p) { return p >= from && p <= to; });
}

// User-perceived characters.
QStringList graphemes(const QString& text) {
    QStringList out;
    QTextBoundaryFinder f(QTextBoundaryFinder::Grapheme, text);
    qsizetype from = 0;
    while (f.toNextBoundary() >= 0) {
        const qsizetype to = f.position();
        if (to > from) out << text.mid(from, to - from);
        from = to;
    }
    return out;
}

Script scriptOf(const QStringList& a, const QStringList& b) {
    return shortestEdit(a.size(), b.size(), [&](qsizetype i, qsizetype j) { return a[i] == b[j]; });
}

bool wordUnit(QChar c) {
    const char16_t u = c.unicode();
    return (u < 0x80 && (c.isLetterOrNumber())) || (u >= 0xC0 && u <= 0x24F);
}

qsizetype chars(const QString& s) {
    return Polisher::characterCount(s);
}

QString list(const QStringList& words) {
    QStringList quoted;
    for (const QString& w : words) quoted << QLatin1Char('"') + w + QLatin1Char('"');
    return QLatin1Char('[') + quoted.join(QStringLiteral(", ")) + QLatin1Char(']');
}

// ---- The watch. ----

struct Watch {
    QString app;
    qint64 pid = 0;
    platform::ElementRef element;
    QString inserted;
    QString before, after;  // anchors around the typed text
    qsizetype start = 0;
    QString latest;
    int changes = 0;
    Clock::time_point began, lastEdit;
    double longestPause = 0;
    QString core;
    Span span;  // of `core` in `latest`
    bool caretSeen = false;
    bool caretWasInside = false;
    QString caretNote = QStringLiteral("no caret");
    std::optional<platform::TextRange> lastSelection;
};

struct State {
    std::function<void(const QStringList&)> onLearned;
    std::optional<Watch> watch;
    QPointer<QTimer> timer;
    QPointer<QTimer> pending;
    Timings timings;
    int polls = 0;
    // Field reads go out on the reader's thread: a result for an older generation (the watch
    // stopped or a new one began meanwhile) is dropped, and one poll waits for the last.
    quint64 gen = 0;
    bool reading = false;
};

State& st() {
    static State s;
    return s;
}

Clock::time_point now() {
    return st().timings.clock ? st().timings.clock() : Clock::now();
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

QString whole(double s) {
    return QString::number(qint64(s));
}

int scaled(int ms) {
    return std::max(1, int(ms * st().timings.scale));
}

platform::Accessibility* ax() {
    if (!platform::Platform::installed()) return nullptr;
    return platform::Platform::current().accessibility.get();
}

QString labelOf(const platform::RunningApp& app) {
    return (app.name.isEmpty() ? QStringLiteral("?") : app.name) + QStringLiteral(" [") +
           app.bundleId + QLatin1Char(']');
}

// A timer may be the one whose signal is running: it goes once control is back in the loop.
void drop(QPointer<QTimer>& timer) {
    if (timer) {
        timer->stop();
        timer->deleteLater();
    }
    timer.clear();
}

void cancelScheduled() {
    drop(st().pending);
    drop(st().timer);
    ++st().gen;
    st().reading = false;
}

void poll();
void begin(const QString& inserted, const platform::RunningApp& app, int attempt);

void schedule(const QString& inserted, const platform::RunningApp& app, int attempt, int ms) {
    State& s = st();
    drop(s.pending);
    auto* t = new QTimer(QCoreApplication::instance());
    t->setSingleShot(true);
    QObject::connect(t, &QTimer::timeout, t, [t, inserted, app, attempt] {
        t->deleteLater();
        begin(inserted, app, attempt);
    });
    s.pending = t;
    t->start(scaled(ms));
}

// The place of the typed text in the field: just before the caret when it is there, else the
// last occurrence ending by the caret, else the last anywhere; -1 when absent.
qsizetype findTyped(const QString& value, const QString& typed, qsizetype caret) {
    if (caret >= typed.size() && caret <= value.size() &&
        QStringView(value).mid(caret - typed.size(), typed.size()) == typed)
        return caret - typed.size();
    qsizetype at = value.lastIndexOf(typed, std::min(caret, value.size()));
    if (at < 0) at = value.lastIndexOf(typed);
    return at;
}

bool graphemeBoundary(const QString& text, qsizetype pos) {
    if (pos <= 0 || pos >= text.size()) return true;
    QTextBoundaryFinder f(QTextBoundaryFinder::Grapheme, text);
    f.setPosition(pos);
    return f.isAtBoundary();
}

void retry(const QString& inserted, const platform::RunningApp& app, int attempt,
           const QString& why) {
    if (attempt < kAttempts) {
        schedule(inserted, app, attempt + 1, kRetryMs);
        return;
    }
    Log::write(QStringLiteral("Learn: can't watch ") + labelOf(app) + QStringLiteral(": ") + why);
}

void watchFrom(const QString& inserted, const platform::RunningApp& app, int attempt,
               const platform::ElementRef& element, const QString& role,
               const platform::AxResult<platform::FieldText>& field);

void begin(const QString& inserted, const platform::RunningApp& app, int attempt) {
    State& s = st();
    s.pending.clear();
    const QString label = labelOf(app);
    platform::Accessibility* a = ax();
    auto fail = [&](const QString& why) { retry(inserted, app, attempt, why); };
    if (!a) return fail(QStringLiteral("no accessibility"));
    a->setCallTimeout(kCallTimeoutMs);
    AssistiveMode::enable(app);
    const auto focused = a->focusedElement(app.pid);
    if (!focused.value) return fail(QStringLiteral("no focused element"));
    const platform::ElementRef element = *focused.value;
    const QString role = a->role(element).value.value_or(QStringLiteral("?"));
    if (role == QLatin1String("password text")) {
        Log::write(QStringLiteral("Learn: skip ") + label + QStringLiteral(": secure text field"));
        return;
    }
    const quint64 gen = s.gen;
    a->readField(element, kCallTimeoutMs,
                 [inserted, app, attempt, element, role, gen](
                     platform::AxResult<platform::FieldText> field, std::optional<bool>) {
                     if (st().gen == gen) watchFrom(inserted, app, attempt, element, role, field);
                 });
}

void watchFrom(const QString& inserted, const platform::RunningApp& app, int attempt,
               const platform::ElementRef& element, const QString& role,
               const platform::AxResult<platform::FieldText>& field) {
    State& s = st();
    const QString label = labelOf(app);
    auto fail = [&](const QString& why) { retry(inserted, app, attempt, why); };
    if (!field.value) return fail(QStringLiteral("no text value (role=") + role + QLatin1Char(')'));
    const QString& value = field.value->text;
    if (value.size() > kLargestField) {
        Log::write(QStringLiteral("Learn: skip ") + label + QStringLiteral(": field too large (") +
                   QString::number(value.size()) + QStringLiteral(" chars)"));
        return;
    }
    const auto& sel = field.value->selection;
    const qsizetype caret = sel ? sel->location + sel->length : value.size();
    const qsizetype at = findTyped(value, inserted, caret);
    if (at < 0) {
        QString why = QStringLiteral("typed text not in field (role=") + role +
                      QStringLiteral(", ") + QString::number(value.size()) +
                      QStringLiteral(" chars");
        if (value.size() < inserted.size()) why += QStringLiteral(" [") + value + QLatin1Char(']');
        why += QStringLiteral(", caret ") + QString::number(caret);
        if (const auto on = AssistiveMode::since(app.pid))
            why += QStringLiteral(", assistive mode on for ") +
                   QString::number(on->secsTo(QDateTime::currentDateTime())) + QLatin1Char('s');
        return fail(why + QLatin1Char(')'));
    }
    Watch w;
    w.app = label;
    w.pid = app.pid;
    w.element = element;
    w.inserted = inserted;
    qsizetype from = std::max<qsizetype>(0, at - kAnchor);
    while (!graphemeBoundary(value, from)) --from;
    w.before = value.mid(from, at - from);
    const qsizetype end = at + inserted.size();
    qsizetype to = std::min(value.size(), end + kAnchor);
    while (!graphemeBoundary(value, to)) ++to;
    w.after = value.mid(end, to - end);
    w.start = at;
    w.latest = w.core = inserted;
    w.span = Span{0, inserted.size()};
    w.began = w.lastEdit = now();
    w.caretSeen = sel.has_value();
    s.watch = std::move(w);
    Log::write(QStringLiteral("Learn: watching ") + label + QStringLiteral(" role=") + role +
               QStringLiteral(" field=") + QString::number(value.size()) +
               QStringLiteral(" chars at ") + QString::number(at) + QStringLiteral(", attempt ") +
               QString::number(attempt) + QStringLiteral(", caret ") +
               (s.watch->caretSeen ? QStringLiteral("yes") : QStringLiteral("no")));
    drop(s.timer);
    auto* t = new QTimer(QCoreApplication::instance());
    QObject::connect(t, &QTimer::timeout, t, [] { poll(); });
    s.timer = t;
    t->start(scaled(kPollMs));
}

// The passage between the anchors, near where it was last seen: [start, end), or none.
std::optional<std::pair<qsizetype, qsizetype>> locate(const QString& value, const Watch& w) {
    const qsizetype expStart = w.start, expEnd = w.start + w.latest.size();
    qsizetype start = 0;
    if (!w.before.isEmpty()) {
        const qsizetype lo = std::max<qsizetype>(0, expStart - w.before.size() - kReach);
        const qsizetype hi = std::min(value.size(), expStart + kReach);
        qsizetype best = -1;
        for (qsizetype i = value.indexOf(w.before, lo); i >= 0 && i + w.before.size() <= hi;
             i = value.indexOf(w.before, i + 1)) {
            const qsizetype e = i + w.before.size();
            if (best < 0 || std::abs(e - expStart) < std::abs(best - expStart)) best = e;
        }
        if (best < 0) return std::nullopt;
        start = best;
    }
    qsizetype end = value.size();
    if (!w.after.isEmpty()) {
        if (start >= value.size()) return std::nullopt;
        qsizetype best = value.indexOf(w.after, start);
        if (best < 0) return std::nullopt;
        for (qsizetype i = value.indexOf(w.after, best + 1); i >= 0;
             i = value.indexOf(w.after, i + 1)) {
            if (std::abs(i - expEnd) < std::abs(best - expEnd)) best = i;
            if (i - expEnd > kReach) break;
        }
        end = best;
    }
    return std::make_pair(start, end);
}

void evaluate(const QString& dictatedText, const QString& finalText) {
    if (!Config::shared().learnHotwords()) return;
    const QString dictated = dictatedText.trimmed(), edited = finalText.trimmed();
    if (dictated == edited) {
        Log::write(QStringLiteral("Learn: unchanged"));
        return;
    }
    const qsizetype n = chars(dictated), f = chars(edited);
    if (f > 3 * n + 200) {
        Log::write(QStringLiteral("Learn: skip, passage grew from ") + QString::number(n) +
                   QStringLiteral(" to ") + QString::number(f) + QStringLiteral(" chars"));
        return;
    }
    Polisher::learn(dictated, edited, [dictated, edited](const QString& answer, bool ok) {
        if (!ok) return;
        QStringList candidates;
        const qsizetype open = answer.indexOf(QLatin1Char('['));
        const qsizetype close = answer.lastIndexOf(QLatin1Char(']'));
        if (open >= 0 && close > open) {
            const QJsonDocument doc =
                QJsonDocument::fromJson(answer.mid(open, close - open + 1).toUtf8());
            for (const QJsonValue& v : doc.array())
                if (v.isString() && !v.toString().trimmed().isEmpty())
                    candidates << v.toString().trimmed();
        }
        QStringList kept, dropped, undone, rest;
        for (const QString& c : candidates) {
            if (chars(c) <= kLongestWord && !dictated.contains(c) && typedOver(c, dictated, edited))
                kept << c;
            else
                dropped << c;
        }
        if (!dropped.isEmpty())
            Log::write(QStringLiteral("Learn: dropped ") + list(dropped) +
                       QStringLiteral(" (added, not corrected)"));
        QStringList rejected = Config::stringList(QStringLiteral("rejectedHotwords"));
        for (QString& r : rejected) r = r.toLower();
        for (const QString& k : kept) (rejected.contains(k.toLower()) ? undone : rest) << k;
        if (!undone.isEmpty())
            Log::write(QStringLiteral("Learn: skipped ") + list(undone) +
                       QStringLiteral(" (undone before)"));
        const QStringList added =
            rest.isEmpty() ? QStringList() : Config::shared().addLearnedHotwords(rest, false);
        if (!added.isEmpty()) {
            QStringList fresh = Config::stringList(QStringLiteral("newHotwords"));
            fresh << added;
            Config::setStringList(QStringLiteral("newHotwords"), fresh);
        }
        QString flat = answer;
        flat.replace(QLatin1Char('\n'), QLatin1Char(' '));
        Log::write(QStringLiteral("Learn: LLM ") + flat + QStringLiteral(" → added ") +
                   list(added));
        if (!added.isEmpty() && st().onLearned) st().onLearned(added);
    });
}

void pollWith(const platform::AxResult<platform::FieldText>& field, std::optional<bool> focused);

void poll() {
    State& s = st();
    if (!s.watch) {
        ++s.polls;
        return drop(s.timer);
    }
    ++s.polls;
    if (!Config::shared().learnHotwords()) return turnedOff();
    if (seconds(now() - s.watch->began) > kTimeLimit) return stop(QStringLiteral("time's up"));
    platform::Accessibility* a = ax();
    if (!a) return stop(QStringLiteral("field gone"));
    // The last read is still out (a slow application): this tick waits for it.
    if (s.reading) return;
    --s.polls;  // counted when the read is back
    s.reading = true;
    const quint64 gen = s.gen;
    a->readField(s.watch->element, kCallTimeoutMs,
                 [gen](platform::AxResult<platform::FieldText> field, std::optional<bool> focused) {
                     State& l = st();
                     if (l.gen != gen) return;
                     l.reading = false;
                     ++l.polls;
                     if (l.watch) pollWith(field, focused);
                 });
}

void pollWith(const platform::AxResult<platform::FieldText>& field, std::optional<bool> focused) {
    State& s = st();
    Watch& w = *s.watch;
    const Clock::time_point t = now();
    platform::Accessibility* a = ax();
    if (!a) return stop(QStringLiteral("field gone"));
    if (!field.value) return stop(QStringLiteral("field gone"));
    const QString& value = field.value->text;
    if (value.size() > kLargestField) return stop(QStringLiteral("field grew too large"));
    const auto where = locate(value, w);
    if (!where)
        return stop(value.isEmpty() ? QStringLiteral("field cleared")
                                    : QStringLiteral("surrounding text changed"));
    const QString passage = value.mid(where->first, where->second - where->first);
    if (passage.trimmed().isEmpty()) return stop(QStringLiteral("passage cleared"));
    const bool edited = passage != w.latest;
    const qsizetype dictatedChars = chars(w.inserted);
    if (edited && w.before.isEmpty() && w.after.isEmpty() && dictatedChars >= 12 &&
        kept(w.inserted, passage) < 0.3)
        return stop(QStringLiteral("field holds other text now (") +
                    QString::number(chars(passage)) + QStringLiteral(" chars)"));
    if (chars(passage) > 3 * dictatedChars + 200)
        return stop(QStringLiteral("passage grew too large"));
    if (edited) {
        if (w.changes >= 1) w.longestPause = std::max(w.longestPause, seconds(t - w.lastEdit));
        ++w.changes;
        w.lastEdit = t;
        w.span = dictatedSpan(w.inserted, passage);
        w.core = passage.mid(w.span.start, w.span.end - w.span.start);
    }
    w.start = where->first;
    w.latest = passage;

    std::optional<bool> caretOutside;
    const auto& sel = field.value->selection;
    if (!sel) {
        w.lastSelection.reset();
    } else {
        const qsizetype rel = sel->location - w.start, len = sel->length;
        const qsizetype b = w.span.start, e = w.span.end;
        bool outside = rel + len < b || rel > e;
        const bool moved = w.lastSelection && (w.lastSelection->location != sel->location ||
                                               w.lastSelection->length != sel->length);
        // Stepping past the full stop that ends the dictation is leaving it.
        if (!outside && !edited && w.changes >= 1 && moved && len == 0 && rel == e && e > b) {
            const QString& c = w.core;
            const char32_t last = c.size() >= 2 && c.back().isLowSurrogate()
                                      ? QChar::surrogateToUcs4(c[c.size() - 2], c.back())
                                      : c.back().unicode();
            outside = QChar::isPunct(last);
        }
        w.lastSelection = sel;
        w.caretSeen = true;
        w.caretNote = QStringLiteral("caret ") + QString::number(rel) + QLatin1Char('+') +
                      QString::number(len) + QStringLiteral(" vs span ") + QString::number(b) +
                      QLatin1Char('-') + QString::number(e) + QStringLiteral(" of ") +
                      QString::number(passage.size());
        if (!outside) w.caretWasInside = true;
        caretOutside = outside;
    }

    if (!edited) {
        const auto front = platform::Platform::current().workspace->frontmostApplication();
        if (!front || front->pid != w.pid) return stop(QStringLiteral("switched to another app"));
        // The field still focused needs no question on this thread; otherwise the focus is
        // looked for (once: the watch mostly ends there).
        if (focused != true) {
            a->setCallTimeout(kCallTimeoutMs);
            const auto current = a->focusedElement(w.pid);
            if (current.value && !a->sameElement(*current.value, w.element)) {
                const auto other = a->value(*current.value);
                if (!other.value || !other.value->contains(passage))
                    return stop(QStringLiteral("moved to another field"));
            }
        }
        if (caretOutside == true && w.caretWasInside)
            return stop(QStringLiteral("cursor left the passage"));
    }
    const double settle = w.caretWasInside ? kSettleInside : kSettleOutside;
    if (seconds(t - w.lastEdit) >= settle) {
        const QString secs = whole(settle);
        stop(w.changes >= 1
                 ? QStringLiteral("settled ") + secs + QStringLiteral("s after the last edit")
                 : QStringLiteral("no edits in ") + secs + QLatin1Char('s'));
    }
}

}  // namespace

void setOnLearned(std::function<void(const QStringList&)> onLearned) {
    st().onLearned = std::move(onLearned);
}

void track(const QString& inserted, const std::optional<platform::RunningApp>& app) {
    stop(QStringLiteral("new text"));
    if (!Config::shared().learnHotwords() || !app || inserted.trimmed().isEmpty()) return;
    schedule(inserted, *app, 1, kFirstAttemptMs);
}

void stop(const QString& reason) {
    cancelScheduled();
    State& s = st();
    if (!s.watch) return;
    const Watch w = std::move(*s.watch);
    s.watch.reset();
    const QString details =
        w.changes == 0
            ? QStringLiteral("no edits")
            : QString::number(w.changes) + QStringLiteral(" change(s), last at ") +
                  whole(seconds(w.lastEdit - w.began)) + QStringLiteral("s, longest pause ") +
                  whole(w.longestPause) + QLatin1Char('s');
    Log::write(QStringLiteral("Learn: stop (") + reason + QStringLiteral(") after ") +
               whole(seconds(now() - w.began)) + QStringLiteral("s, ") + details +
               QStringLiteral(", ") + w.caretNote + QStringLiteral(" [") + w.core +
               QLatin1Char(']'));
    evaluate(w.inserted, w.core);
}

void turnedOff() {
    cancelScheduled();
    State& s = st();
    if (!s.watch) return;
    Log::write(QStringLiteral("Learn: switched off, dropped the current watch"));
    s.watch.reset();
}

void setTimings(const Timings& timings) {
    st().timings = timings;
}

bool watching() {
    return st().watch.has_value();
}

int polls() {
    return st().polls;
}

void pollNow() {
    poll();
}

double kept(const QString& dictated, const QString& passage) {
    const QStringList a = graphemes(dictated.toLower()), b = graphemes(passage.toLower());
    if (a.isEmpty()) return 1;
    const Script s = scriptOf(a, b);
    const auto lost = std::count(s.removed.begin(), s.removed.end(), 1);
    return double(a.size() - lost) / double(a.size());
}

Span dictatedSpan(const QString& dictated, const QString& passage) {
    const qsizetype m = passage.size();
    if (m == 0) return {};
    const Script s = shortestEdit(
        dictated.size(), m, [&](qsizetype i, qsizetype j) { return dictated[i] == passage[j]; });
    const auto first = std::find(s.inserted.begin(), s.inserted.end(), 0);
    if (first == s.inserted.end()) return Span{0, m};
    qsizetype b = first - s.inserted.begin();
    qsizetype e = m - (std::find(s.inserted.rbegin(), s.inserted.rend(), 0) - s.inserted.rbegin());
    const std::vector<qsizetype> cuts = cutPoints(s);
    const bool leading = anyCutIn(cuts, 0, b), trailing = anyCutIn(cuts, e, m);
    if (leading) b = 0;
    if (trailing) e = m;
    if (e > 0 && wordUnit(passage[e - 1]))
        while (e < m && wordUnit(passage[e])) ++e;
    if (b < m && wordUnit(passage[b]))
        while (b > 0 && wordUnit(passage[b - 1])) --b;
    return Span{b, e};
}

bool typedOver(const QString& word, const QString& dictated, const QString& edited) {
    const QStringList w = graphemes(word), a = graphemes(dictated), b = graphemes(edited);
    if (w.isEmpty() || w.size() > b.size()) return false;
    const Script s = scriptOf(a, b);
    const std::vector<qsizetype> cuts = cutPoints(s);
    const qsizetype m = b.size(), len = w.size();
    for (qsizetype p = 0; p + len <= m; ++p) {
        if (!std::equal(w.begin(), w.end(), b.begin() + p)) continue;
        const qsizetype q = p + len;
        const auto insertedHere =
            std::count(s.inserted.begin() + p, s.inserted.begin() + q, char(1));
        if (insertedHere > 0 && insertedHere < len) return true;
        if (insertedHere == len) {
            qsizetype l = p, r = q;
            while (l > 0 && s.inserted[size_t(l - 1)]) --l;
            while (r < m && s.inserted[size_t(r)]) ++r;
            if (anyCutIn(cuts, l, r)) return true;
        } else if (anyCutIn(cuts, p + 1, q - 1)) {
            return true;
        }
    }
    return false;
}

}  // namespace HotwordLearner
