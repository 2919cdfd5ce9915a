#include "Fillers.h"

#include <array>
#include <string_view>

namespace vserver::cleanup {

using namespace vserver::text;

namespace {

// Always fillers, wherever they stand.
const Set& englishFillers() {
    static const Set s = {"um", "umm", "ummm", "uh",   "uhh", "uhhh", "uhm",
                          "er", "erm", "hmm",  "hmmm", "mm",  "mmm"};
    return s;
}

// A filler after these keeps the comma before it: "Yes, um, that works".
const Set& interjections() {
    static const Set s = {"yes",  "no",    "yeah",   "yep",     "nope",  "ok",
                          "okay", "well",  "oh",     "hi",      "hello", "hey",
                          "sure", "right", "thanks", "alright", "so"};
    return s;
}

// Always fillers in Chinese.
constexpr std::u32string_view kCnFillerChars = U"嗯呃呣";
// Fillers only when standing alone ("额度" is a word).
constexpr std::u32string_view kCnLoneFillerChars = U"额";
// Fillers at the start of a clause, before a comma ("啊，").
constexpr std::u32string_view kCnOpeningFillerChars = U"啊哎诶";
// "那个，" after these is a hesitation too: "我觉得那个，".
constexpr std::array<std::u32string_view, 9> kCnLeadIns = {
    U"觉得", U"就是", U"然后", U"所以", U"但是", U"因为", U"其实", U"我想", U"我说"};
// Pointing words that are hesitations before a comma.
constexpr std::array<std::u32string_view, 2> kCnHesitationWords = {U"那个", U"这个"};

bool oneOf(std::u32string_view chars, char32_t c) {
    return chars.find(c) != std::u32string_view::npos;
}

}  // namespace

Toks removeFillers(Toks v) {
    const std::vector<size_t> sig = sigIndex(v);
    std::vector<char> drop(v.size(), 0);
    auto prevIsPauseOrStart = [&](size_t p) { return p == 0 || isPause(v[sig[p - 1]]); };
    auto nextIsPauseOrEnd = [&](size_t p) { return p >= sig.size() || isPause(v[sig[p]]); };
    auto dropFollowingComma = [&](size_t p) {
        if (p < sig.size() && isCommaLike(v[sig[p]])) drop[sig[p]] = 1;
    };
    // "I think, um, we should" → "I think we should"; "Yes, um, that works" keeps its comma.
    auto dropEnglishFiller = [&](size_t first, size_t afterLast) {
        for (size_t k = first; k < afterLast; ++k) drop[sig[k]] = 1;
        const bool commaAfter = afterLast < sig.size() && isCommaLike(v[sig[afterLast]]);
        const bool commaBefore = first > 0 && isCommaLike(v[sig[first - 1]]);
        if (commaAfter) drop[sig[afterLast]] = 1;
        if (commaBefore && commaAfter &&
            !(first >= 2 && in(interjections(), v[sig[first - 2]].key)))
            drop[sig[first - 1]] = 1;
    };
    // Right after a lead-in word, with no blank between.
    auto afterLeadIn = [&](size_t p) {
        for (auto w : kCnLeadIns)
            if (p >= w.size() && cjkAt(v, sig, p - w.size(), w) && sig[p] == sig[p - 1] + 1)
                return true;
        return false;
    };

    for (size_t p = 0; p < sig.size(); ++p) {
        const Token& t = v[sig[p]];
        if (t.kind == Kind::word) {
            if (in(englishFillers(), t.key)) {
                dropEnglishFiller(p, p + 1);
                continue;
            }
            // "you know" only as a pause-word between pauses.
            if (t.key == "you" && p + 1 < sig.size() && v[sig[p + 1]].key == "know" &&
                prevIsPauseOrStart(p) && nextIsPauseOrEnd(p + 2)) {
                dropEnglishFiller(p, p + 2);
                ++p;
                continue;
            }
            // ", like, " as a hedge.
            if (t.key == "like" && p > 0 && isCommaLike(v[sig[p - 1]]) && p + 1 < sig.size() &&
                isCommaLike(v[sig[p + 1]]))
                dropEnglishFiller(p, p + 1);
            continue;
        }
        if (t.kind != Kind::cjk) continue;
        const char32_t c = t.text[0];
        if (oneOf(kCnFillerChars, c)) {
            drop[sig[p]] = 1;
            dropFollowingComma(p + 1);
            continue;
        }
        if (oneOf(kCnLoneFillerChars, c) &&
            (p + 1 >= sig.size() || isPause(v[sig[p + 1]]) || sig[p + 1] != sig[p] + 1)) {
            drop[sig[p]] = 1;
            dropFollowingComma(p + 1);
            continue;
        }
        if (oneOf(kCnOpeningFillerChars, c) && prevIsPauseOrStart(p) && p + 1 < sig.size() &&
            isCommaLike(v[sig[p + 1]])) {
            drop[sig[p]] = drop[sig[p + 1]] = 1;
            continue;
        }
        // "那个，" opening a clause or after a lead-in is a hesitation; "我要那个，红的"
        // and "那个人" are not.
        bool hesitation = false;
        for (auto w : kCnHesitationWords) hesitation = hesitation || cjkAt(v, sig, p, w);
        if (hesitation && (prevIsPauseOrStart(p) || afterLeadIn(p)) && p + 2 < sig.size() &&
            isCommaLike(v[sig[p + 2]])) {
            drop[sig[p]] = drop[sig[p + 1]] = drop[sig[p + 2]] = 1;
            ++p;
        }
    }
    return without(std::move(v), drop);
}

}  // namespace vserver::cleanup
