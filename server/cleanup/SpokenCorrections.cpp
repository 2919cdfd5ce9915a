#include "SpokenCorrections.h"

#include <array>
#include <string_view>
#include <utility>

#include "Quantities.h"

namespace vserver::cleanup {

using namespace vserver::text;

namespace {

// Cue words between the first version and the correction; the two-word ones first.
struct EnglishCue {
    std::string_view first, second;  // second empty: a one-word cue
};
constexpr std::array<EnglishCue, 9> kEnglishCues = {{{"no", "wait"},
                                                     {"i", "mean"},
                                                     {"i", "meant"},
                                                     {"or", "rather"},
                                                     {"no", ""},
                                                     {"sorry", ""},
                                                     {"wait", ""},
                                                     {"actually", ""},
                                                     {"rather", ""}}};

struct ChineseCue {
    std::u32string_view words;
    bool needsComma;  // only after a pause: "不是" is also plain "is not"
};
constexpr std::array<ChineseCue, 9> kChineseCues = {{{U"我说错了", false},
                                                     {U"不好意思", false},
                                                     {U"说错了", false},
                                                     {U"我是说", false},
                                                     {U"应该是", true},
                                                     {U"不对", true},
                                                     {U"不是", true},
                                                     {U"哦不", false},
                                                     {U"不不", false}}};

// "you may, no, …": "may" after these is the verb, not the month.
const Set& pronouns() {
    static const Set s = {"i", "you", "we", "they", "he", "she", "it"};
    return s;
}

struct Cue {
    size_t length = 0;  // in sig positions; 0: no cue here
    bool chinese = false, needsComma = false;
};

Cue cueAt(const Toks& v, const std::vector<size_t>& sig, size_t m) {
    const Token& t = v[sig[m]];
    if (t.kind == Kind::word) {
        const std::string_view next = m + 1 < sig.size() ? v[sig[m + 1]].key : std::string_view();
        for (const auto& cue : kEnglishCues) {
            if (t.key != cue.first) continue;
            if (cue.second.empty()) return Cue{1, false, false};
            if (next == cue.second) return Cue{2, false, false};
        }
    } else if (t.kind == Kind::cjk) {
        for (const auto& cue : kChineseCues)
            if (cjkAt(v, sig, m, cue.words)) return Cue{cue.words.size(), true, cue.needsComma};
    }
    return Cue{};
}

// A unit to re-insert after the raw token at `after`.
struct Carry {
    size_t after;
    std::u32string unit;
    bool chinese;
};

}  // namespace

Toks applyCorrections(Toks v) {
    // Each pass applies every correction that does not overlap another; a second pass
    // catches corrections of corrections.
    for (int round = 0; round < 4; ++round) {
        const std::vector<size_t> sig = sigIndex(v);
        std::vector<char> drop(v.size(), 0);
        std::vector<Carry> carries;
        size_t claimed = 0;  // sig positions before this are part of an earlier correction
        bool changed = false;
        for (size_t m = 1; m < sig.size(); ++m) {
            const Cue cue = cueAt(v, sig, m);
            if (!cue.length) continue;
            const Token& t = v[sig[m]];
            size_t a = m - 1;
            const bool commaBefore = isCommaLike(v[sig[a]]);
            if (commaBefore) {
                if (a == 0) continue;
                --a;
            }
            size_t b = m + cue.length;
            const bool commaAfter = b < sig.size() && isCommaLike(v[sig[b]]);
            if (commaAfter) ++b;
            if (b >= sig.size()) continue;
            if (cue.needsComma && !commaBefore) continue;
            const Span before = quantityBefore(v, sig, a, cue.chinese);
            const Span after = quantityAfter(v, sig, b, cue.chinese);
            if (before.kind == SpanKind::none || before.kind != after.kind ||
                before.begin < claimed)
                continue;
            if (!cue.chinese) {
                // "two no one likes it": bare "no one" is a phrase, not a correction.
                if (t.key == "no" && cue.length == 1 && !commaBefore && !commaAfter &&
                    v[sig[b]].key == "one")
                    continue;
                if (v[sig[before.begin]].key == "may" && before.begin > 0 &&
                    in(pronouns(), v[sig[before.begin - 1]].key))
                    continue;
            }
            if (spanText(v, sig, before) == spanText(v, sig, after)) continue;
            if (!before.unit.empty() && !after.unit.empty() &&
                lowerKey(before.unit) != lowerKey(after.unit) && before.kind == SpanKind::number)
                continue;  // "three dollars, no, four people" is not one thing corrected

            // Drop the first version, the cue and its commas; carry a unit over.
            for (size_t i = sig[before.begin]; i < sig[after.begin]; ++i) drop[i] = 1;
            if (after.unit.empty() && !before.unit.empty())
                carries.push_back(Carry{sig[after.end - 1], before.unit, cue.chinese});
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
            for (; c < carries.size() && carries[c].after == i; ++c) {
                if (carries[c].chinese) {
                    for (char32_t ch : carries[c].unit)
                        next.push_back(Token{Kind::cjk, std::u32string(1, ch), encode(ch)});
                } else {
                    next.push_back(makeSpace());
                    next.push_back(makeWord(carries[c].unit));
                }
            }
        }
        v = std::move(next);
    }
    return v;
}

}  // namespace vserver::cleanup
