#include "ui/HUDText.h"

#include <QRegularExpression>
#include <QTextBoundaryFinder>

#include "ui/HUDCopy.h"

namespace HUDText {

QString oneLine(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\r')) {
            out += QLatin1Char(' ');
            if (i + 1 < text.size() && text[i + 1] == QLatin1Char('\n')) ++i;
        } else if (c == QLatin1Char('\n') || c == QChar(0x2028) || c == QChar(0x2029)) {
            out += QLatin1Char(' ');
        } else {
            out += c;
        }
    }
    return out;
}

QString clipToken(const QString& kind, int number) {
    return QStringLiteral("⟦") + kind + QString::number(number) + QStringLiteral("⟧");
}

QString withClipLabels(QString text, const QList<ClipLabel>& clips) {
    for (const ClipLabel& clip : clips) {
        if (clip.token.isEmpty()) continue;
        text.replace(clip.token, QLatin1Char(' ') + clip.label + QLatin1Char(' '));
    }
    return text;
}

QString withoutStrayTokens(QString text) {
    static const QRegularExpression token(QStringLiteral("⟦(链接|短语|段落)\\d+⟧"));
    if (!text.contains(QStringLiteral("⟦"))) return text;
    QString out;
    qsizetype last = 0;
    auto it = token.globalMatch(text);
    while (it.hasNext()) {
        const auto m = it.next();
        out += QStringView(text).mid(last, m.capturedStart() - last);
        out +=
            m.captured(1) == QStringLiteral("链接") ? QStringLiteral(" 🔗 ") : QStringLiteral(" 📋 ");
        last = m.capturedEnd();
    }
    out += QStringView(text).mid(last);
    return out;
}

QString ellipsis() {
    return QStringLiteral("…");
}

qsizetype tailStart(const QString& text, double maxWidth, const Measure& measure) {
    if (text.isEmpty() || measure(text) <= maxWidth) return 0;
    // Grapheme boundaries, so an emoji or a combining mark is never cut in half.
    QList<qsizetype> starts;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    for (qsizetype p = finder.toNextBoundary(); p > 0 && p < text.size();
         p = finder.toNextBoundary())
        starts.append(p);
    if (starts.isEmpty()) return text.size();
    const double room = maxWidth - measure(ellipsis());
    // The earliest start whose tail fits; tails only get narrower further on.
    qsizetype lo = 0, hi = starts.size();  // answer in [lo, hi]; hi means nothing fits
    while (lo < hi) {
        const qsizetype mid = (lo + hi) / 2;
        if (measure(text.mid(starts[mid])) <= room)
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo < starts.size() ? starts[lo] : text.size();
}

QList<QStringList> wrapWords(const QStringList& words, const QString& separator, double maxWidth,
                             const Measure& measure) {
    QList<QStringList> lines;
    QString line;
    for (const QString& word : words) {
        if (line.isEmpty()) {
            lines.append({word});
            line = word;
            continue;
        }
        const QString longer = line + separator + word;
        if (measure(longer) <= maxWidth) {
            lines.last().append(word);
            line = longer;
        } else {
            lines.append({word});
            line = word;
        }
    }
    return lines;
}

QString pickThinkingWord(bool polishEnabled, const QString& current, std::mt19937& rng) {
    if (!polishEnabled) return HUDCopy::thinkingPlain();
    QStringList choices = HUDCopy::thinkingWords();
    choices.removeAll(current);
    std::uniform_int_distribution<qsizetype> pick(0, choices.size() - 1);
    return choices[pick(rng)];
}

}  // namespace HUDText
