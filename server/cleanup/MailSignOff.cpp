// The sign-off that closes a dictated mail, with the sender's name, in English or Chinese.
#include <algorithm>
#include <array>
#include <string_view>
#include <utility>
#include <vector>

#include "Mail.h"

namespace vserver::cleanup {

using namespace vserver::text;

namespace {

struct Phrase {
    std::vector<std::string_view> words;
    bool needsBreak;  // only after punctuation or a line end
};

// Longer phrases before their beginnings ("thank you so much" before "thank you").
const std::vector<Phrase>& englishSignOffs() {
    static const std::vector<Phrase> s = {{{"thank", "you", "so", "much"}, false},
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

// "thanks everyone": addressees that stay with the phrase.
const Set& signOffGroups() {
    static const Set s = {"everyone", "all", "guys", "team"};
    return s;
}

// Phrase as said, written as it closes a mail. Longer phrases first.
constexpr std::array<std::pair<std::u32string_view, std::u32string_view>, 16> kCnSignOffs = {
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

std::optional<MailLine> englishSignOff(const Toks& v, const std::vector<size_t>& sig,
                                       size_t bodySig) {
    const size_t from = std::max(bodySig + 1, sig.size() > 10 ? sig.size() - 10 : size_t{0});
    for (size_t p = from; p < sig.size(); ++p) {
        for (const Phrase& ph : englishSignOffs()) {
            size_t q = p;
            bool match = true;
            for (std::string_view w : ph.words) {
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
            if (q < sig.size() && v[sig[q]].alpha && in(signOffGroups(), v[sig[q]].key))
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
            return MailLine{text, p};
        }
    }
    return std::nullopt;
}

std::optional<MailLine> chineseSignOff(const Toks& v, const std::vector<size_t>& sig,
                                       size_t bodySig) {
    size_t end = sig.size();
    while (end > 0 && (isTerminal(v[sig[end - 1]]) || isCommaLike(v[sig[end - 1]]) ||
                       v[sig[end - 1]].kind == Kind::newline))
        --end;
    // "此致\n敬礼！" written out already.
    if (end >= 4 && cjkAt(v, sig, end - 2, U"敬礼")) {
        size_t p = end - 2;
        while (p > 0 && (v[sig[p - 1]].kind == Kind::newline || isCommaLike(v[sig[p - 1]]))) --p;
        if (p >= 2 && cjkAt(v, sig, p - 2, U"此致") && p - 2 > bodySig)
            return MailLine{U"此致\n敬礼！", p - 2};
    }
    for (const auto& [w, text] : kCnSignOffs) {
        if (end < w.size() || end - w.size() <= bodySig) continue;
        const size_t p = end - w.size();
        if (!cjkAt(v, sig, p, w)) continue;
        if (p > 0 && v[sig[p - 1]].kind == Kind::cjk && v[sig[p - 1]].text[0] == U'不')
            continue;  // "不用谢谢"
        return MailLine{std::u32string(text), p};
    }
    return std::nullopt;
}

}  // namespace

std::optional<MailLine> findSignOff(const Toks& v, const std::vector<size_t>& sig, size_t bodySig) {
    if (auto signOff = englishSignOff(v, sig, bodySig)) return signOff;
    return chineseSignOff(v, sig, bodySig);
}

}  // namespace vserver::cleanup
