#include "Notes.h"

#include <array>
#include <string>
#include <string_view>
#include <utility>

namespace vserver::cleanup {

using namespace vserver::text;

namespace {

// Spoken ordinals and the item they number (99: the last one). "one", "two" and
// "three" count only after "number".
constexpr std::array<std::pair<std::string_view, int>, 20> kEnglishOrdinals = {
    {{"first", 1},    {"firstly", 1}, {"second", 2},   {"secondly", 2}, {"third", 3},
     {"thirdly", 3},  {"fourth", 4},  {"fourthly", 4}, {"fifth", 5},    {"fifthly", 5},
     {"sixth", 6},    {"seventh", 7}, {"eighth", 8},   {"ninth", 9},    {"tenth", 10},
     {"finally", 99}, {"lastly", 99}, {"one", -1},     {"two", -2},     {"three", -3}}};
constexpr int kLast = 99;

// An ordinal after these belongs to the sentence: "the first time", "on second thought".
const Set& determiners() {
    static const Set s = {"the", "a",     "an",  "my",   "our",  "your",  "his",
                          "her", "their", "its", "this", "that", "every", "each",
                          "at",  "on",    "in",  "of",   "for",  "to"};
    return s;
}

// "第一", "第二"…; "首先", "其次", "再次", "最后".
constexpr std::u32string_view kCnNumerals = U"一二三四五六七八九十";
constexpr std::array<std::pair<std::u32string_view, int>, 4> kCnSequenceWords = {
    {{U"首先", 1}, {U"其次", 2}, {U"再次", 3}, {U"最后", kLast}}};
// "第一次", "第三名": an ordinal, not a list item.
constexpr std::u32string_view kCnNotAfterOrdinal =
    U"次名天年届期季章节页课轮集位行排号个种类批部分阶";
// "第一点", "第二步": the counter belongs to the marker.
constexpr std::u32string_view kCnItemCounters = U"点条步项";

// Words that join items and belong to none of them: "eggs and, third…".
const Set& englishJoiners() {
    static const Set s = {"and", "then", "or"};
    return s;
}
constexpr std::array<std::u32string_view, 2> kCnTwoCharJoiners = {U"然后", U"还有"};

struct Marker {
    size_t begin, end;  // sig positions of the marker (end exclusive, trailing comma included)
};

int englishOrdinal(const std::string& key) {
    for (const auto& [w, n] : kEnglishOrdinals)
        if (key == w) return n;
    return 0;
}

bool contains(std::u32string_view chars, char32_t c) {
    return chars.find(c) != std::u32string_view::npos;
}

std::vector<Marker> findEnumeration(const Toks& v, const std::vector<size_t>& sig, bool& chinese) {
    std::vector<Marker> en, zh;
    int expectEn = 1, expectZh = 1;
    auto skipComma = [&](size_t q) { return q < sig.size() && isCommaLike(v[sig[q]]) ? q + 1 : q; };
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
            if (p > 0 && v[sig[p - 1]].alpha && in(determiners(), v[sig[p - 1]].key)) continue;
            if (n == 1 && p + 2 < sig.size() && v[sig[p + 1]].key == "of" &&
                v[sig[p + 2]].key == "all")
                len = 3;
            if (n == expectEn || (n == kLast && en.size() >= 2)) {
                en.push_back(Marker{p, skipComma(p + len)});
                ++expectEn;
                p += len - 1;
                if (n == kLast) break;
            }
            continue;
        }
        if (t.kind != Kind::cjk) continue;
        int n = 0;
        size_t len = 0;
        if (t.text[0] == U'第' && p + 1 < sig.size() && v[sig[p + 1]].kind == Kind::cjk) {
            const size_t d = kCnNumerals.find(v[sig[p + 1]].text[0]);
            if (d != std::u32string_view::npos) {
                n = static_cast<int>(d) + 1;
                len = 2;
                if (p + 2 < sig.size() && v[sig[p + 2]].kind == Kind::cjk) {
                    const char32_t after = v[sig[p + 2]].text[0];
                    if (contains(kCnNotAfterOrdinal, after))
                        n = 0;
                    else if (contains(kCnItemCounters, after))
                        len = 3;
                }
                if (n && p + len < sig.size() && cjkAt(v, sig, p + len, U"是")) ++len;
            }
        } else {
            for (const auto& [w, k] : kCnSequenceWords) {
                if (!cjkAt(v, sig, p, w)) continue;
                if (k != kLast || zh.size() >= 2) n = k, len = w.size();
                break;
            }
        }
        if (!n) continue;
        if (n == expectZh || (n == kLast && zh.size() >= 2)) {
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

// Where an item ends once the joining words before the next marker are dropped.
size_t itemEnd(const Toks& v, const std::vector<size_t>& sig, size_t b, size_t e) {
    while (e > b) {
        const Token& t = v[sig[e - 1]];
        if (isCommaLike(t) || (t.alpha && in(englishJoiners(), t.key)) ||
            cjkAt(v, sig, e - 1, U"和")) {
            --e;
            continue;
        }
        bool joined = false;
        if (e >= b + 2)
            for (auto w : kCnTwoCharJoiners) joined = joined || cjkAt(v, sig, e - 2, w);
        if (!joined) break;
        e -= 2;
    }
    return e;
}

}  // namespace

std::u32string shapeNotes(const Toks& v, const Render& prose) {
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
        const size_t e =
            itemEnd(v, sig, b, k + 1 < markers.size() ? markers[k + 1].begin : sig.size());
        std::u32string item = renderLine(slice(b, e), itemOpt);
        if (item.empty()) return renderText(v, prose);
        items.push_back(std::move(item));
    }
    std::u32string out;
    const std::u32string intro = renderLine(slice(0, markers[0].begin), itemOpt);
    if (!intro.empty()) out = intro + (chinese ? U"：" : U":") + U"\n";
    for (size_t k = 0; k < items.size(); ++k) {
        if (k) out += U"\n";
        out += decode(std::to_string(k + 1)) + U". " + items[k];
    }
    return out;
}

}  // namespace vserver::cleanup
