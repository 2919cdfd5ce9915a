#include "Tokens.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace vserver::text {

namespace {

// Words whose full stop belongs to them and does not end a sentence (lower case, last dot
// dropped).
constexpr std::array<std::string_view, 20> kAbbreviations = {
    "e.g", "i.e", "etc",    "vs",  "mr",  "mrs", "ms",  "dr",  "prof", "st",
    "jr",  "sr",  "approx", "a.m", "p.m", "u.s", "u.k", "fig", "inc",  "ltd"};

bool isEmojiJoiner(char32_t c) {
    return c == 0x200D || c == 0xFE0F || c == 0xFE0E || (c >= 0x1F3FB && c <= 0x1F3FF) ||
           (c >= 0xE0020 && c <= 0xE007F) || c == 0x20E3;
}

Token makeNewline() {
    return Token{Kind::newline, U"\n", "\n"};
}

bool isSpace(char32_t c) {
    return c == ' ' || c == '\t' || c == 0xA0 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

bool isNewline(char32_t c) {
    return c == '\n' || c == 0x2028 || c == 0x2029;
}

bool isAsciiPunct(char32_t c) {
    switch (c) {
        case ',':
        case '.':
        case '!':
        case '?':
        case ';':
        case ':':
        case '"':
        case '\'':
        case '(':
        case ')':
        case '[':
        case ']':
        case '{':
        case '}':
        case '-':
            return true;
        default:
            return false;
    }
}

bool isPunct(char32_t c) {
    return isAsciiPunct(c) || isFullWidthPunct(c) || (c >= 0x2010 && c <= 0x2027);
}

// Breaks a run of word-like characters.
bool breaksChunk(char32_t c) {
    return isSpace(c) || isNewline(c) || isCjk(c) || isEmoji(c) || isFullWidthPunct(c) ||
           c == '"' || c == '`' || c == 0x201C || c == 0x201D || c == 0x2018 || c == 0x27E6 ||
           c == 0x2026 || c == 0x2014 || c == 0x2013 || c < 0x20;
}

bool isOpener(char32_t c) {
    return c == '(' || c == '[' || c == '{' || c == '<';
}
bool isCloser(char32_t c) {
    return c == ')' || c == ']' || c == '}' || c == '>';
}
char32_t openerOf(char32_t c) {
    return c == ')' ? '(' : c == ']' ? '[' : c == '}' ? '{' : '<';
}

bool isCurrency(char32_t c) {
    return c == '$' || c == 0x20AC || c == 0xA3 || c == 0xA5;
}

bool isAlnum(char32_t c) {
    return isLetter(c) || isDigit(c);
}

bool startsWithCi(std::u32string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (lower(s[i]) != static_cast<char32_t>(prefix[i])) return false;
    return true;
}

bool isAbbreviation(const std::string& lowerNoDot) {
    return std::find(kAbbreviations.begin(), kAbbreviations.end(), lowerNoDot) !=
           kAbbreviations.end();
}

bool chunkStarts(std::u32string_view s, size_t i) {
    const char32_t c = s[i];
    const char32_t next = i + 1 < s.size() ? s[i + 1] : 0;
    const char32_t prev = i > 0 ? s[i - 1] : ' ';
    if (isAlnum(c)) return true;
    if (isCurrency(c)) return isDigit(next);
    if (c == '@' || c == '#' || c == '~' || c == '/' || c == '\\' || c == '_')
        return isAlnum(next) || next == '/' || next == '_';
    if (c == '.')
        return next == '/' || (next == '.' && i + 2 < s.size() && s[i + 2] == '/') ||
               (isLetter(next) && (isSpace(prev) || i == 0));  // ".env", "./run", "../x"
    if (c == '-')
        return (isSpace(prev) || i == 0) &&
               (isLetter(next) || (next == '-' && i + 2 < s.size() && isLetter(s[i + 2])));
    return false;
}

size_t scanChunk(std::u32string_view s, size_t i) {
    const size_t begin = i;
    const auto rest = s.substr(i);
    const bool url = startsWithCi(rest, "http://") || startsWithCi(rest, "https://") ||
                     startsWithCi(rest, "ftp://") || startsWithCi(rest, "www.") ||
                     startsWithCi(rest, "mailto:");
    size_t j = i;
    while (j < s.size()) {
        const char32_t c = s[j];
        if (breaksChunk(c)) break;
        if (url) {
            ++j;
            continue;
        }
        const char32_t prev = j > begin ? s[j - 1] : 0;
        const char32_t next = j + 1 < s.size() ? s[j + 1] : 0;
        bool take;
        if (isAlnum(c))
            take = true;
        else if (c == '\'' || c == 0x2019)
            take = isLetter(prev) && isLetter(next);
        else if (c == '-')
            take = (isAlnum(prev) || prev == '-') && (isAlnum(next) || next == '-');
        else if (c == '.')
            take = (isAlnum(prev) || prev == '.' || prev == '/' || prev == '_' || isCloser(prev) ||
                    j == begin) &&
                   (isAlnum(next) || next == '_' || next == '/' || next == '.');
        else if (c == ',')
            take = isDigit(prev) && isDigit(next);
        else if (c == ':')
            take = next == ':' || next == '/' || next == '\\' || prev == ':' ||
                   (isDigit(prev) && isDigit(next));
        else if (c == '!' || c == '?' || c == ';')
            take = false;
        else if (isOpener(c) || isCloser(c))
            take = true;
        else if (c == '_' || c == '/' || c == '\\' || c == '@' || c == '#' || c == '%' ||
                 c == '&' || c == '*' || c == '+' || c == '=' || c == '|' || c == '^' || c == '~' ||
                 isCurrency(c))
            take = true;
        else
            take = false;
        if (!take) break;
        ++j;
    }
    // Sentence punctuation and unmatched closers at the end belong to the sentence.
    for (;;) {
        if (j <= begin) break;
        const char32_t last = s[j - 1];
        if (last == '.' || last == ',' || last == ';' || last == ':' || last == '!' ||
            last == '?' || last == '\'' || last == 0x2019 || last == '-') {
            --j;
            continue;
        }
        if (isCloser(last)) {
            int depth = 0;
            for (size_t k = begin; k < j - 1; ++k) {
                if (s[k] == openerOf(last))
                    ++depth;
                else if (s[k] == last)
                    --depth;
            }
            if (depth <= 0) {
                --j;
                continue;
            }
        }
        break;
    }
    return j;
}

bool allLetters(std::u32string_view w) {
    if (w.empty() || !isLetter(w.front()) || !isLetter(w.back())) return false;
    for (size_t k = 0; k < w.size(); ++k) {
        const char32_t c = w[k];
        if (isLetter(c)) continue;
        if ((c == '\'' || c == 0x2019 || c == '-') && k > 0 && k + 1 < w.size() &&
            isLetter(w[k - 1]) && isLetter(w[k + 1]))
            continue;
        return false;
    }
    return true;
}

bool numberLike(std::u32string_view w) {
    size_t k = 0;
    if (k < w.size() && isCurrency(w[k])) ++k;
    if (k >= w.size() || !isDigit(w[k])) return false;
    while (k < w.size() && isDigit(w[k])) ++k;
    while (k + 1 < w.size() &&
           (w[k] == '.' || w[k] == ',' || w[k] == ':' || w[k] == '/' || w[k] == '-') &&
           isDigit(w[k + 1])) {
        ++k;
        while (k < w.size() && isDigit(w[k])) ++k;
    }
    if (k < w.size() && w[k] == '%') ++k;
    size_t letters = 0;
    while (k < w.size() && isLetter(w[k]) && letters < 3) ++k, ++letters;
    return k == w.size();
}

Token classify(std::u32string chunk) {
    Token t{Kind::keep, std::move(chunk), {}};
    if (allLetters(t.text)) {
        t.kind = Kind::word;
        t.alpha = true;
    } else if (numberLike(t.text)) {
        t.kind = Kind::word;
        t.number = true;
    }
    if (t.kind == Kind::word) t.key = lowerKey(t.text);
    return t;
}

}  // namespace

Token makePunct(char32_t c) {
    return Token{Kind::punct, std::u32string(1, c), encode(c)};
}
Token makeSpace() {
    return Token{Kind::space, U" ", " "};
}
Token makeWord(std::u32string text) {
    return classify(std::move(text));
}

std::vector<Token> tokenize(std::u32string_view s) {
    std::vector<Token> out;
    out.reserve(s.size() / 3 + 4);
    size_t i = 0;
    while (i < s.size()) {
        const char32_t c = s[i];
        if (c == '\r') {
            ++i;
            continue;
        }
        if (isNewline(c)) {
            out.push_back(makeNewline());
            ++i;
            continue;
        }
        if (isSpace(c)) {
            while (i < s.size() && isSpace(s[i])) ++i;
            out.push_back(makeSpace());
            continue;
        }
        if (c < 0x20 || c == 0x7F || c == 0x200B ||
            c == 0xFEFF) {  // stray controls and invisible marks
            ++i;
            continue;
        }
        if (c == '`') {
            const bool fence = s.substr(i, 3) == U"```";
            const size_t close = fence ? s.find(U"```", i + 3) : s.find(U'`', i + 1);
            if (close != std::u32string_view::npos) {
                const size_t end = close + (fence ? 3 : 1);
                out.push_back(Token{Kind::keep, std::u32string(s.substr(i, end - i)), {}});
                i = end;
                continue;
            }
        }
        if (c == 0x27E6) {  // clip token ⟦链接1⟧
            const size_t close = s.find(U'\u27E7', i + 1);
            if (close != std::u32string_view::npos && close - i <= 32) {
                out.push_back(Token{Kind::keep, std::u32string(s.substr(i, close + 1 - i)), {}});
                i = close + 1;
                continue;
            }
        }
        if (isCjk(c)) {
            Token t{Kind::cjk, std::u32string(1, c), encode(c)};
            out.push_back(std::move(t));
            ++i;
            continue;
        }
        if (isEmoji(c) || (c >= 0x1F1E6 && c <= 0x1F1FF)) {
            size_t j = i + 1;
            while (j < s.size()) {
                if (isEmojiJoiner(s[j])) {
                    ++j;
                    if (s[j - 1] == 0x200D && j < s.size() && isEmoji(s[j])) ++j;
                    continue;
                }
                if (s[j] >= 0x1F1E6 && s[j] <= 0x1F1FF && s[j - 1] >= 0x1F1E6 &&
                    s[j - 1] <= 0x1F1FF && j == i + 1) {
                    ++j;  // a flag is two regional indicators
                    continue;
                }
                break;
            }
            out.push_back(Token{Kind::symbol, std::u32string(s.substr(i, j - i)), {}});
            i = j;
            continue;
        }
        if (chunkStarts(s, i)) {
            size_t j = scanChunk(s, i);
            if (j > i) {
                std::u32string chunk(s.substr(i, j - i));
                // "e.g." and "Mr." keep their full stop.
                if (j < s.size() && s[j] == '.' && isAbbreviation(lowerKey(chunk))) {
                    chunk.push_back('.');
                    ++j;
                    Token t{Kind::word, std::move(chunk), {}};
                    t.alpha = true;
                    t.key = lowerKey(t.text);
                    out.push_back(std::move(t));
                } else {
                    out.push_back(classify(std::move(chunk)));
                }
                i = j;
                continue;
            }
        }
        if (c == '.' || c == 0x2026) {
            size_t j = i;
            while (j < s.size() && s[j] == c) ++j;
            Token t{Kind::punct, std::u32string(s.substr(i, j - i)), {}};
            t.key = encode(t.text);
            out.push_back(std::move(t));
            i = j;
            continue;
        }
        if (isPunct(c)) {
            out.push_back(makePunct(c));
            ++i;
            continue;
        }
        out.push_back(Token{Kind::symbol, std::u32string(1, c), encode(c)});
        ++i;
    }
    return out;
}

}  // namespace vserver::text
