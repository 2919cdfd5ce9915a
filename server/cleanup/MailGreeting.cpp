// The greeting that opens a dictated mail, in English or Chinese.
#include <array>
#include <string_view>

#include "Mail.h"

namespace vserver::cleanup {

using namespace vserver::text;

namespace {

// One-word openings; "good morning" and its kin are handled beside them.
const Set& englishGreetings() {
    static const Set s = {"hi", "hello", "hey", "dear", "greetings", "morning", "hiya"};
    return s;
}

const Set& partsOfDay() {
    static const Set s = {"morning", "afternoon", "evening"};
    return s;
}

// Before "好", these make no greeting: "我很好", "也不好".
constexpr std::u32string_view kCnNotBeforeHao = U"我很也都不吗说还挺真";
// Titles a Chinese greeting may end with before "好": "王总好", "各位老师好".
constexpr std::array<std::u32string_view, 18> kCnTitles = {
    U"总",   U"老师", U"经理", U"们", U"位",   U"家",   U"同事", U"同学", U"领导",
    U"先生", U"女士", U"哥",   U"姐", U"老板", U"主任", U"教授", U"医生", U"律师"};

// A mark that closes the names of an English greeting: "hi john," "hello all!".
bool closesNames(const Token& t) {
    return isCommaLike(t) || t.kind == Kind::newline || isPunctText(t, U"!") ||
           isPunctText(t, U"！") || isPunctText(t, U":") || isPunctText(t, U".");
}

// Without punctuation: one lower-case name, or capitalised names, or a group word,
// maybe joined by "and". Returns where the names end.
size_t unpunctuatedNamesEnd(const Toks& v, const std::vector<size_t>& sig, size_t g) {
    size_t nameEnd = g;
    if (g >= sig.size() || !v[sig[g]].alpha) return nameEnd;
    const Token& w = v[sig[g]];
    if (in(greetingGroups(), w.key)) {
        nameEnd = g + 1;
        if (w.key == "sir" && g + 2 < sig.size() && v[sig[g + 1]].key == "or" &&
            v[sig[g + 2]].key == "madam")
            nameEnd = g + 3;
    } else if (!in(notNames(), w.key)) {
        nameEnd = g + 1;
        if (startsUpper(w)) {
            while (nameEnd < sig.size() && nameEnd < g + 3 && startsUpper(v[sig[nameEnd]]) &&
                   !in(notNames(), v[sig[nameEnd]].key))
                ++nameEnd;
        }
        if (nameEnd + 1 < sig.size() && v[sig[nameEnd]].key == "and" && v[sig[nameEnd + 1]].alpha &&
            !in(notNames(), v[sig[nameEnd + 1]].key) && nameEnd + 2 < sig.size())
            nameEnd += 2;
    }
    return nameEnd;
}

std::optional<MailLine> englishGreeting(const Toks& v, const std::vector<size_t>& sig) {
    if (sig.empty() || !v[sig[0]].alpha) return std::nullopt;
    const std::string& k0 = v[sig[0]].key;
    size_t g = 0;  // words in the greeting itself
    if (in(englishGreetings(), k0))
        g = 1;
    else if (k0 == "good" && sig.size() > 1 && in(partsOfDay(), v[sig[1]].key))
        g = 2;
    if (!g) return std::nullopt;
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
    size_t nameEnd, bodySig;
    if (k < sig.size() && cleanNames && closesNames(v[sig[k]])) {
        nameEnd = k;
        bodySig = k + 1;
    } else {
        nameEnd = bodySig = unpunctuatedNamesEnd(v, sig, g);
    }
    if (nameEnd > g) greet += U" " + titleWords(v, sig, g, nameEnd, true);
    return MailLine{greet + U",", bodySig};
}

std::optional<MailLine> chineseGreeting(const Toks& v, const std::vector<size_t>& sig) {
    std::u32string seen;
    size_t commaAt = 0;
    for (size_t p = 0; p < sig.size() && p < 9; ++p) {
        const Token& t = v[sig[p]];
        if (isCommaLike(t) && !commaAt && p > 0) {
            commaAt = p;
            continue;
        }
        if (t.kind != Kind::cjk) return std::nullopt;
        seen += t.text;
        if (t.text[0] != U'好') {
            if (kCnNotBeforeHao.find(t.text[0]) != std::u32string_view::npos) return std::nullopt;
            continue;
        }
        // "……好" closes a greeting after 你/您 or after a title.
        const std::u32string before = seen.substr(0, seen.size() - 1);
        bool ok = !before.empty() && (before.back() == U'你' || before.back() == U'您');
        for (auto title : kCnTitles)
            ok = ok || (before.size() >= title.size() &&
                        before.compare(before.size() - title.size(), title.size(), title) == 0);
        if (!ok || before.size() > 6) return std::nullopt;
        if (p + 1 < sig.size() && v[sig[p + 1]].kind == Kind::cjk && v[sig[p + 1]].text[0] == U'吗')
            return std::nullopt;
        std::u32string text;
        for (size_t k = 0; k <= p; ++k) text += isCommaLike(v[sig[k]]) ? U"，" : v[sig[k]].text;
        size_t bodySig = p + 1;
        while (bodySig < sig.size() && v[sig[bodySig]].kind == Kind::punct &&
               !isOpenPunct(v[sig[bodySig]]))
            ++bodySig;
        return MailLine{text + U"，", bodySig};
    }
    return std::nullopt;
}

}  // namespace

std::optional<MailLine> findGreeting(const Toks& v, const std::vector<size_t>& sig) {
    if (auto greeting = englishGreeting(v, sig)) return greeting;
    return chineseGreeting(v, sig);
}

}  // namespace vserver::cleanup
