#include "Scan.h"

namespace vserver::cleanup {

using namespace vserver::text;

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

bool isLowerWord(const Token& t) {
    if (!t.alpha) return false;
    for (char32_t c : t.text)
        if (isLetter(c) && lower(c) != c) return false;
    return true;
}

std::u32string capitalised(std::u32string s) {
    if (!s.empty()) s[0] = upper(s[0]);
    return s;
}

bool hasContent(const Toks& v) {
    for (const auto& t : v)
        if (t.kind == Kind::word || t.kind == Kind::cjk || t.kind == Kind::keep ||
            t.kind == Kind::symbol)
            return true;
    return false;
}

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

}  // namespace vserver::cleanup
