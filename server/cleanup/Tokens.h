#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "Unicode.h"

// Dictation text as tokens: the common ground of the cleanup rules and the
// correction finder. Works on code points; everything round-trips exactly
// except line ends (\r dropped) and runs of blanks (one space). Pure; any thread.
namespace vserver::text {

enum class Kind {
    word,     // Latin-script word or number: "don't", "well-known", "3.5", "$20", "3pm"
    cjk,      // one Han / kana / hangul character
    punct,    // one punctuation mark, ASCII or full width; "..." is one token
    space,    // a run of blanks, stored as " "
    newline,  // one line end
    keep,     // verbatim: URL, path, e-mail, identifier, `code`, clip token ⟦…⟧
    symbol,   // emoji (with joiners and modifiers) and other signs
};

struct Token {
    Kind kind;
    std::u32string text;
    std::string key;      // word: lower-case UTF-8 with ’ as '; cjk/punct: UTF-8 of text
    bool number = false;  // word made of digits (with separators, currency, unit suffix)
    bool alpha = false;   // word made of letters only (with inner ' and -)
};

std::vector<Token> tokenize(std::u32string_view text);

Token makePunct(char32_t c);
Token makeSpace();
Token makeWord(std::u32string text);  // classified as the tokenizer would

}  // namespace vserver::text
