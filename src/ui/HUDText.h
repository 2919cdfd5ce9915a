#pragma once
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <random>

// Text decisions of the pill that need no display: one-line transcripts, clip
// labels, what part of a long line still fits, the learned-word lines. QtCore only.
namespace HUDText {

// Width in logical pixels of a piece of text, as the pill's font draws it.
using Measure = std::function<double(const QString&)>;

// Line feeds (LF, CR, CRLF, line and paragraph separators) become single spaces.
QString oneLine(const QString& text);

// A clip as the pill names it: its token in the text, and the short label shown instead.
struct ClipLabel {
    QString token;  // "⟦" + kind + number + "⟧"
    QString label;  // "🔗 host" or "📋 first ten…"
};
// "⟦" + kind + number + "⟧"; kind is "链接" (link), "短语" (phrase) or "段落" (paragraph).
QString clipToken(const QString& kind, int number);
// Every occurrence of each clip's token, in clip order, becomes " " + label + " ".
QString withClipLabels(QString text, const QList<ClipLabel>& clips);
// A token left without a clip (its label never reached the pill) becomes a bare
// symbol of its kind, so the pill never shows the raw token.
QString withoutStrayTokens(QString text);

// The index in `text` from which the tail fits in `maxWidth` together with a leading
// ellipsis; 0 when the whole text fits. Cuts only between user-visible characters.
qsizetype tailStart(const QString& text, double maxWidth, const Measure& measure);
QString ellipsis();

// Words laid out in lines of at most maxWidth, each word once, `separator` between
// words on a line. A word wider than a line gets a line of its own.
QList<QStringList> wrapWords(const QStringList& words, const QString& separator, double maxWidth,
                             const Measure& measure);

// A new thinking word: "Thinking" when cleanup is off; else one of the thinking
// words other than `current`.
QString pickThinkingWord(bool polishEnabled, const QString& current, std::mt19937& rng);

}  // namespace HUDText
