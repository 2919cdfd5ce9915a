#include "core/Clip.h"

#include <QRegularExpression>
#include <QTextBoundaryFinder>
#include <QUrl>
#include <algorithm>
#include <climits>
#include <vector>

#include "core/Log.h"
#include "platform/Pasteboard.h"
#include "platform/Platform.h"

namespace {

// A text split into user-perceived characters; the placement works on their indices.
class Chars {
  public:
    explicit Chars(const QString& text) : text_(text) {
        at_.reserve(size_t(text.size()) + 1);
        // Plain BMP text without combining marks splits one unit per character, which
        // is nearly every dictation; only the rest pays for the boundary finder.
        bool simple = true;
        for (QChar c : text) {
            const char16_t u = c.unicode();
            // Latin and CJK text without marks: no table lookup needed.
            if ((u < 0x300 && u != 0x0D) || (u >= 0x4E00 && u <= 0x9FFF) ||
                (u >= 0x3000 && u <= 0x3029) || (u >= 0x3030 && u <= 0x303F) ||
                (u >= 0xFF00 && u <= 0xFFEF))
                continue;
            const auto cat = c.category();
            if (c.isSurrogate() || cat == QChar::Mark_NonSpacing ||
                cat == QChar::Mark_SpacingCombining || cat == QChar::Mark_Enclosing ||
                c.unicode() == 0x200D || c.unicode() == 0x0D ||
                (c.unicode() >= 0xFE00 && c.unicode() <= 0xFE0F)) {
                simple = false;
                break;
            }
        }
        if (simple) {
            for (qsizetype i = 0; i <= text.size(); ++i) at_.push_back(i);
            return;
        }
        at_.push_back(0);
        QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
        for (qsizetype p = finder.toNextBoundary(); p != -1; p = finder.toNextBoundary())
            if (p > 0) at_.push_back(p);
        if (at_.back() != text.size()) at_.push_back(text.size());
    }

    int size() const { return int(at_.size()) - 1; }
    char32_t first(int i) const {
        const QChar c = text_.at(at_[size_t(i)]);
        if (c.isHighSurrogate() && at_[size_t(i)] + 1 < text_.size())
            return QChar::surrogateToUcs4(c, text_.at(at_[size_t(i)] + 1));
        return c.unicode();
    }
    QString at(int i) const {
        return text_.mid(at_[size_t(i)], at_[size_t(i) + 1] - at_[size_t(i)]);
    }
    qsizetype unit(int i) const { return at_[size_t(i)]; }
    // The character index of a UTF-16 position (the character that starts there or holds it).
    int index(qsizetype unitPos) const {
        auto it = std::upper_bound(at_.begin(), at_.end(), unitPos);
        return int(it - at_.begin()) - 1;
    }
    const QString& text() const { return text_; }

  private:
    QString text_;
    std::vector<qsizetype> at_;
};

bool in(char32_t c, std::u32string_view set) {
    return set.find(c) != std::u32string_view::npos;
}

constexpr std::u32string_view kSentenceEnders = U"。！？!?…";
constexpr std::u32string_view kTrailingClosers = U"”’\"'」』)）";
constexpr std::u32string_view kWordClosers = U"”’」』》)）";
constexpr std::u32string_view kFillers = U"呃嗯啊哎额哦";
constexpr std::u32string_view kEndMarks = U"。？！.?!";
constexpr std::u32string_view kMeasureWords = U"个些段句篇条张份封种款首部本页家位";
constexpr std::u32string_view kFunctionWords =
    U"是的了在有和跟与把被给让叫对向从到比就都也还又很太吗呢吧啊呀嘛么";
constexpr std::u32string_view kOpeningMarks = U"“‘\"'「『《(（[【`";
constexpr std::u32string_view kClosingMarks = U"”’\"'」』》)）]】`";

bool isLineBreak(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x2028 || c == 0x2029 || c == 0x85;
}
bool isWhite(char32_t c) {
    return QChar::isSpace(c);
}
// The spaces that separate a token from its words; line breaks are not among them.
bool isSpace(char32_t c) {
    return c == U' ' || c == U'\t' || c == 0xA0;
}
bool isLetterOrDigit(char32_t c) {
    return QChar::isLetterOrNumber(c);
}

int sentenceEndIn(const Chars& t, int offset) {
    const int n = t.size();
    const int i = std::clamp(offset, 0, n);
    if (i == 0) return i;
    if (isLineBreak(t.first(i - 1))) return i;
    int end = -1;
    for (int j = i - 1; j < n; ++j) {
        const char32_t c = t.first(j);
        // A clip token right after a full stop stands after the sentence it ended.
        if (in(c, kSentenceEnders) ||
            (c == U'.' && (j == n - 1 || isWhite(t.first(j + 1)) || t.first(j + 1) == U'⟦'))) {
            end = j + 1;
            break;
        }
    }
    if (end < 0) return n;
    while (end < n && (in(t.first(end), kSentenceEnders) || in(t.first(end), kTrailingClosers)))
        ++end;
    return end;
}

// The first occurrence of `token` as a character index, or -1.
int find(const Chars& t, const QString& token) {
    const qsizetype u = t.text().indexOf(token);
    return u < 0 ? -1 : t.index(u);
}

// Letters and digits that are not fillers, two on each side of the token, lower-cased.
// Scans outward from the token only, so a long text costs no more than a short one.
std::pair<QString, QString> surroundings(const QString& text, const QString& token) {
    const qsizetype at = text.indexOf(token);
    if (at < 0) return {};
    auto kept = [](char32_t c) { return isLetterOrDigit(c) && !in(c, kFillers); };
    QString before, after;
    int found = 0;
    for (qsizetype i = at; i > 0 && found < 2;) {
        char32_t c = text.at(i - 1).unicode();
        qsizetype width = 1;
        if (QChar::isLowSurrogate(c) && i > 1 && text.at(i - 2).isHighSurrogate()) {
            c = QChar::surrogateToUcs4(text.at(i - 2), text.at(i - 1));
            width = 2;
        }
        i -= width;
        if (kept(c)) before.prepend(text.mid(i, width)), ++found;
    }
    found = 0;
    for (qsizetype i = at + token.size(); i < text.size() && found < 2;) {
        char32_t c = text.at(i).unicode();
        qsizetype width = 1;
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
            width = 2;
        }
        if (kept(c)) after.append(text.mid(i, width)), ++found;
        i += width;
    }
    return {before.toLower(), after.toLower()};
}

// The last character before character index `at` that is not a space, or -1.
int lastNonSpaceBefore(const Chars& t, int at) {
    for (int i = at - 1; i >= 0; --i)
        if (!isSpace(t.first(i))) return i;
    return -1;
}
int firstNonSpaceFrom(const Chars& t, int at) {
    int i = at;
    while (i < t.size() && isSpace(t.first(i))) ++i;
    return i;
}

// The last character before UTF-16 position `at` that is not a space (its first scalar), or 0.
char32_t lastNonSpaceUnit(const QString& text, qsizetype at) {
    for (qsizetype i = at; i > 0; --i) {
        const QChar c = text.at(i - 1);
        if (isSpace(c.unicode())) continue;
        if (c.isLowSurrogate() && i > 1 && text.at(i - 2).isHighSurrogate())
            return QChar::surrogateToUcs4(text.at(i - 2), c);
        // A combining mark belongs to the character before it; its first scalar decides.
        if (c.category() == QChar::Mark_NonSpacing || c.category() == QChar::Mark_Enclosing ||
            c.unicode() == 0xFE0F)
            continue;
        return c.unicode();
    }
    return 0;
}

bool isInline(const Clip& clip, const QString& cleaned, const QString& raw) {
    if (!clip.fitsInline()) return false;
    const QString token = clip.token();
    const qsizetype at = cleaned.indexOf(token);
    if (at < 0) return false;
    const char32_t c = lastNonSpaceUnit(cleaned, at);
    if (c == 0) return false;
    const QString a =
        QStringView(cleaned).mid(at + token.size()).trimmed().left(8).toString().toLower();
    for (const char* start : {"⟦", "这", "那", "this ", "that ", "these ", "those "})
        if (a.startsWith(QString::fromUtf8(start))) return false;
    if (!isLetterOrDigit(c) && !in(c, kWordClosers)) return false;
    // Naming looks at no more than the last words before the token.
    QStringView before = QStringView(cleaned).left(at);
    while (!before.isEmpty() && isSpace(before.back().unicode())) before.chop(1);
    if (Clip::namesIt(before.right(64).toString())) return false;
    const qsizetype inRaw = raw.indexOf(token);
    if (inRaw < 0) return true;
    const auto [rawBefore, rawAfter] = surroundings(raw, token);
    const auto [cleanBefore, cleanAfter] = surroundings(cleaned, token);
    if (!a.isEmpty() && in(a.toUcs4().front(), kEndMarks) &&
        in(lastNonSpaceUnit(raw, inRaw), kEndMarks))
        return true;
    if (rawBefore == cleanBefore) return false;
    if (rawAfter.isEmpty()) return true;
    return rawAfter != cleanAfter;
}

}  // namespace

Clip::Clip(const QString& t, int n) : text(t.trimmed()), number(n) {}

int Clip::length(const QString& text) {
    return Chars(text).size();
}

bool Clip::isChinese(char32_t c) {
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3000 && c <= 0x303F) ||
           (c >= 0xFF00 && c <= 0xFFEF);
}

bool Clip::isLink() const {
    for (QChar c : text)
        if (c.isSpace()) return false;
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) return false;
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

bool Clip::fitsInline() const {
    if (isLink()) return true;
    const Chars t(text);
    int width = 0;
    for (int i = 0; i < t.size(); ++i) {
        const char32_t c = t.first(i);
        if (isLineBreak(c)) return false;
        width += isChinese(c) ? 2 : 1;
    }
    return width <= 80;
}

QString Clip::kind() const {
    return isLink()       ? QStringLiteral("链接")
           : fitsInline() ? QStringLiteral("短语")
                          : QStringLiteral("段落");
}

QString Clip::token() const {
    return QStringLiteral("⟦") + kind() + QString::number(number) + QStringLiteral("⟧");
}

QString Clip::label() const {
    if (isLink()) {
        QString host = QUrl(text).host();
        if (host.startsWith(QLatin1String("www."))) host.remove(0, 4);
        return QStringLiteral("🔗 ") + host;
    }
    QString flat = text;
    flat.replace(QLatin1Char('\n'), QLatin1Char(' '));
    const Chars t(flat);
    if (t.size() >= 11) flat = flat.left(t.unit(10)) + QStringLiteral("…");
    return QStringLiteral("📋 ") + flat;
}

QString Clip::content(bool inlined, bool chinese) const {
    if (isLink()) {
        if (!inlined) return text;
        return chinese ? QStringLiteral("（") + text + QStringLiteral("）")
                       : QLatin1Char('(') + text + QLatin1Char(')');
    }
    const Chars t(text);
    if (t.size() >= 2 && in(t.first(0), kOpeningMarks) && in(t.first(t.size() - 1), kClosingMarks))
        return text;
    return chinese ? QStringLiteral("“") + text + QStringLiteral("”")
                   : QLatin1Char('"') + text + QLatin1Char('"');
}

int Clip::sentenceEnd(const QString& text, int offset) {
    return sentenceEndIn(Chars(text), offset);
}

QString Clip::insert(const Waiting& waiting, const QString& sentence) {
    QString out = sentence;
    for (auto it = waiting.rbegin(); it != waiting.rend(); ++it) {
        const Chars t(out);
        out.insert(t.unit(sentenceEndIn(t, it->second)), it->first);
    }
    return out;
}

bool Clip::namesIt(const QString& text) {
    const Chars t(text);
    int end = t.size();
    while (end > 0 && isSpace(t.first(end - 1))) --end;
    int start = end;
    while (start > 0 && (isLetterOrDigit(t.first(start - 1)) || isWhite(t.first(start - 1))))
        --start;
    start = std::max(start, end - 24);
    const QString tail = text.mid(t.unit(start), t.unit(end) - t.unit(start));
    static const QRegularExpression determiner(
        QStringLiteral("\\b(this|that|these|those|the) +\\S+( +\\S+)?$"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
    if (determiner.match(tail).hasMatch()) return true;

    int mark = -1;
    for (int i = end - 1; i >= std::max(start, end - 8); --i) {
        if (t.first(i) == U'这' || t.first(i) == U'那') {
            mark = i;
            break;
        }
    }
    if (mark < 0) return false;
    int from = mark + 1;
    while (from < end && in(t.first(from), kMeasureWords)) ++from;
    if (from >= end) return false;
    return !in(t.first(end - 1), kFunctionWords);
}

QString Clip::fill(const QString& cleaned, const QString& raw, const QList<Clip>& clips,
                   bool blankLines) {
    // 1-2. The inline set, less every clip sharing a sentence with a block clip.
    QList<int> inlined;
    for (const Clip& c : clips)
        if (isInline(c, cleaned, raw)) inlined.append(c.number);
    {
        const Chars t(cleaned);
        auto endOf = [&](const Clip& c) {
            const int at = find(t, c.token());
            return at < 0 ? -1 : sentenceEndIn(t, at);
        };
        QList<int> blockEnds;
        for (const Clip& c : clips)
            if (!inlined.contains(c.number))
                if (const int e = endOf(c); e >= 0) blockEnds.append(e);
        inlined.removeIf([&](int n) {
            for (const Clip& c : clips)
                if (c.number == n) return blockEnds.contains(endOf(c));
            return false;
        });
    }

    QString out = cleaned;
    // 3. Inline asides.
    for (const Clip& c : clips) {
        if (!inlined.contains(c.number)) continue;
        const QString token = c.token();
        const Chars t(out);
        const int at = find(t, token);
        if (at < 0) continue;
        const int p = lastNonSpaceBefore(t, at);
        if (p < 0) continue;
        const int after = at + length(token);
        const int q = firstNonSpaceFrom(t, after);
        if (isChinese(t.first(p)) || (q < t.size() && isChinese(t.first(q)))) {
            out.replace(t.unit(p + 1), t.unit(q) - t.unit(p + 1), c.content(true, true));
        } else {
            QString aside = QLatin1Char(' ') + c.content(true, false);
            if (after < t.size() && isLetterOrDigit(t.first(after))) aside += QLatin1Char(' ');
            out.replace(t.unit(p + 1), t.unit(after) - t.unit(p + 1), aside);
        }
    }

    // 4. Token removal; each block clip remembers where its token stood.
    struct Placed {
        const Clip* clip;
        int offset;
    };
    std::vector<Placed> placed;
    for (const Clip& c : clips) {
        if (inlined.contains(c.number)) continue;
        const QString token = c.token();
        const Chars t(out);
        const int at = find(t, token);
        if (at < 0) {
            Log::write(QStringLiteral("Clip ") + token +
                       QStringLiteral(": not in the cleaned text, added at the end"));
            placed.push_back({&c, INT_MAX});
            continue;
        }
        const int after = at + length(token);
        const int p = lastNonSpaceBefore(t, at);
        const int q = firstNonSpaceFrom(t, after);
        const bool hasQ = q < t.size();
        bool space = false;
        if (p >= 0 && hasQ && isLetterOrDigit(t.first(p)) && isLetterOrDigit(t.first(q)) &&
            isChinese(t.first(p)) != isChinese(t.first(q))) {
            space = true;
        } else if (p >= 0 && (at > p + 1 || q > after)) {
            // A space stood on one side or both: one stays, or "this.⟦…⟧ And" would
            // glue two sentences. Against Chinese on the left and nothing but the end
            // on the right, none is put back.
            space = !isChinese(t.first(p)) || (hasQ && !isChinese(t.first(q)));
        }
        const int from = p + 1;
        const qsizetype fromUnit = t.unit(from);
        out.replace(fromUnit, t.unit(q) - fromUnit, space ? QStringLiteral(" ") : QString());
        const int removed = (q - from) - (space ? 1 : 0);
        for (Placed& earlier : placed)
            if (earlier.offset != INT_MAX && earlier.offset > from) earlier.offset -= removed;
        placed.push_back({&c, from});
    }

    // 5. Anchors, last first; clips sharing one come out in number order.
    struct Anchor {
        const Clip* clip;
        int at;
    };
    std::vector<Anchor> anchors;
    {
        const Chars t(out);
        for (const Placed& p : placed) anchors.push_back({p.clip, sentenceEndIn(t, p.offset)});
    }
    std::sort(anchors.begin(), anchors.end(), [](const Anchor& a, const Anchor& b) {
        return a.at != b.at ? a.at > b.at : a.clip->number > b.clip->number;
    });

    // 6. Blocks.
    for (const Anchor& a : anchors) {
        const Chars t(out);
        const int e = firstNonSpaceFrom(t, a.at);
        const Chars own(a.clip->text);
        bool multiline = false, chinese = false;
        for (int i = 0; i < own.size(); ++i) {
            multiline = multiline || isLineBreak(own.first(i));
            chinese = chinese || isChinese(own.first(i));
        }
        const int wanted = blankLines && multiline ? 2 : 1;
        int presentBefore = 0, presentAfter = 0;
        for (int i = a.at - 1; i >= 0 && isLineBreak(t.first(i)); --i) ++presentBefore;
        for (int i = e; i < t.size() && isLineBreak(t.first(i)); ++i) ++presentAfter;
        const int before = a.at == 0 ? 0 : std::max(0, wanted - presentBefore);
        const int after = e == t.size() ? 0 : std::max(0, wanted - presentAfter);
        const QString block = QString(before, QLatin1Char('\n')) + a.clip->content(false, chinese) +
                              QString(after, QLatin1Char('\n'));
        out.replace(t.unit(a.at), t.unit(e) - t.unit(a.at), block);
    }
    return out;
}

QString Clip::display(const QList<Clip>& clips, QString text) {
    for (const Clip& c : clips)
        text.replace(c.token(), QLatin1Char(' ') + c.label() + QLatin1Char(' '));
    return text;
}

// ---------- ClipboardWatch ----------

namespace {

// What password managers put beside a secret so that clipboard tools leave it alone:
// the KDE hint (KeePassXC, KWallet, Plasma's own tools) and the pasteboard marker
// convention (concealed, transient, generated), which some X11 tools also offer.
bool markedSecret(platform::Pasteboard& board, const QStringList& types) {
    static const QStringList markers = {
        QStringLiteral("org.nspasteboard.ConcealedType"),
        QStringLiteral("org.nspasteboard.TransientType"),
        QStringLiteral("org.nspasteboard.AutoGeneratedType"),
    };
    bool hint = false;
    for (const QString& t : types) {
        if (markers.contains(t, Qt::CaseInsensitive)) return true;
        hint = hint || t.endsWith(QLatin1String("x-kde-passwordManagerHint"), Qt::CaseInsensitive);
    }
    if (!hint) return false;
    // The KDE hint carries its meaning in its data: "secret" is one.
    for (const platform::PasteboardFormat& f : board.readAll())
        if (f.type.endsWith(QLatin1String("x-kde-passwordManagerHint"), Qt::CaseInsensitive))
            return f.data.trimmed() == "secret";
    return true;  // the hint could not be read: err on the side of the secret
}

}  // namespace

ClipboardWatch::ClipboardWatch() = default;
ClipboardWatch::~ClipboardWatch() = default;

void ClipboardWatch::start(std::function<void(const QString&)> onCopy) {
    stop();
    platform::Pasteboard& board = *platform::Platform::current().pasteboard;
    count_ = board.changeCount();
    onCopy_ = std::move(onCopy);
    timer_ = std::make_unique<QTimer>();
    timer_->setInterval(kIntervalMs);
    QObject::connect(timer_.get(), &QTimer::timeout, [this] { tick(); });
    timer_->start();
}

void ClipboardWatch::stop() {
    timer_.reset();
    onCopy_ = nullptr;
}

bool ClipboardWatch::running() const {
    return timer_ != nullptr;
}

void ClipboardWatch::tick() {
    if (!timer_) return;
    platform::Pasteboard& board = *platform::Platform::current().pasteboard;
    const quint64 count = board.changeCount();
    if (count == count_) return;
    count_ = count;
    if (board.ownedByUs()) return;  // our own paste or restore, not a copy
    const QStringList types = board.types();
    if (markedSecret(board, types)) {
        Log::write(QStringLiteral("Clip: skipped a copy marked concealed or transient"));
        return;
    }
    const std::optional<QString> text = board.text();
    if (!text) return;
    const QString trimmed = text->trimmed();
    if (trimmed.isEmpty()) return;
    // The callback may stop or restart the watch; keep it alive for the call.
    const std::function<void(const QString&)> onCopy = onCopy_;
    if (onCopy) onCopy(trimmed);
}
