#include "Unicode.h"

namespace vserver::text {

std::u32string decode(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    for (size_t p = 0; p < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[p]);
        size_t n = 1;
        char32_t cp = 0xFFFD;
        if (c < 0x80) {
            cp = c;
        } else {
            size_t want = (c & 0xE0) == 0xC0   ? 2
                          : (c & 0xF0) == 0xE0 ? 3
                          : (c & 0xF8) == 0xF0 ? 4
                                               : 0;
            if (want && p + want <= s.size()) {
                char32_t v = c & (want == 2 ? 0x1F : want == 3 ? 0x0F : 0x07);
                bool ok = true;
                for (size_t i = 1; i < want && ok; ++i) {
                    const unsigned char b = static_cast<unsigned char>(s[p + i]);
                    ok = (b & 0xC0) == 0x80;
                    v = (v << 6) | (b & 0x3F);
                }
                if (ok) {
                    n = want;
                    cp = v;
                }
            }
        }
        out.push_back(cp);
        p += n;
    }
    return out;
}

std::string encode(char32_t cp) {
    std::string out;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    return out;
}

std::string encode(std::u32string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char32_t c : text) {
        if (c < 0x80)
            out.push_back(static_cast<char>(c));
        else
            out += encode(c);
    }
    return out;
}

bool isCjk(char32_t c) {
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) ||
           (c >= 0x3040 && c <= 0x30FF) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xAC00 && c <= 0xD7AF) || (c >= 0x1100 && c <= 0x11FF) ||
           (c >= 0x3130 && c <= 0x318F) || (c >= 0x31F0 && c <= 0x31FF) ||
           (c >= 0x20000 && c <= 0x2FFFF) || (c >= 0x3005 && c <= 0x3007);
}

bool isHangul(char32_t c) {
    return (c >= 0xAC00 && c <= 0xD7AF) || (c >= 0x1100 && c <= 0x11FF) ||
           (c >= 0x3130 && c <= 0x318F);
}

bool isDigit(char32_t c) {
    return (c >= '0' && c <= '9') || (c >= 0xFF10 && c <= 0xFF19);
}

bool isLetter(char32_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (c == 0xD7 || c == 0xF7) return false;
    return (c >= 0xC0 && c <= 0x24F) || (c >= 0x250 && c <= 0x2AF) || (c >= 0x300 && c <= 0x36F) ||
           (c >= 0x370 && c <= 0x3FF && c != 0x37E && c != 0x387) || (c >= 0x400 && c <= 0x52F) ||
           (c >= 0x530 && c <= 0x58F) || (c >= 0x5D0 && c <= 0x5EA) || (c >= 0x620 && c <= 0x64A) ||
           (c >= 0x900 && c <= 0xDFF) || (c >= 0xE00 && c <= 0xE7F) ||
           (c >= 0x1E00 && c <= 0x1EFF) || (c >= 0xFF21 && c <= 0xFF3A) ||
           (c >= 0xFF41 && c <= 0xFF5A);
}

bool isEmoji(char32_t c) {
    return (c >= 0x1F000 && c <= 0x1FAFF) || (c >= 0x2600 && c <= 0x27BF) ||
           (c >= 0x2B00 && c <= 0x2BFF) || (c >= 0x2300 && c <= 0x23FF);
}

bool isFullWidthPunct(char32_t c) {
    if (c >= 0x3001 && c <= 0x303F)
        return !(c >= 0x3005 && c <= 0x3007) && c != 0x3030 && c != 0x303D;
    return (c >= 0xFF01 && c <= 0xFF0F) || (c >= 0xFF1A && c <= 0xFF20) ||
           (c >= 0xFF3B && c <= 0xFF40) || (c >= 0xFF5B && c <= 0xFF65);
}

char32_t lower(char32_t c) {
    if (c >= 'A' && c <= 'Z') return c + 32;
    if (c < 0xC0) return c;
    if (c <= 0xDE && c != 0xD7) return c + 32;
    if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
        c != 0x17F) {
        const bool oddLower = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (oddLower) return (c % 2 == 1) ? c + 1 : c;
        return (c % 2 == 0) ? c + 1 : c;
    }
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
    if (c >= 0x410 && c <= 0x42F) return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    if (c >= 0xFF21 && c <= 0xFF3A) return c + 32;
    return c;
}

char32_t upper(char32_t c) {
    if (c >= 'a' && c <= 'z') return c - 32;
    if (c < 0xE0) return c;
    if (c <= 0xFE && c != 0xF7) return c - 32;
    if (c >= 0x100 && c <= 0x17F && lower(c) == c && c != 0x131 && c != 0x138 && c != 0x149 &&
        c != 0x17F) {
        const bool oddLower = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (oddLower) return (c % 2 == 0) ? c - 1 : c;
        return (c % 2 == 1) ? c - 1 : c;
    }
    if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return c - 32;
    if (c >= 0x430 && c <= 0x44F) return c - 32;
    if (c >= 0x450 && c <= 0x45F) return c - 80;
    return c;
}

std::string lowerKey(std::u32string_view word) {
    std::u32string l(word);
    for (char32_t& c : l) c = c == 0x2019 ? U'\'' : lower(c);
    return encode(l);
}

}  // namespace vserver::text
