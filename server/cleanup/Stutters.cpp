#include "Stutters.h"

#include <array>
#include <string_view>
#include <utility>

#include "Quantities.h"

namespace vserver::cleanup {

using namespace vserver::text;

namespace {

// Doubling these is speech, not a stumble.
const Set& keepRepeats() {
    static const Set s = {
        "ha",   "haha", "hah",   "he",    "hehe", "lol",  "no",     "bye", "very",  "really",
        "so",   "yeah", "yes",   "yay",   "wow",  "oh",   "go",     "la",  "blah",  "knock",
        "now",  "tick", "tock",  "chop",  "boo",  "woo",  "hip",    "yum", "more",  "again",
        "over", "and",  "far",   "much",  "long", "zero", "one",    "two", "three", "four",
        "five", "six",  "seven", "eight", "nine", "ten",  "double", "x",   "o"};
    return s;
}

// Grammatical when doubled once ("I had had enough", "that that is").
const Set& allowTwice() {
    static const Set s = {"had", "that", "is", "was", "do", "did", "in", "can", "will", "what"};
    return s;
}

// Real prefixes: "re-read" is not a stutter.
const Set& hyphenPrefixes() {
    static const Set s = {"re",  "co",  "de",  "pre", "non", "pro",  "un",   "ex",  "bi",
                          "tri", "sub", "mid", "mis", "dis", "in",   "up",   "out", "e",
                          "x",   "t",   "u",   "a",   "o",   "anti", "semi", "self"};
    return s;
}

// Chinese one-character words a speaker doubles while starting over: "我我觉得".
constexpr std::u32string_view kCnStutterChars = U"我你他她它这那就在";
// Chinese words a speaker doubles the same way: "这个这个".
constexpr std::array<std::u32string_view, 28> kCnStutterWords = {
    U"我觉得", U"就是说", U"也就是", U"这个", U"那个", U"就是", U"然后", U"我们", U"你们", U"他们",
    U"因为",   U"所以",   U"但是",   U"如果", U"可能", U"其实", U"我想", U"觉得", U"还有", U"而且",
    U"不过",   U"这样",   U"那样",   U"怎么", U"什么", U"现在", U"应该", U"还是"};
// Characters tripled on purpose: laughter, cheers, sounds ("哈哈哈", "对对对").
constexpr std::u32string_view kCnEmphasisChars =
    U"哈呵嘿嘻啦呜啊哦噢哇对好是冲顶赞棒嗯呀哼咯嘤啧哎唉喂滴哒咚嘟噜";

bool keptWhenRepeated(const std::string& key) {
    return in(keepRepeats(), key) || isNumberWord(key);
}

// "w-we", "th-the", "I-I": fragments glued by hyphens become the last one.
void collapseHyphenated(Toks& v) {
    for (auto& t : v) {
        if (!t.alpha || t.text.find(U'-') == std::u32string::npos) continue;
        std::vector<std::u32string> parts;
        size_t start = 0;
        for (size_t k = 0; k <= t.text.size(); ++k) {
            if (k == t.text.size() || t.text[k] == U'-') {
                parts.push_back(t.text.substr(start, k - start));
                start = k + 1;
            }
        }
        const std::u32string& last = parts.back();
        const std::string lastKey = lowerKey(last);
        bool stutter = parts.size() >= 2;
        for (size_t p = 0; p + 1 < parts.size() && stutter; ++p) {
            const std::string frag = lowerKey(parts[p]);
            stutter = parts[p].size() <= 3 && lastKey.compare(0, frag.size(), frag) == 0 &&
                      !in(hyphenPrefixes(), frag) &&
                      (parts[p].size() < last.size() || !in(keepRepeats(), lastKey));
        }
        if (stutter) t = makeWord(last);
    }
}

// "th- the": a cut-off start, a dash, then the word.
void markCutOffStarts(const Toks& v, const std::vector<size_t>& sig, std::vector<char>& drop) {
    for (size_t p = 0; p + 2 < sig.size(); ++p) {
        const Token& frag = v[sig[p]];
        const Token& dash = v[sig[p + 1]];
        const Token& word = v[sig[p + 2]];
        if (frag.alpha && frag.text.size() <= 4 && isPunctText(dash, U"-") &&
            sig[p + 1] == sig[p] + 1 && sig[p + 2] > sig[p + 1] + 1 && word.alpha &&
            word.key.size() > frag.key.size() &&
            word.key.compare(0, frag.key.size(), frag.key) == 0 &&
            !in(hyphenPrefixes(), frag.key)) {
            drop[sig[p]] = drop[sig[p + 1]] = 1;
        }
    }
}

// Repeated words: "the the", "I, I think".
void markRepeatedWords(const Toks& v, const std::vector<size_t>& sig, std::vector<char>& drop) {
    for (size_t p = 0; p < sig.size(); ++p) {
        const Token& t = v[sig[p]];
        if (!t.alpha || drop[sig[p]]) continue;
        std::vector<std::pair<size_t, size_t>> run;  // (word sig pos, first sig pos to drop)
        size_t q = p;
        for (;;) {
            size_t r = q + 1;
            if (r < sig.size() && isPunctText(v[sig[r]], U",")) ++r;
            if (r < sig.size() && v[sig[r]].alpha && v[sig[r]].key == t.key) {
                run.emplace_back(r, q + 1);
                q = r;
            } else {
                break;
            }
        }
        if (run.empty()) continue;
        const size_t count = run.size() + 1;
        if (keptWhenRepeated(t.key) || (in(allowTwice(), t.key) && count == 2)) {
            p = q;
            continue;
        }
        for (const auto& [word, from] : run)
            for (size_t k = from; k <= word; ++k) drop[sig[k]] = 1;
        p = q;
    }
}

// Repeated phrases: "I think I think", "we should we should".
void markRepeatedPhrases(const Toks& v, const std::vector<size_t>& sig, std::vector<char>& drop) {
    for (size_t n = 4; n >= 2; --n) {
        for (size_t p = 0; p + 2 * n <= sig.size(); ++p) {
            if (!v[sig[p]].alpha) continue;
            bool same = true, allKept = true;
            size_t gap = 0;
            if (p + n < sig.size() && isPunctText(v[sig[p + n]], U",")) gap = 1;
            if (p + 2 * n + gap > sig.size()) continue;
            for (size_t k = 0; k < n && same; ++k) {
                const Token& a = v[sig[p + k]];
                const Token& b = v[sig[p + n + gap + k]];
                same = a.alpha && b.alpha && !drop[sig[p + k]] && !drop[sig[p + n + gap + k]] &&
                       a.key == b.key;
                allKept = allKept && same && keptWhenRepeated(a.key);
            }
            if (!same || allKept) continue;
            for (size_t k = n; k < 2 * n + gap; ++k) drop[sig[p + k]] = 1;
        }
    }
}

// Chinese: "我我觉得", "这个这个", "的的的".
void markChineseStutters(const Toks& v, const std::vector<size_t>& sig, std::vector<char>& drop) {
    for (size_t p = 0; p < sig.size(); ++p) {
        const Token& t = v[sig[p]];
        if (t.kind != Kind::cjk || drop[sig[p]]) continue;
        // A single-character word said twice: drop the first, with its comma.
        if (kCnStutterChars.find(t.text[0]) != std::u32string_view::npos) {
            size_t r = p + 1;
            if (r < sig.size() && isCommaLike(v[sig[r]])) ++r;
            if (r < sig.size() && v[sig[r]].kind == Kind::cjk && v[sig[r]].text == t.text) {
                for (size_t k = p; k < r; ++k) drop[sig[k]] = 1;
                continue;
            }
        }
        bool matched = false;
        for (std::u32string_view w : kCnStutterWords) {
            if (w[0] != t.text[0] || !cjkAt(v, sig, p, w)) continue;
            size_t r = p + w.size();
            if (r < sig.size() && isCommaLike(v[sig[r]])) ++r;
            if (cjkAt(v, sig, r, w)) {
                for (size_t k = p; k < r; ++k) drop[sig[k]] = 1;
                matched = true;
            }
            break;
        }
        if (matched) continue;
        // Three or more of the same character in a row.
        if (kCnEmphasisChars.find(t.text[0]) == std::u32string_view::npos) {
            size_t r = p + 1;
            while (r < sig.size() && sig[r] == sig[r - 1] + 1 && v[sig[r]].kind == Kind::cjk &&
                   v[sig[r]].text == t.text)
                ++r;
            if (r - p >= 3) {
                for (size_t k = p + 1; k < r; ++k) drop[sig[k]] = 1;
                p = r - 1;
            }
        }
    }
}

}  // namespace

Toks collapseStutters(Toks v) {
    collapseHyphenated(v);
    const std::vector<size_t> sig = sigIndex(v);
    std::vector<char> drop(v.size(), 0);
    markCutOffStarts(v, sig, drop);
    markRepeatedWords(v, sig, drop);
    markRepeatedPhrases(v, sig, drop);
    markChineseStutters(v, sig, drop);
    return without(std::move(v), drop);
}

}  // namespace vserver::cleanup
