#include "Cleanup.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <string>
#include <unordered_set>
#include <vector>

#include "cleanup/Tokens.h"

namespace vserver::cleanup {

using namespace vserver::text;

namespace {

using Toks = std::vector<Token>;
using Set = std::unordered_set<std::string>;

// ---------- small helpers ----------

bool in(const Set& set, const std::string& key) {
    return set.count(key) != 0;
}

bool isPunctText(const Token& t, std::u32string_view s) {
    return t.kind == Kind::punct && t.text == s;
}

bool isCommaLike(const Token& t) {
    return t.kind == Kind::punct && (t.text == U"," || t.text == U"，" || t.text == U"、");
}

bool isEllipsis(const Token& t) {
    return t.kind == Kind::punct &&
           (t.text.find(U'…') != std::u32string::npos || t.text.size() >= 2) &&
           (t.text[0] == U'.' || t.text[0] == U'…');
}

bool isTerminal(const Token& t) {
    if (t.kind != Kind::punct) return false;
    if (isEllipsis(t)) return true;
    const char32_t c = t.text[0];
    return t.text.size() == 1 &&
           (c == '.' || c == '!' || c == '?' || c == U'。' || c == U'！' || c == U'？');
}

// Ends a sentence for capitals and language; an ellipsis only trails off.
bool endsSentence(const Token& t) {
    return isTerminal(t) && !isEllipsis(t);
}

bool isPause(const Token& t) {  // a mark a filler or a correction may lean on
    return isCommaLike(t) || isTerminal(t) || t.kind == Kind::newline ||
           (t.kind == Kind::punct && (t.text == U";" || t.text == U"；"));
}

bool isOpenPunct(const Token& t) {
    if (t.kind != Kind::punct || t.text.size() != 1) return false;
    switch (t.text[0]) {
        case '(':
        case '[':
        case '{':
        case U'“':
        case U'‘':
        case U'「':
        case U'『':
        case U'《':
        case U'【':
        case U'（':
        case U'〈':
            return true;
        default:
            return false;
    }
}

bool isClosePunct(const Token& t) {
    if (t.kind != Kind::punct || t.text.size() != 1) return false;
    switch (t.text[0]) {
        case ')':
        case ']':
        case '}':
        case U'”':
        case U'’':
        case U'」':
        case U'』':
        case U'》':
        case U'】':
        case U'）':
        case U'〉':
            return true;
        default:
            return false;
    }
}

bool isClip(const Token& t) {
    return t.kind == Kind::keep && !t.text.empty() && t.text[0] == U'⟦';
}

bool isHanLike(const Token& t) {
    return t.kind == Kind::cjk && !isHangul(t.text[0]);
}

bool isLowerWord(const Token& t) {
    if (!t.alpha) return false;
    for (char32_t c : t.text)
        if (isLetter(c) && lower(c) != c) return false;
    return true;
}

bool startsUpper(const Token& t) {
    return t.alpha && !t.text.empty() && lower(t.text[0]) != t.text[0];
}

std::u32string capitalised(std::u32string s) {
    if (!s.empty()) s[0] = upper(s[0]);
    return s;
}

// Indices of the tokens that are not blanks.
std::vector<size_t> sigIndex(const Toks& v) {
    std::vector<size_t> sig;
    sig.reserve(v.size());
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i].kind != Kind::space) sig.push_back(i);
    return sig;
}

Toks without(Toks v, const std::vector<char>& drop) {
    size_t w = 0;
    for (size_t i = 0; i < v.size(); ++i)
        if (!drop[i]) {
            if (w != i) v[w] = std::move(v[i]);
            ++w;
        }
    v.resize(w);
    return v;
}

// The CJK characters at sig positions [p, p+n), when all of them are CJK.
bool cjkAt(const Toks& v, const std::vector<size_t>& sig, size_t p, std::u32string_view word) {
    if (p + word.size() > sig.size()) return false;
    for (size_t k = 0; k < word.size(); ++k) {
        const Token& t = v[sig[p + k]];
        if (t.kind != Kind::cjk || t.text[0] != word[k]) return false;
        // Chinese words carry no blanks inside.
        if (k > 0 && sig[p + k] != sig[p + k - 1] + 1) return false;
    }
    return true;
}

bool hasContent(const Toks& v) {
    for (const auto& t : v)
        if (t.kind == Kind::word || t.kind == Kind::cjk || t.kind == Kind::keep ||
            t.kind == Kind::symbol)
            return true;
    return false;
}

// ---------- word lists ----------

const Set& englishFillers() {
    static const Set s = {"um", "umm", "ummm", "uh",   "uhh", "uhhh", "uhm",
                          "er", "erm", "hmm",  "hmmm", "mm",  "mmm"};
    return s;
}

// Doubling these is speech, not a stumble.
const Set& keepRepeats() {
    static const Set s = {
        "ha",   "haha", "hah",  "he",    "hehe",  "lol",  "no",  "bye",    "very", "really",
        "so",   "yeah", "yes",  "yay",   "wow",   "oh",   "go",  "la",     "blah", "knock",
        "now",  "tick", "tock", "chop",  "boo",   "woo",  "hip", "yum",    "more", "again",
        "over", "and",  "far",  "much",  "long",  "zero", "oh",  "one",    "two",  "three",
        "four", "five", "six",  "seven", "eight", "nine", "ten", "double", "x",    "o"};
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

const Set& numberWords() {
    static const Set s = {"zero",     "one",      "two",      "three",   "four",    "five",
                          "six",      "seven",    "eight",    "nine",    "ten",     "eleven",
                          "twelve",   "thirteen", "fourteen", "fifteen", "sixteen", "seventeen",
                          "eighteen", "nineteen", "twenty",   "thirty",  "forty",   "fifty",
                          "sixty",    "seventy",  "eighty",   "ninety",  "hundred", "thousand",
                          "million",  "billion",  "half",     "dozen"};
    return s;
}

const Set& unitWords() {
    static const Set s = {"dollars", "dollar", "bucks",  "euros",   "euro",    "pounds",  "yuan",
                          "percent", "pm",     "am",     "p.m.",    "a.m.",    "o'clock", "people",
                          "persons", "hours",  "hour",   "minutes", "minute",  "seconds", "days",
                          "day",     "weeks",  "week",   "months",  "month",   "years",   "year",
                          "times",   "items",  "pages",  "copies",  "tickets", "kilos",   "kg",
                          "miles",   "km",     "meters", "pieces",  "boxes",   "slides",  "seats",
                          "guests",  "rooms",  "nights", "users",   "servers", "tables",  "cups",
                          "points",  "k",      "gb",     "mb"};
    return s;
}

int dayClass(const std::string& key) {
    static const Set weekdays = {"monday", "tuesday",  "wednesday", "thursday",
                                 "friday", "saturday", "sunday"};
    static const Set months = {"january",   "february", "march",    "april",
                               "may",       "june",     "july",     "august",
                               "september", "october",  "november", "december"};
    static const Set relative = {"today", "tomorrow", "tonight", "yesterday"};
    static const Set ordinals = {"first",   "second", "third", "fourth", "fifth", "sixth",
                                 "seventh", "eighth", "ninth", "tenth",  "last"};
    if (in(weekdays, key)) return 1;
    if (in(months, key)) return 2;
    if (in(relative, key)) return 3;
    if (in(ordinals, key)) return 4;
    return 0;
}

// Words that cannot be a name after a greeting or a sign-off.
const Set& notNames() {
    static const Set s = {
        "i",         "you",       "we",      "they",      "he",        "she",      "it",
        "me",        "us",        "them",    "my",        "your",      "our",      "their",
        "his",       "her",       "its",     "can",       "could",     "would",    "should",
        "will",      "shall",     "may",     "might",     "must",      "just",     "please",
        "thanks",    "thank",     "so",      "the",       "a",         "an",       "this",
        "that",      "these",     "those",   "is",        "are",       "was",      "were",
        "am",        "be",        "been",    "hope",      "how",       "what",     "why",
        "when",      "where",     "who",     "which",     "quick",     "sorry",    "i'm",
        "it's",      "i've",      "i'd",     "i'll",      "let's",     "here",     "hi",
        "hello",     "hey",       "good",    "great",     "and",       "or",       "but",
        "about",     "on",        "in",      "at",        "for",       "to",       "of",
        "with",      "from",      "as",      "also",      "do",        "does",     "did",
        "have",      "has",       "had",     "not",       "no",        "yes",      "ok",
        "okay",      "well",      "again",   "following", "regarding", "re",       "update",
        "if",        "there's",   "we're",   "you're",    "they're",   "wanted",   "want",
        "need",      "send",      "see",     "attached",  "today",     "tomorrow", "yesterday",
        "morning",   "afternoon", "evening", "hoping",    "hopefully", "any",      "some",
        "all",       "much",      "very",    "best",      "regards",   "cheers",   "sincerely",
        "let",       "get",       "got",     "make",      "take",      "look",     "looking",
        "going",     "forward",   "reply",   "soon",      "later",     "again",    "everyone",
        "everybody", "team",      "guys",    "folks",     "by",        "then",     "now",
        "question",  "questions", "note",    "quickly",   "first",     "last",     "one",
        "two",       "three"};
    return s;
}

const Set& greetingGroups() {
    static const Set s = {"team", "all",   "everyone", "everybody", "guys",  "folks",     "there",
                          "both", "y'all", "friends",  "sir",       "madam", "colleagues"};
    return s;
}

// Words after which "thanks" or "thank you" is part of the sentence, not a sign-off.
const Set& signOffContinuers() {
    static const Set s = {"to",     "and",  "say",   "said",    "i",    "we",     "you",
                          "really", "also", "just",  "so",      "very", "me",     "them",
                          "him",    "her",  "us",    "a",       "the",  "with",   "my",
                          "our",    "for",  "of",    "no",      "many", "big",    "special",
                          "your",   "his",  "their", "give",    "send", "extend", "express",
                          "any",    "all",  "in",    "advance", "best", "kind",   "warm"};
    return s;
}

// ---------- stutters ----------

Toks collapseStutters(Toks v) {
    // "w-we", "th-the", "I-I": fragments glued by hyphens.
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

    std::vector<size_t> sig = sigIndex(v);
    std::vector<char> drop(v.size(), 0);

    // "th- the": a cut-off start, a dash, then the word.
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

    // Repeated words: "the the", "I, I think".
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
        if (in(keepRepeats(), t.key) || in(numberWords(), t.key)) {
            p = q;
            continue;
        }
        if (in(allowTwice(), t.key) && count == 2) {
            p = q;
            continue;
        }
        for (const auto& [word, from] : run)
            for (size_t k = from; k <= word; ++k) drop[sig[k]] = 1;
        p = q;
    }

    // Repeated phrases: "I think I think", "we should we should".
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
                allKept = allKept && same && (in(keepRepeats(), a.key) || in(numberWords(), a.key));
            }
            if (!same || allKept) continue;
            for (size_t k = n; k < 2 * n + gap; ++k) drop[sig[p + k]] = 1;
        }
    }

    // Chinese: "我我觉得", "这个这个", "的的的".
    static const std::u32string stutterChars = U"我你他她它这那就在";
    static const std::array<std::u32string_view, 28> stutterWords = {
        U"我觉得", U"就是说", U"也就是", U"这个", U"那个", U"就是", U"然后",
        U"我们",   U"你们",   U"他们",   U"因为", U"所以", U"但是", U"如果",
        U"可能",   U"其实",   U"我想",   U"觉得", U"还有", U"而且", U"不过",
        U"这样",   U"那样",   U"怎么",   U"什么", U"现在", U"应该", U"还是"};
    static const std::u32string emphasis =
        U"哈呵嘿嘻啦呜啊哦噢哇对好是冲顶赞棒嗯呀哼咯嘤啧哎唉喂滴哒咚嘟噜";
    for (size_t p = 0; p < sig.size(); ++p) {
        const Token& t = v[sig[p]];
        if (t.kind != Kind::cjk || drop[sig[p]]) continue;
        // A single-character word said twice: drop the first, with its comma.
        if (stutterChars.find(t.text[0]) != std::u32string::npos) {
            size_t r = p + 1;
            if (r < sig.size() && isCommaLike(v[sig[r]])) ++r;
            if (r < sig.size() && v[sig[r]].kind == Kind::cjk && v[sig[r]].text == t.text) {
                for (size_t k = p; k < r; ++k) drop[sig[k]] = 1;
                continue;
            }
        }
        bool matched = false;
        for (std::u32string_view w : stutterWords) {
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
        if (emphasis.find(t.text[0]) == std::u32string::npos) {
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
    return without(std::move(v), drop);
}

// ---------- fillers ----------

Toks removeFillers(Toks v) {
    const std::vector<size_t> sig = sigIndex(v);
    std::vector<char> drop(v.size(), 0);
    auto prevIsPauseOrStart = [&](size_t p) { return p == 0 || isPause(v[sig[p - 1]]); };
    auto nextIsPauseOrEnd = [&](size_t p) { return p >= sig.size() || isPause(v[sig[p]]); };
    auto dropFollowingComma = [&](size_t p) {
        if (p < sig.size() && isCommaLike(v[sig[p]])) drop[sig[p]] = 1;
    };
    // "I think, um, we should" → "I think we should"; "Yes, um, that works" keeps its comma.
    static const Set interjections = {"yes",  "no",    "yeah",   "yep",     "nope",  "ok",
                                      "okay", "well",  "oh",     "hi",      "hello", "hey",
                                      "sure", "right", "thanks", "alright", "so"};
    auto dropEnglishFiller = [&](size_t first, size_t afterLast) {
        for (size_t k = first; k < afterLast; ++k) drop[sig[k]] = 1;
        const bool commaAfter = afterLast < sig.size() && isCommaLike(v[sig[afterLast]]);
        const bool commaBefore = first > 0 && isCommaLike(v[sig[first - 1]]);
        if (commaAfter) drop[sig[afterLast]] = 1;
        if (commaBefore && commaAfter && !(first >= 2 && in(interjections, v[sig[first - 2]].key)))
            drop[sig[first - 1]] = 1;
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
        if (c == U'嗯' || c == U'呃' || c == U'呣') {
            drop[sig[p]] = 1;
            dropFollowingComma(p + 1);
            continue;
        }
        // "额" is a filler only standing alone ("额度" is a word).
        if (c == U'额' &&
            (p + 1 >= sig.size() || isPause(v[sig[p + 1]]) || sig[p + 1] != sig[p] + 1)) {
            drop[sig[p]] = 1;
            dropFollowingComma(p + 1);
            continue;
        }
        if ((c == U'啊' || c == U'哎' || c == U'诶') && prevIsPauseOrStart(p) &&
            p + 1 < sig.size() && isCommaLike(v[sig[p + 1]])) {
            drop[sig[p]] = drop[sig[p + 1]] = 1;
            continue;
        }
        // "那个，" / "这个，" opening a clause, or after "我觉得", is a hesitation;
        // "我要那个，红的" and "那个人" are not.
        auto afterLeadIn = [&] {
            static const std::array<std::u32string_view, 9> leadIns = {
                U"觉得", U"就是", U"然后", U"所以", U"但是", U"因为", U"其实", U"我想", U"我说"};
            for (auto w : leadIns)
                if (p >= w.size() && cjkAt(v, sig, p - w.size(), w) && sig[p] == sig[p - 1] + 1)
                    return true;
            return false;
        };
        if ((cjkAt(v, sig, p, U"那个") || cjkAt(v, sig, p, U"这个")) &&
            (prevIsPauseOrStart(p) || afterLeadIn()) && p + 2 < sig.size() &&
            isCommaLike(v[sig[p + 2]])) {
            drop[sig[p]] = drop[sig[p + 1]] = drop[sig[p + 2]] = 1;
            ++p;
        }
    }
    return without(std::move(v), drop);
}

// ---------- spoken self-corrections ----------

struct Span {
    size_t begin = 0, end = 0;  // sig positions [begin, end)
    int cls = 0;                // 0 none; 1..4 day classes; 10 number
    std::u32string unit;        // unit words / characters after a number
    size_t unitBegin = 0;       // sig position where the unit starts (== end when none)
};

bool isNumberToken(const Token& t) {
    return t.number || (t.alpha && in(numberWords(), t.key));
}

Span englishBefore(const Toks& v, const std::vector<size_t>& sig, size_t last) {
    Span s;
    s.end = last + 1;
    const Token& t = v[sig[last]];
    if (t.alpha && dayClass(t.key)) {
        s.begin = last;
        s.cls = dayClass(t.key);
        s.unitBegin = s.end;
        return s;
    }
    size_t numEnd = last + 1;
    if (t.kind == Kind::word && !isNumberToken(t) && in(unitWords(), t.key)) {
        if (last == 0) return s;
        numEnd = last;
        s.unit = t.text;
    }
    size_t b = numEnd;
    while (b > 0 && isNumberToken(v[sig[b - 1]])) --b;
    if (b == numEnd) return Span{};
    s.begin = b;
    s.cls = 10;
    s.unitBegin = numEnd;
    return s;
}

Span englishAfter(const Toks& v, const std::vector<size_t>& sig, size_t first) {
    Span s;
    s.begin = first;
    if (first >= sig.size()) return s;
    const Token& t = v[sig[first]];
    if (t.alpha && dayClass(t.key)) {
        s.end = s.unitBegin = first + 1;
        s.cls = dayClass(t.key);
        return s;
    }
    size_t e = first;
    while (e < sig.size() && isNumberToken(v[sig[e]])) ++e;
    if (e == first) return Span{};
    s.cls = 10;
    s.unitBegin = e;
    if (e < sig.size() && v[sig[e]].kind == Kind::word && in(unitWords(), v[sig[e]].key)) {
        s.unit = v[sig[e]].text;
        ++e;
    }
    s.end = e;
    return s;
}

const std::u32string kCnDigits = U"零〇一二三四五六七八九十百千万两半";
const std::u32string kCnUnits =
    U"点个号月日天人块元次年岁本张分周倍层楼份条斤米杯位台辆件页章节课届名间套只双碗瓶箱包盒场期度"
    U"秒";

bool cnNumeric(const Token& t) {
    return (t.kind == Kind::cjk && kCnDigits.find(t.text[0]) != std::u32string::npos) || t.number;
}

// Weekdays and parts of days, two or three characters.
int cnDayWordAt(const Toks& v, const std::vector<size_t>& sig, size_t p) {
    static const std::array<std::u32string_view, 15> rel = {
        U"今天", U"明天", U"后天", U"昨天", U"前天", U"今晚", U"明晚", U"今早",
        U"明早", U"上午", U"中午", U"下午", U"晚上", U"早上", U"周末"};
    for (auto w : rel)
        if (cjkAt(v, sig, p, w)) return 2;
    static const std::u32string days = U"一二三四五六日天";
    for (std::u32string_view pre : {std::u32string_view(U"星期"), std::u32string_view(U"礼拜")})
        if (cjkAt(v, sig, p, pre) && p + 2 < sig.size() && v[sig[p + 2]].kind == Kind::cjk &&
            days.find(v[sig[p + 2]].text[0]) != std::u32string::npos)
            return 3;
    if (cjkAt(v, sig, p, U"周") && p + 1 < sig.size() && v[sig[p + 1]].kind == Kind::cjk &&
        days.find(v[sig[p + 1]].text[0]) != std::u32string::npos)
        return 2;
    return 0;
}

Span chineseBefore(const Toks& v, const std::vector<size_t>& sig, size_t last) {
    Span s;
    s.end = last + 1;
    for (size_t len = 3; len >= 2; --len) {
        if (last + 1 < len) continue;
        const size_t b = last + 1 - len;
        if (cnDayWordAt(v, sig, b) == static_cast<int>(len)) {
            s.begin = b;
            s.cls = 1;
            s.unitBegin = s.end;
            return s;
        }
    }
    size_t numEnd = last + 1;
    static const std::array<std::u32string_view, 5> units2 = {U"小时", U"分钟", U"公里", U"个月",
                                                              U"星期"};
    for (auto u : units2) {
        if (last + 1 >= u.size() + 1 && cjkAt(v, sig, last + 1 - u.size(), u)) {
            numEnd = last + 1 - u.size();
            s.unit = std::u32string(u);
            break;
        }
    }
    if (s.unit.empty() && v[sig[last]].kind == Kind::cjk &&
        kCnUnits.find(v[sig[last]].text[0]) != std::u32string::npos) {
        numEnd = last;
        s.unit = v[sig[last]].text;
    }
    size_t b = numEnd;
    while (b > 0 && cnNumeric(v[sig[b - 1]])) --b;
    if (b == numEnd) return Span{};
    if (b > 0 && cjkAt(v, sig, b - 1, U"第")) --b;
    s.begin = b;
    s.cls = 10;
    s.unitBegin = numEnd;
    return s;
}

Span chineseAfter(const Toks& v, const std::vector<size_t>& sig, size_t first) {
    Span s;
    s.begin = first;
    if (first >= sig.size()) return s;
    if (int len = cnDayWordAt(v, sig, first)) {
        s.end = s.unitBegin = first + static_cast<size_t>(len);
        s.cls = 1;
        return s;
    }
    size_t e = first;
    if (cjkAt(v, sig, e, U"第")) ++e;
    const size_t numStart = e;
    while (e < sig.size() && cnNumeric(v[sig[e]])) ++e;
    if (e == numStart) return Span{};
    s.cls = 10;
    s.unitBegin = e;
    static const std::array<std::u32string_view, 5> units2 = {U"小时", U"分钟", U"公里", U"个月",
                                                              U"星期"};
    for (auto u : units2) {
        if (cjkAt(v, sig, e, u)) {
            s.unit = std::u32string(u);
            e += u.size();
            s.end = e;
            return s;
        }
    }
    if (e < sig.size() && v[sig[e]].kind == Kind::cjk &&
        kCnUnits.find(v[sig[e]].text[0]) != std::u32string::npos) {
        s.unit = v[sig[e]].text;
        ++e;
    }
    s.end = e;
    return s;
}

std::u32string spanText(const Toks& v, const std::vector<size_t>& sig, const Span& s) {
    std::u32string out;
    for (size_t k = s.begin; k < s.end; ++k) out += v[sig[k]].text;
    return out;
}

Toks applyCorrections(Toks v) {
    // Each pass applies every correction that does not overlap another; a second pass
    // catches corrections of corrections.
    for (int round = 0; round < 4; ++round) {
        const std::vector<size_t> sig = sigIndex(v);
        std::vector<char> drop(v.size(), 0);
        std::vector<std::pair<size_t, std::u32string>>
            carries;  // (raw index, unit), with whether Chinese below
        std::vector<char> carryChinese;
        size_t claimed = 0;  // sig positions before this are part of an earlier correction
        bool changed = false;
        for (size_t m = 1; m < sig.size(); ++m) {
            const Token& t = v[sig[m]];
            size_t markerLen = 0;
            bool chinese = false, needsComma = false;
            if (t.kind == Kind::word) {
                static const std::string none;
                auto keyAt = [&](size_t p) -> const std::string& {
                    return p < sig.size() ? v[sig[p]].key : none;
                };
                if (t.key == "no" && keyAt(m + 1) == "wait")
                    markerLen = 2;
                else if (t.key == "i" && (keyAt(m + 1) == "mean" || keyAt(m + 1) == "meant"))
                    markerLen = 2;
                else if (t.key == "or" && keyAt(m + 1) == "rather")
                    markerLen = 2;
                else if (t.key == "no" || t.key == "sorry" || t.key == "wait" ||
                         t.key == "actually" || t.key == "rather")
                    markerLen = 1;
            } else if (t.kind == Kind::cjk) {
                static const std::array<std::pair<std::u32string_view, bool>, 9> markers = {
                    {{U"我说错了", false},
                     {U"不好意思", false},
                     {U"说错了", false},
                     {U"我是说", false},
                     {U"应该是", true},
                     {U"不对", true},
                     {U"不是", true},
                     {U"哦不", false},
                     {U"不不", false}}};
                for (const auto& [w, comma] : markers) {
                    if (cjkAt(v, sig, m, w)) {
                        markerLen = w.size();
                        needsComma = comma;
                        chinese = true;
                        break;
                    }
                }
            }
            if (!markerLen) continue;
            size_t a = m - 1;
            const bool commaBefore = isCommaLike(v[sig[a]]);
            if (commaBefore) {
                if (a == 0) continue;
                --a;
            }
            size_t b = m + markerLen;
            const bool commaAfter = b < sig.size() && isCommaLike(v[sig[b]]);
            if (commaAfter) ++b;
            if (b >= sig.size()) continue;
            if (needsComma && !commaBefore) continue;
            Span before = chinese ? chineseBefore(v, sig, a) : englishBefore(v, sig, a);
            Span after = chinese ? chineseAfter(v, sig, b) : englishAfter(v, sig, b);
            if (!before.cls || before.cls != after.cls || before.begin < claimed) continue;
            if (!chinese) {
                // "two no one likes it": bare "no one" is a phrase, not a correction.
                if (t.key == "no" && markerLen == 1 && !commaBefore && !commaAfter &&
                    v[sig[b]].key == "one")
                    continue;
                // "you may, no, …": the verb, not the month.
                static const Set pronouns = {"i", "you", "we", "they", "he", "she", "it"};
                if (v[sig[before.begin]].key == "may" && before.begin > 0 &&
                    in(pronouns, v[sig[before.begin - 1]].key))
                    continue;
            }
            if (spanText(v, sig, before) == spanText(v, sig, after)) continue;
            if (!before.unit.empty() && !after.unit.empty() &&
                lowerKey(before.unit) != lowerKey(after.unit) && before.cls == 10)
                continue;  // "three dollars, no, four people" is not one thing corrected

            // Drop the first version, the marker and its commas; carry a unit over.
            for (size_t i = sig[before.begin]; i < sig[after.begin]; ++i) drop[i] = 1;
            if (after.unit.empty() && !before.unit.empty()) {
                carries.emplace_back(sig[after.end - 1], before.unit);
                carryChinese.push_back(chinese);
            }
            claimed = after.end;
            m = after.end - 1;
            changed = true;
        }
        if (!changed) break;
        Toks next;
        next.reserve(v.size() + 2 * carries.size());
        size_t c = 0;
        for (size_t i = 0; i < v.size(); ++i) {
            if (!drop[i]) next.push_back(std::move(v[i]));
            for (; c < carries.size() && carries[c].first == i; ++c) {
                if (carryChinese[c]) {
                    for (char32_t ch : carries[c].second)
                        next.push_back(Token{Kind::cjk, std::u32string(1, ch), encode(ch)});
                } else {
                    next.push_back(makeSpace());
                    next.push_back(makeWord(carries[c].second));
                }
            }
        }
        v = std::move(next);
    }
    return v;
}

// ---------- rendering one line of prose ----------

enum class End { add, none, strip };

struct Render {
    bool capitalise = true;
    bool convertWidth = true;
    bool fixSpacing = true;
    End end = End::add;
};

struct Item {
    Token t;
    bool spaceBefore = false;
};

bool sentenceIsChinese(const std::vector<Item>& items, size_t b, size_t e) {
    size_t han = 0, words = 0;
    for (size_t k = b; k < e; ++k) {
        if (items[k].t.kind == Kind::cjk)
            ++han;
        else if (items[k].t.alpha)
            ++words;
    }
    return han > 0 && 2 * han > 3 * words;
}

bool isQuestionEnglish(const std::vector<Item>& items, size_t b, size_t e) {
    // "Quick question: are you free": the clause after a colon asks.
    for (size_t k = e; k > b; --k)
        if (items[k - 1].t.kind == Kind::punct &&
            (items[k - 1].t.text == U":" || items[k - 1].t.text == U"：")) {
            if (k < e) b = k;
            break;
        }
    // "Hey, how are you": greetings and links before the question do not count.
    static const Set leadIns = {"hey",  "hi", "hello", "so",  "ok",   "okay",
                                "well", "oh", "and",   "but", "also", "anyway"};
    while (b < e && ((items[b].t.kind == Kind::word && in(leadIns, items[b].t.key)) ||
                     isCommaLike(items[b].t)))
        ++b;
    std::vector<std::string> words;
    for (size_t k = b; k < e && words.size() < 2; ++k)
        if (items[k].t.kind == Kind::word)
            words.push_back(items[k].t.key);
        else if (!isOpenPunct(items[k].t))
            break;
    if (words.size() < 2) return false;
    static const Set wh = {"what", "why", "where", "who", "which", "how", "whose", "whom"};
    static const Set whNot = {"i", "we", "you", "they", "he", "she", "a", "an", "it"};
    static const Set aux = {"is",      "are",    "am",     "was",      "were",      "can",
                            "could",   "would",  "should", "will",     "shall",     "do",
                            "does",    "did",    "isn't",  "aren't",   "can't",     "don't",
                            "doesn't", "didn't", "won't",  "wouldn't", "shouldn't", "couldn't",
                            "have",    "has",    "may"};
    static const Set subject = {"you",     "we",     "i",       "they",     "he",       "she",
                                "it",      "this",   "that",    "there",    "these",    "those",
                                "someone", "anyone", "anybody", "everyone", "somebody", "y'all"};
    if (words[0] == "when") return in(aux, words[1]);
    if (in(wh, words[0])) return !in(whNot, words[1]);
    if (in(aux, words[0]) && words[0] != "have" && words[0] != "has") return in(subject, words[1]);
    return false;
}

bool isQuestionChinese(const std::vector<Item>& items, size_t b, size_t e) {
    std::u32string han, clause;
    for (size_t k = b; k < e; ++k) {
        if (items[k].t.kind == Kind::cjk) {
            han += items[k].t.text;
            clause += items[k].t.text;
        } else if (isCommaLike(items[k].t)) {
            clause.clear();
        }
    }
    if (han.empty()) return false;
    if (han.back() == U'吗') return true;
    if (han.back() == U'呢' && clause.size() <= 5)
        return true;  // "你呢", "你觉得呢"; not "我还在想这件事呢"
    for (size_t k = 0; k + 2 < han.size(); ++k)
        if (han[k + 1] == U'不' && han[k] == han[k + 2] && han[k] != U'不')
            return true;  // 是不是, 能不能
    if (han.find(U"有没有") != std::u32string::npos ||
        han.find(U"可不可以") != std::u32string::npos)
        return true;
    for (std::u32string_view start :
         {std::u32string_view(U"为什么"), std::u32string_view(U"怎么"), std::u32string_view(U"谁"),
          std::u32string_view(U"哪"), std::u32string_view(U"多少")})
        if (han.compare(0, start.size(), start) == 0) return true;
    return false;
}

bool needsSpace(const Token& l, const Token& r, bool had) {
    const bool lFull = l.kind == Kind::punct && isFullWidthPunct(l.text[0]);
    const bool rFull = r.kind == Kind::punct && isFullWidthPunct(r.text[0]);
    if (lFull || rFull) return false;
    if (r.kind == Kind::punct &&
        (isClosePunct(r) || isTerminal(r) || isCommaLike(r) || r.text == U";" || r.text == U":"))
        return false;
    if (isOpenPunct(l)) return false;
    if (r.kind == Kind::punct && (r.text == U"\"" || r.text == U"'")) return had;
    if (l.kind == Kind::punct && (l.text == U"\"" || l.text == U"'")) return had;
    if (l.kind == Kind::punct &&
        (isTerminal(l) || isCommaLike(l) || l.text == U";" || l.text == U":"))
        return r.kind == Kind::word || r.kind == Kind::keep || r.kind == Kind::cjk ||
               r.kind == Kind::symbol || isOpenPunct(r);
    if (l.kind == Kind::punct || r.kind == Kind::punct) return had;
    if (isClip(l) || isClip(r)) return had;
    const bool lLatin = l.kind == Kind::word || l.kind == Kind::keep;
    const bool rLatin = r.kind == Kind::word || r.kind == Kind::keep;
    if (isHanLike(l) && isHanLike(r)) return false;
    if ((isHanLike(l) && rLatin) || (lLatin && isHanLike(r))) return true;
    return had;
}

char32_t toFullWidth(char32_t c) {
    switch (c) {
        case ',':
            return U'，';
        case ';':
            return U'；';
        case ':':
            return U'：';
        case '!':
            return U'！';
        case '?':
            return U'？';
        case '.':
            return U'。';
        default:
            return c;
    }
}

char32_t toHalfWidth(char32_t c) {
    switch (c) {
        case U'，':
        case U'、':
            return ',';
        case U'；':
            return ';';
        case U'：':
            return ':';
        case U'！':
            return '!';
        case U'？':
            return '?';
        case U'。':
            return '.';
        case U'（':
            return '(';
        case U'）':
            return ')';
        default:
            return c;
    }
}

std::u32string renderLine(const Toks& line, const Render& opt) {
    // Reused between calls (never nested): long texts then cost no fresh pages each time.
    thread_local std::vector<Item> items, tidy;
    items.clear();
    items.reserve(line.size());
    bool pending = false;
    for (const auto& t : line) {
        if (t.kind == Kind::space || t.kind == Kind::newline) {
            pending = !items.empty();
            continue;
        }
        items.push_back(Item{t, pending});
        pending = false;
    }
    if (items.empty()) return {};

    if (opt.fixSpacing) {
        // Nothing may open a line with a comma or a full stop.
        size_t lead = 0;
        while (lead < items.size() && items[lead].t.kind == Kind::punct &&
               (isCommaLike(items[lead].t) ||
                (isTerminal(items[lead].t) && !isEllipsis(items[lead].t)) ||
                items[lead].t.text == U";" || items[lead].t.text == U"；" ||
                items[lead].t.text == U":" || items[lead].t.text == U"："))
            ++lead;
        items.erase(items.begin(), items.begin() + static_cast<long>(lead));
        // ",," → ","; ", ." → "."; ". ," → "."; ".." stays an ellipsis token.
        tidy.clear();
        tidy.reserve(items.size());
        for (auto& it : items) {
            if (!tidy.empty()) {
                const Token& prev = tidy.back().t;
                if (isCommaLike(prev) && isCommaLike(it.t)) continue;
                if (isCommaLike(prev) && isTerminal(it.t)) {
                    tidy.back() = it;
                    continue;
                }
                if (endsSentence(prev) && isCommaLike(it.t)) continue;
                if (endsSentence(prev) && endsSentence(it.t) && prev.text == it.t.text &&
                    prev.text[0] != '!' && prev.text[0] != '?' && prev.text[0] != U'！' &&
                    prev.text[0] != U'？')
                    continue;
            }
            tidy.push_back(std::move(it));
        }
        items.swap(tidy);
        if (items.empty()) return {};
    }

    // Sentences: [begin, end) ranges ending after a full stop, ! or ?.
    std::vector<std::pair<size_t, size_t>> sentences;
    size_t from = 0;
    for (size_t k = 0; k < items.size(); ++k) {
        if (endsSentence(items[k].t)) {
            size_t e = k + 1;
            while (e < items.size() && isClosePunct(items[e].t)) ++e;
            sentences.emplace_back(from, e);
            from = e;
            k = e - 1;
        }
    }
    if (from < items.size()) sentences.emplace_back(from, items.size());

    std::vector<char> chinese(sentences.size(), 0);
    for (size_t s = 0; s < sentences.size(); ++s) {
        chinese[s] = sentenceIsChinese(items, sentences[s].first, sentences[s].second);
        if (!opt.convertWidth) continue;
        for (size_t k = sentences[s].first; k < sentences[s].second; ++k) {
            Token& t = items[k].t;
            if (t.kind != Kind::punct) continue;
            if (chinese[s]) {
                if (isEllipsis(t) && t.text[0] == '.')
                    t.text = U"……";
                else if (t.text.size() == 1)
                    t.text[0] = toFullWidth(t.text[0]);
            } else {
                if (t.text == U"……")
                    t.text = U"...";
                else if (t.text.size() == 1)
                    t.text[0] = toHalfWidth(t.text[0]);
            }
        }
    }

    if (opt.capitalise) {
        for (size_t s = 0; s < sentences.size(); ++s) {
            if (chinese[s]) continue;
            for (size_t k = sentences[s].first; k < sentences[s].second; ++k) {
                Token& t = items[k].t;
                if (isOpenPunct(t) ||
                    (t.kind == Kind::punct && (t.text == U"\"" || t.text == U"'")))
                    continue;
                if (t.key == "ok" && isLowerWord(t))
                    t.text = U"OK";
                else if (isLowerWord(t))
                    t.text = capitalised(t.text);
                break;
            }
        }
        // "I", weekdays and the months that are no other word.
        static const Set proper = {"i",        "i'm",     "i'd",       "i'll",      "i've",
                                   "monday",   "tuesday", "wednesday", "thursday",  "friday",
                                   "saturday", "sunday",  "january",   "february",  "april",
                                   "june",     "july",    "august",    "september", "october",
                                   "november", "december"};
        for (auto& it : items)
            if (isLowerWord(it.t) && in(proper, it.t.key)) it.t.text = capitalised(it.t.text);
    }

    // The close of the line.
    auto lastSentenceChinese = [&] { return !chinese.empty() && chinese.back(); };
    if (opt.end == End::add) {
        const Token& last = items.back().t;
        bool closed = isTerminal(last) || last.kind == Kind::symbol || last.text == U":" ||
                      last.text == U"：" || (last.kind == Kind::word && last.text.back() == U'.');
        if (!closed && isClosePunct(last) && items.size() >= 2 &&
            isTerminal(items[items.size() - 2].t))
            closed = true;
        if (!closed && items.size() == 1 && (last.kind == Kind::keep || last.number)) closed = true;
        if (!closed && last.kind == Kind::keep && !isClip(last) && last.text.back() == U'`')
            closed = true;
        if (!closed) {
            if (isCommaLike(last) || last.text == U";" || last.text == U"；") items.pop_back();
            if (!items.empty()) {
                const auto [b, e] = sentences.back();
                const bool zh = lastSentenceChinese();
                const bool question = zh ? isQuestionChinese(items, b, std::min(e, items.size()))
                                         : isQuestionEnglish(items, b, std::min(e, items.size()));
                const char32_t mark = zh ? (question ? U'？' : U'。') : (question ? U'?' : U'.');
                items.push_back(Item{makePunct(mark), false});
            }
        }
    } else if (opt.end == End::strip) {
        while (!items.empty()) {
            const Token& last = items.back().t;
            if (isCommaLike(last) || last.text == U";" || last.text == U"；" || last.text == U"." ||
                last.text == U"。" || last.text == U":" || last.text == U"：")
                items.pop_back();
            else
                break;
        }
    }

    std::u32string out;
    for (size_t k = 0; k < items.size(); ++k) {
        if (k > 0) {
            const bool space = opt.fixSpacing
                                   ? needsSpace(items[k - 1].t, items[k].t, items[k].spaceBefore)
                                   : items[k].spaceBefore;
            if (space) out.push_back(U' ');
        }
        out += items[k].t.text;
    }
    return out;
}

// A list line: "- item", "• item", "3. item", "3) item". Returns the marker's token count.
size_t listMarker(const Toks& line) {
    const std::vector<size_t> sig = sigIndex(line);
    if (sig.size() < 2) return 0;
    const Token& a = line[sig[0]];
    if (a.kind == Kind::punct && (a.text == U"-" || a.text == U"•" || a.text == U"*") &&
        sig[1] > sig[0] + 1)
        return sig[0] + 1;
    if (a.kind == Kind::symbol && (a.text == U"*" || a.text == U"•") && sig[1] > sig[0] + 1)
        return sig[0] + 1;
    if (a.number && a.text.size() <= 3 && std::all_of(a.text.begin(), a.text.end(), isDigit) &&
        sig.size() >= 3 && (line[sig[1]].text == U"." || line[sig[1]].text == U")") &&
        sig[1] == sig[0] + 1 && sig[2] > sig[1] + 1)
        return sig[1] + 1;
    return 0;
}

std::vector<Toks> splitLines(const Toks& v) {
    std::vector<Toks> lines(1);
    lines.back().reserve(v.size());
    for (const auto& t : v) {
        if (t.kind == Kind::newline)
            lines.emplace_back();
        else
            lines.back().push_back(t);
    }
    return lines;
}

// Lines rendered one by one; at most one empty line between paragraphs.
std::u32string renderText(const Toks& v, const Render& opt) {
    std::u32string out;
    int blank = 0;
    bool any = false;
    for (const Toks& line : splitLines(v)) {
        std::u32string rendered;
        if (const size_t marker = listMarker(line)) {
            Render itemOpt = opt;
            if (itemOpt.end == End::add) itemOpt.end = End::none;
            const Toks rest(line.begin() + static_cast<long>(marker), line.end());
            std::u32string head;
            for (size_t k = 0; k < marker; ++k)
                if (line[k].kind != Kind::space) head += line[k].text;
            const std::u32string body = renderLine(rest, itemOpt);
            rendered = body.empty() ? std::u32string() : head + U" " + body;
        } else {
            rendered = renderLine(line, opt);
        }
        if (rendered.empty()) {
            ++blank;
            continue;
        }
        if (any) out += blank > 0 ? U"\n\n" : U"\n";
        out += rendered;
        any = true;
        blank = 0;
    }
    return out;
}

// ---------- mail ----------

struct MailParts {
    bool greeting = false, signOff = false;
    std::u32string greetingText, signOffText;
    size_t bodyBegin = 0, bodyEnd = 0;  // raw token indices
};

std::u32string titleWords(const Toks& v, const std::vector<size_t>& sig, size_t b, size_t e,
                          bool keepGroupsLower) {
    std::u32string out;
    for (size_t k = b; k < e; ++k) {
        const Token& t = v[sig[k]];
        if (!out.empty()) out.push_back(U' ');
        const bool lowerWord =
            t.key == "and" || t.key == "or" || (keepGroupsLower && in(greetingGroups(), t.key));
        out += (isLowerWord(t) && !lowerWord) ? capitalised(t.text) : t.text;
    }
    return out;
}

bool findEnglishGreeting(const Toks& v, const std::vector<size_t>& sig, MailParts& m,
                         size_t& bodySig) {
    if (sig.empty() || !v[sig[0]].alpha) return false;
    const std::string& k0 = v[sig[0]].key;
    size_t g = 0;
    static const Set hello = {"hi", "hello", "hey", "dear", "greetings", "morning", "hiya"};
    if (in(hello, k0))
        g = 1;
    else if (k0 == "good" && sig.size() > 1 &&
             (v[sig[1]].key == "morning" || v[sig[1]].key == "afternoon" ||
              v[sig[1]].key == "evening"))
        g = 2;
    if (!g) return false;
    std::u32string greet = capitalised(v[sig[0]].text);
    if (g == 2) greet += U" " + v[sig[1]].text;

    // With punctuation: the words up to the first comma are the names.
    size_t k = g;
    bool cleanNames = true;
    while (k < sig.size() && k - g < 5 && v[sig[k]].alpha) {
        const std::string& key = v[sig[k]].key;
        if (in(notNames(), key) && !in(greetingGroups(), key) && key != "and" && key != "or")
            cleanNames = false;
        ++k;
    }
    size_t nameEnd;
    if (k < sig.size() && cleanNames &&
        (isCommaLike(v[sig[k]]) || v[sig[k]].kind == Kind::newline ||
         isPunctText(v[sig[k]], U"!") || isPunctText(v[sig[k]], U"！") ||
         isPunctText(v[sig[k]], U":") || isPunctText(v[sig[k]], U"."))) {
        nameEnd = k;
        bodySig = k + 1;
    } else {
        // Without: one lower-case name, or capitalised names, or a group word.
        nameEnd = g;
        if (g < sig.size() && v[sig[g]].alpha) {
            const Token& w = v[sig[g]];
            if (in(greetingGroups(), w.key)) {
                nameEnd = g + 1;
                if (w.key == "sir" && g + 2 < sig.size() && v[sig[g + 1]].key == "or" &&
                    v[sig[g + 2]].key == "madam")
                    nameEnd = g + 3;
            } else if (!in(notNames(), w.key)) {
                nameEnd = g + 1;
                if (startsUpper(w)) {
                    while (nameEnd < sig.size() && nameEnd < g + 3 &&
                           startsUpper(v[sig[nameEnd]]) && !in(notNames(), v[sig[nameEnd]].key))
                        ++nameEnd;
                }
                if (nameEnd + 1 < sig.size() && v[sig[nameEnd]].key == "and" &&
                    v[sig[nameEnd + 1]].alpha && !in(notNames(), v[sig[nameEnd + 1]].key) &&
                    nameEnd + 2 < sig.size())
                    nameEnd += 2;
            }
        }
        bodySig = nameEnd;
    }
    if (nameEnd > g) greet += U" " + titleWords(v, sig, g, nameEnd, true);
    m.greeting = true;
    m.greetingText = greet + U",";
    return true;
}

bool findChineseGreeting(const Toks& v, const std::vector<size_t>& sig, MailParts& m,
                         size_t& bodySig) {
    static const std::u32string notPrefix = U"我很也都不吗说还挺真";
    static const std::array<std::u32string_view, 18> titles = {
        U"总",   U"老师", U"经理", U"们", U"位",   U"家",   U"同事", U"同学", U"领导",
        U"先生", U"女士", U"哥",   U"姐", U"老板", U"主任", U"教授", U"医生", U"律师"};
    std::u32string seen;
    size_t commaAt = 0;
    for (size_t p = 0; p < sig.size() && p < 9; ++p) {
        const Token& t = v[sig[p]];
        if (isCommaLike(t) && !commaAt && p > 0) {
            commaAt = p;
            continue;
        }
        if (t.kind != Kind::cjk) return false;
        seen += t.text;
        if (t.text[0] != U'好') {
            if (notPrefix.find(t.text[0]) != std::u32string::npos) return false;
            continue;
        }
        // "……好" closes a greeting after 你/您 or after a title.
        const std::u32string before = seen.substr(0, seen.size() - 1);
        bool ok = !before.empty() && (before.back() == U'你' || before.back() == U'您');
        for (auto title : titles)
            ok = ok || (before.size() >= title.size() &&
                        before.compare(before.size() - title.size(), title.size(), title) == 0);
        if (!ok || before.size() > 6) return false;
        if (p + 1 < sig.size() && v[sig[p + 1]].kind == Kind::cjk && v[sig[p + 1]].text[0] == U'吗')
            return false;
        std::u32string text;
        for (size_t k = 0; k <= p; ++k) text += isCommaLike(v[sig[k]]) ? U"，" : v[sig[k]].text;
        m.greeting = true;
        m.greetingText = text + U"，";
        bodySig = p + 1;
        while (bodySig < sig.size() && v[sig[bodySig]].kind == Kind::punct &&
               !isOpenPunct(v[sig[bodySig]]))
            ++bodySig;
        return true;
    }
    return false;
}

struct Phrase {
    std::vector<const char*> words;
    bool needsBreak;  // only after punctuation or a line end
};

bool findEnglishSignOff(const Toks& v, const std::vector<size_t>& sig, size_t bodySig, MailParts& m,
                        size_t& signSig) {
    static const std::vector<Phrase> phrases = {{{"thank", "you", "so", "much"}, false},
                                                {{"thanks", "so", "much"}, false},
                                                {{"thanks", "in", "advance"}, false},
                                                {{"thank", "you"}, false},
                                                {{"many", "thanks"}, false},
                                                {{"thanks", "again"}, false},
                                                {{"thanks"}, false},
                                                {{"best", "regards"}, false},
                                                {{"kind", "regards"}, false},
                                                {{"warm", "regards"}, false},
                                                {{"warmest", "regards"}, false},
                                                {{"regards"}, false},
                                                {{"cheers"}, false},
                                                {{"yours", "sincerely"}, false},
                                                {{"sincerely"}, false},
                                                {{"yours", "truly"}, false},
                                                {{"all", "the", "best"}, false},
                                                {{"best", "wishes"}, false},
                                                {{"best"}, true},
                                                {{"take", "care"}, true},
                                                {{"talk", "soon"}, true}};
    const size_t from = std::max(bodySig + 1, sig.size() > 10 ? sig.size() - 10 : size_t{0});
    for (size_t p = from; p < sig.size(); ++p) {
        for (const Phrase& ph : phrases) {
            size_t q = p;
            bool match = true;
            for (const char* w : ph.words) {
                if (q >= sig.size() || v[sig[q]].key != w) {
                    match = false;
                    break;
                }
                ++q;
            }
            if (!match) continue;
            // What stands before decides whether this closes the mail.
            const Token& prev = v[sig[p - 1]];
            const bool afterBreak =
                isPause(prev) || isPunctText(prev, U"!") || prev.kind == Kind::newline;
            if (!afterBreak && (ph.needsBreak || !prev.alpha || in(signOffContinuers(), prev.key)))
                continue;
            size_t phraseEnd = q;
            if (q < sig.size() && v[sig[q]].alpha &&
                (v[sig[q]].key == "everyone" || v[sig[q]].key == "all" || v[sig[q]].key == "guys" ||
                 v[sig[q]].key == "team"))
                phraseEnd = ++q;
            while (q < sig.size() &&
                   (isCommaLike(v[sig[q]]) || isPunctText(v[sig[q]], U"!") ||
                    isPunctText(v[sig[q]], U".") || v[sig[q]].kind == Kind::newline))
                ++q;
            const size_t nameBegin = q;
            while (q < sig.size() && q - nameBegin < 3 && v[sig[q]].alpha &&
                   !in(notNames(), v[sig[q]].key))
                ++q;
            const size_t nameEnd = q;
            while (q < sig.size() && (isTerminal(v[sig[q]]) || isCommaLike(v[sig[q]]))) ++q;
            if (q != sig.size()) continue;
            std::u32string text;
            for (size_t k = p; k < phraseEnd; ++k) {
                if (k > p) text.push_back(U' ');
                text += k == p ? capitalised(v[sig[k]].text) : v[sig[k]].text;
            }
            text += U",";
            if (nameEnd > nameBegin) text += U"\n" + titleWords(v, sig, nameBegin, nameEnd, false);
            m.signOff = true;
            m.signOffText = text;
            signSig = p;
            return true;
        }
    }
    return false;
}

bool findChineseSignOff(const Toks& v, const std::vector<size_t>& sig, size_t bodySig, MailParts& m,
                        size_t& signSig) {
    static const std::array<std::pair<std::u32string_view, std::u32string_view>, 16> phrases = {
        {{U"此致敬礼", U"此致\n敬礼！"},
         {U"顺祝商祺", U"顺祝商祺！"},
         {U"祝工作顺利", U"祝工作顺利！"},
         {U"祝一切顺利", U"祝一切顺利！"},
         {U"期待您的回复", U"期待您的回复。"},
         {U"期待你的回复", U"期待你的回复。"},
         {U"期待回复", U"期待回复。"},
         {U"谢谢大家", U"谢谢大家！"},
         {U"非常感谢", U"非常感谢！"},
         {U"祝商祺", U"祝商祺！"},
         {U"谢谢您", U"谢谢您！"},
         {U"谢谢你", U"谢谢你！"},
         {U"多谢", U"多谢！"},
         {U"谢谢", U"谢谢！"},
         {U"祝好", U"祝好！"},
         {U"此致", U"此致"}}};
    size_t end = sig.size();
    while (end > 0 && (isTerminal(v[sig[end - 1]]) || isCommaLike(v[sig[end - 1]]) ||
                       v[sig[end - 1]].kind == Kind::newline))
        --end;
    // "此致\n敬礼！" written out already.
    if (end >= 4 && cjkAt(v, sig, end - 2, U"敬礼")) {
        size_t p = end - 2;
        while (p > 0 && (v[sig[p - 1]].kind == Kind::newline || isCommaLike(v[sig[p - 1]]))) --p;
        if (p >= 2 && cjkAt(v, sig, p - 2, U"此致") && p - 2 > bodySig) {
            m.signOff = true;
            m.signOffText = U"此致\n敬礼！";
            signSig = p - 2;
            return true;
        }
    }
    for (const auto& [w, text] : phrases) {
        if (end < w.size() || end - w.size() <= bodySig) continue;
        const size_t p = end - w.size();
        if (!cjkAt(v, sig, p, w)) continue;
        if (p > 0 && v[sig[p - 1]].kind == Kind::cjk && v[sig[p - 1]].text[0] == U'不')
            continue;  // "不用谢谢"
        m.signOff = true;
        m.signOffText = std::u32string(text);
        signSig = p;
        return true;
    }
    return false;
}

std::u32string shapeMail(const Toks& v, const Render& prose) {
    const std::vector<size_t> sig = sigIndex(v);
    MailParts m;
    size_t bodySig = 0;
    if (!findEnglishGreeting(v, sig, m, bodySig)) findChineseGreeting(v, sig, m, bodySig);
    size_t signSig = sig.size();
    if (!findEnglishSignOff(v, sig, bodySig, m, signSig))
        findChineseSignOff(v, sig, bodySig, m, signSig);
    if (!m.greeting && !m.signOff) return renderText(v, prose);
    const size_t bodyBegin = bodySig < sig.size() ? sig[bodySig] : v.size();
    const size_t bodyEnd = signSig < sig.size() ? sig[signSig] : v.size();
    Toks body;
    if (bodyBegin < bodyEnd)
        body.assign(v.begin() + static_cast<long>(bodyBegin),
                    v.begin() + static_cast<long>(bodyEnd));
    const std::u32string bodyText = renderText(body, prose);
    if (bodyText.empty()) return renderText(v, prose);
    std::u32string out;
    if (m.greeting) out += m.greetingText + U"\n\n";
    out += bodyText;
    if (m.signOff) out += U"\n\n" + m.signOffText;
    return out;
}

// ---------- notes: spoken enumerations become lists ----------

struct Marker {
    size_t begin, end;  // sig positions of the marker (end exclusive, trailing comma included)
};

int englishOrdinal(const std::string& key) {
    static const std::array<std::pair<const char*, int>, 20> ords = {
        {{"first", 1},    {"firstly", 1}, {"second", 2},   {"secondly", 2}, {"third", 3},
         {"thirdly", 3},  {"fourth", 4},  {"fourthly", 4}, {"fifth", 5},    {"fifthly", 5},
         {"sixth", 6},    {"seventh", 7}, {"eighth", 8},   {"ninth", 9},    {"tenth", 10},
         {"finally", 99}, {"lastly", 99}, {"one", -1},     {"two", -2},     {"three", -3}}};
    for (const auto& [w, n] : ords)
        if (key == w) return n;
    return 0;
}

std::vector<Marker> findEnumeration(const Toks& v, const std::vector<size_t>& sig, bool& chinese) {
    static const Set determiners = {"the", "a",     "an",  "my",   "our",  "your",  "his",
                                    "her", "their", "its", "this", "that", "every", "each",
                                    "at",  "on",    "in",  "of",   "for",  "to"};
    std::vector<Marker> en, zh;
    int expectEn = 1, expectZh = 1;
    auto skipComma = [&](size_t q) { return q < sig.size() && isCommaLike(v[sig[q]]) ? q + 1 : q; };
    static const std::u32string cnNums = U"一二三四五六七八九十";
    static const std::u32string notAfter = U"次名天年届期季章节页课轮集位行排号个种类批部分阶";
    for (size_t p = 0; p < sig.size(); ++p) {
        const Token& t = v[sig[p]];
        if (t.alpha) {
            int n = englishOrdinal(t.key);
            size_t len = 1;
            if (n < 0) continue;  // "one" alone is no marker
            if (t.key == "number" && p + 1 < sig.size()) {
                const int m2 = englishOrdinal(v[sig[p + 1]].key);
                if (m2 < 0) n = -m2, len = 2;
            }
            if (!n) continue;
            if (p > 0 && v[sig[p - 1]].alpha && in(determiners, v[sig[p - 1]].key)) continue;
            if (n == 1 && p + 2 < sig.size() && v[sig[p + 1]].key == "of" &&
                v[sig[p + 2]].key == "all")
                len = 3;
            if (n == expectEn || (n == 99 && en.size() >= 2)) {
                en.push_back(Marker{p, skipComma(p + len)});
                ++expectEn;
                p += len - 1;
                if (n == 99) break;
            }
            continue;
        }
        if (t.kind != Kind::cjk) continue;
        int n = 0;
        size_t len = 0;
        if (t.text[0] == U'第' && p + 1 < sig.size() && v[sig[p + 1]].kind == Kind::cjk) {
            const size_t d = cnNums.find(v[sig[p + 1]].text[0]);
            if (d != std::u32string::npos) {
                n = static_cast<int>(d) + 1;
                len = 2;
                if (p + 2 < sig.size() && v[sig[p + 2]].kind == Kind::cjk) {
                    const char32_t after = v[sig[p + 2]].text[0];
                    if (notAfter.find(after) != std::u32string::npos)
                        n = 0;
                    else if (after == U'点' || after == U'条' || after == U'步' || after == U'项')
                        len = 3;
                }
                if (n && p + len < sig.size() && cjkAt(v, sig, p + len, U"是")) ++len;
            }
        } else if (cjkAt(v, sig, p, U"首先")) {
            n = 1, len = 2;
        } else if (cjkAt(v, sig, p, U"其次")) {
            n = 2, len = 2;
        } else if (cjkAt(v, sig, p, U"再次")) {
            n = 3, len = 2;
        } else if (cjkAt(v, sig, p, U"最后") && zh.size() >= 2) {
            n = 99, len = 2;
        }
        if (!n) continue;
        if (n == expectZh || (n == 99 && zh.size() >= 2)) {
            zh.push_back(Marker{p, skipComma(p + len)});
            ++expectZh;
            p += len - 1;
        }
    }
    chinese = zh.size() >= en.size();
    std::vector<Marker>& best = chinese ? zh : en;
    if (best.size() < 2) return {};
    return best;
}

std::u32string shapeList(const Toks& v, const Render& prose) {
    const std::vector<size_t> sig = sigIndex(v);
    bool chinese = false;
    const std::vector<Marker> markers = findEnumeration(v, sig, chinese);
    if (markers.empty()) return renderText(v, prose);
    auto slice = [&](size_t sb, size_t se) {
        Toks out;
        if (sb >= se) return out;
        for (size_t i = sig[sb]; i <= sig[se - 1]; ++i)
            out.push_back(v[i].kind == Kind::newline ? makeSpace() : v[i]);
        return out;
    };
    Render itemOpt = prose;
    itemOpt.end = End::strip;
    std::vector<std::u32string> items;
    for (size_t k = 0; k < markers.size(); ++k) {
        const size_t b = markers[k].end;
        size_t e = k + 1 < markers.size() ? markers[k + 1].begin : sig.size();
        // "eggs and, third…": the joining word belongs to no item.
        while (e > b) {
            const Token& t = v[sig[e - 1]];
            if (isCommaLike(t) ||
                (t.alpha && (t.key == "and" || t.key == "then" || t.key == "or")) ||
                cjkAt(v, sig, e - 1, U"和")) {
                --e;
            } else if (e >= b + 2 &&
                       (cjkAt(v, sig, e - 2, U"然后") || cjkAt(v, sig, e - 2, U"还有"))) {
                e -= 2;
            } else {
                break;
            }
        }
        std::u32string item = renderLine(slice(b, e), itemOpt);
        if (item.empty()) return renderText(v, prose);
        items.push_back(std::move(item));
    }
    std::u32string out;
    Render introOpt = prose;
    introOpt.end = End::strip;
    std::u32string intro = renderLine(slice(0, markers[0].begin), introOpt);
    if (!intro.empty()) {
        out = intro + (chinese ? U"：" : U":") + U"\n";
    }
    for (size_t k = 0; k < items.size(); ++k) {
        if (k) out += U"\n";
        out += decode(std::to_string(k + 1)) + U". " + items[k];
    }
    return out;
}

// ---------- chat ----------

std::u32string casual(std::u32string text) {
    if (text.find(U'\n') != std::u32string::npos) return text;
    if (text.size() < 2) return text;
    const char32_t last = text.back();
    if (last != U'.' && last != U'。') return text;
    const char32_t before = text[text.size() - 2];
    if (before == U'.' || before == U'。') return text;  // an ellipsis
    // One sentence only: no other full stop, question or exclamation mark followed by more text.
    const std::u32string body = text.substr(0, text.size() - 1);
    const Toks toks = tokenize(body);
    for (const auto& t : toks)
        if (endsSentence(t)) return text;
    return body;
}

}  // namespace

Style styleFromId(std::string_view id) {
    static const std::array<std::pair<const char*, Style>, 12> table = {
        {{"generic", Style::generic},
         {"web", Style::web},
         {"chat", Style::chat},
         {"im", Style::im},
         {"social", Style::social},
         {"mail", Style::mail},
         {"terminal", Style::terminal},
         {"code", Style::code},
         {"web-code", Style::webCode},
         {"ai", Style::ai},
         {"notes", Style::notes},
         {"web-notes", Style::webNotes}}};
    for (const auto& [name, style] : table)
        if (id == name) return style;
    return Style::generic;
}

const char* styleId(Style style) {
    switch (style) {
        case Style::generic:
            return "generic";
        case Style::web:
            return "web";
        case Style::chat:
            return "chat";
        case Style::im:
            return "im";
        case Style::social:
            return "social";
        case Style::mail:
            return "mail";
        case Style::terminal:
            return "terminal";
        case Style::code:
            return "code";
        case Style::webCode:
            return "web-code";
        case Style::ai:
            return "ai";
        case Style::notes:
            return "notes";
        case Style::webNotes:
            return "web-notes";
    }
    return "generic";
}

std::string clean(std::string_view raw, Style style) {
    const std::u32string text = decode(raw);
    Toks toks = tokenize(text);
    if (!hasContent(toks)) return std::string(raw);
    toks = collapseStutters(std::move(toks));
    toks = removeFillers(std::move(toks));
    toks = collapseStutters(std::move(toks));
    toks = applyCorrections(std::move(toks));
    if (!hasContent(toks)) return std::string(raw);

    Render prose;
    std::u32string out;
    switch (style) {
        case Style::terminal:
            prose.capitalise = false;
            prose.convertWidth = false;
            prose.fixSpacing = false;
            prose.end = End::none;
            out = renderText(toks, prose);
            break;
        case Style::code:
        case Style::webCode:
            prose.convertWidth = false;
            prose.end = End::none;
            out = renderText(toks, prose);
            break;
        case Style::chat:
        case Style::im:
        case Style::social:
            out = casual(renderText(toks, prose));
            break;
        case Style::mail:
            out = shapeMail(toks, prose);
            break;
        case Style::notes:
        case Style::webNotes:
            out = shapeList(toks, prose);
            break;
        case Style::generic:
        case Style::web:
        case Style::ai:
            out = renderText(toks, prose);
            break;
    }
    if (out.empty()) return std::string(raw);
    return encode(out);
}

bool isClean(std::string_view raw, Style style) {
    return clean(raw, style) == raw;
}

size_t wordCount(std::string_view raw) {
    size_t n = 0;
    for (const auto& t : tokenize(decode(raw)))
        if (t.kind == Kind::word || t.kind == Kind::cjk || t.kind == Kind::keep) ++n;
    return n;
}

}  // namespace vserver::cleanup
