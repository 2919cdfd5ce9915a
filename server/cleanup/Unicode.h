#pragma once
#include <string>
#include <string_view>

// UTF-8 and the character classes the cleanup rules need: scripts, digits, case.
// Pure functions, safe from any thread.
namespace vserver::text {

std::u32string decode(std::string_view utf8);  // invalid bytes become U+FFFD
std::string encode(std::u32string_view text);
std::string encode(char32_t c);

bool isCjk(char32_t c);  // Han, kana, hangul
bool isHangul(char32_t c);
bool isLetter(char32_t c);
bool isDigit(char32_t c);
bool isEmoji(char32_t c);
bool isFullWidthPunct(char32_t c);

// Case mapping for Latin, Greek, Cyrillic and full-width letters.
char32_t lower(char32_t c);
char32_t upper(char32_t c);
// A word as a lookup key: lower case, ’ as ', UTF-8.
std::string lowerKey(std::u32string_view word);

}  // namespace vserver::text
