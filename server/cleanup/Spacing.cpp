#include "Spacing.h"

#include <array>
#include <utility>

namespace vserver::cleanup {

using namespace vserver::text;

namespace {

constexpr std::array<std::pair<char32_t, char32_t>, 6> kToFullWidth = {
    {{',', U'，'}, {';', U'；'}, {':', U'：'}, {'!', U'！'}, {'?', U'？'}, {'.', U'。'}}};

constexpr std::array<std::pair<char32_t, char32_t>, 9> kToHalfWidth = {{{U'，', ','},
                                                                        {U'、', ','},
                                                                        {U'；', ';'},
                                                                        {U'：', ':'},
                                                                        {U'！', '!'},
                                                                        {U'？', '?'},
                                                                        {U'。', '.'},
                                                                        {U'（', '('},
                                                                        {U'）', ')'}}};

template <size_t N>
char32_t mapped(const std::array<std::pair<char32_t, char32_t>, N>& table, char32_t c) {
    for (const auto& [from, to] : table)
        if (c == from) return to;
    return c;
}

}  // namespace

bool needsSpace(const Token& l, const Token& r, bool had) {
    const bool lFull = l.kind == Kind::punct && isFullWidthPunct(l.text[0]);
    const bool rFull = r.kind == Kind::punct && isFullWidthPunct(r.text[0]);
    if (lFull || rFull) return false;
    if (r.kind == Kind::punct &&
        (isClosePunct(r) || isTerminal(r) || isCommaLike(r) || isSemicolon(r) || isColon(r)))
        return false;
    if (isOpenPunct(l)) return false;
    if (isQuote(r) || isQuote(l)) return had;
    if (l.kind == Kind::punct && (isTerminal(l) || isCommaLike(l) || isSemicolon(l) || isColon(l)))
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
    return mapped(kToFullWidth, c);
}

char32_t toHalfWidth(char32_t c) {
    return mapped(kToHalfWidth, c);
}

}  // namespace vserver::cleanup
