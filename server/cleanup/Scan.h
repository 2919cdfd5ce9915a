#pragma once
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "Tokens.h"

// What the cleanup rules ask of tokens and token runs: which marks pause or end a
// sentence, which open or close a bracket, where the non-blank tokens are.
// Pure functions, safe from any thread.
namespace vserver::cleanup {

using Toks = std::vector<text::Token>;
using Set = std::unordered_set<std::string>;

inline bool in(const Set& set, const std::string& key) {
    return set.count(key) != 0;
}

inline bool isPunctText(const text::Token& t, std::u32string_view s) {
    return t.kind == text::Kind::punct && t.text == s;
}

inline bool isCommaLike(const text::Token& t) {
    return t.kind == text::Kind::punct && (t.text == U"," || t.text == U"，" || t.text == U"、");
}

inline bool isEllipsis(const text::Token& t) {
    return t.kind == text::Kind::punct &&
           (t.text.find(U'…') != std::u32string::npos || t.text.size() >= 2) &&
           (t.text[0] == U'.' || t.text[0] == U'…');
}

inline bool isSemicolon(const text::Token& t) {
    return t.text == U";" || t.text == U"；";
}

inline bool isColon(const text::Token& t) {
    return t.text == U":" || t.text == U"：";
}

inline bool isQuote(const text::Token& t) {
    return t.kind == text::Kind::punct && (t.text == U"\"" || t.text == U"'");
}

// A full stop, !, ? (half or full width) or an ellipsis.
inline bool isTerminal(const text::Token& t) {
    if (t.kind != text::Kind::punct) return false;
    if (isEllipsis(t)) return true;
    const char32_t c = t.text[0];
    return t.text.size() == 1 &&
           (c == '.' || c == '!' || c == '?' || c == U'。' || c == U'！' || c == U'？');
}

// Ends a sentence for capitals and language; an ellipsis only trails off.
inline bool endsSentence(const text::Token& t) {
    return isTerminal(t) && !isEllipsis(t);
}

// A mark a filler or a correction may lean on.
inline bool isPause(const text::Token& t) {
    return isCommaLike(t) || isTerminal(t) || t.kind == text::Kind::newline ||
           (t.kind == text::Kind::punct && isSemicolon(t));
}

bool isOpenPunct(const text::Token& t);
bool isClosePunct(const text::Token& t);

inline bool isClip(const text::Token& t) {
    return t.kind == text::Kind::keep && !t.text.empty() && t.text[0] == U'⟦';
}

inline bool isHanLike(const text::Token& t) {
    return t.kind == text::Kind::cjk && !text::isHangul(t.text[0]);
}

bool isLowerWord(const text::Token& t);

inline bool startsUpper(const text::Token& t) {
    return t.alpha && !t.text.empty() && text::lower(t.text[0]) != t.text[0];
}

std::u32string capitalised(std::u32string s);

// Words, CJK characters, kept text or symbols: something worth typing.
bool hasContent(const Toks& v);

// Indices of the tokens that are not blanks ("sig positions").
std::vector<size_t> sigIndex(const Toks& v);

// The tokens whose `drop` flag is not set, in order.
Toks without(Toks v, const std::vector<char>& drop);

// The CJK characters of `word` at sig positions [p, p + size), with no blanks between.
inline bool cjkAt(const Toks& v, const std::vector<size_t>& sig, size_t p,
                  std::u32string_view word) {
    if (p + word.size() > sig.size()) return false;
    for (size_t k = 0; k < word.size(); ++k) {
        const text::Token& t = v[sig[p + k]];
        if (t.kind != text::Kind::cjk || t.text[0] != word[k]) return false;
        if (k > 0 && sig[p + k] != sig[p + k - 1] + 1) return false;  // no blanks inside words
    }
    return true;
}

}  // namespace vserver::cleanup
