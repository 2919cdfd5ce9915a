// Which words the user corrected: names and terms, not other edits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "JsonFields.h"
#include "cleanup/CorrectedWords.h"

using vserver::corrections::correctedWords;
using Words = std::vector<std::string>;

TEST(Corrections, NamesAndTermsTypedOver) {
    const struct {
        const char *before, *after;
        Words learned;
    } cases[] = {
        {"I talked to jason about the cube control setup",
         "I talked to Jayson about the kubectl setup",
         {"Jayson", "kubectl"}},
        {"We use post gress for storage", "We use Postgres for storage", {"Postgres"}},
        {"I use派森", "I use Python", {"Python"}},
        // Chinese names: the whole name, widened from a single changed character.
        {"我跟张伟说了", "我跟章伟说了", {"章伟"}},
        {"我约了王小明", "我约了王晓敏", {"王晓敏"}},
        // Only the name, not the spelling fixed beside it.
        {"I recieve the report from jason", "I receive the report from Jayson", {"Jayson"}},
    };
    for (const auto& c : cases) EXPECT_EQ(correctedWords(c.before, c.after), c.learned) << c.after;
}

TEST(Corrections, EditsThatAreNotCorrections) {
    const std::vector<std::pair<const char*, const char*>> notCorrections = {
        {"Hello world", "Hello, world!"},            // punctuation
        {"please ask lisa", "please ask Lisa"},      // case only
        {"email me", "e-mail me"},                   // spelling variant by punctuation
        {"their going home", "they're going home"},  // grammar, common words
        {"i recieve mail", "I receive mail."},       // spelling fix
        {"meet at the cafe", "Meet at the café"},    // accent fix
        {"The quick fox", "The quick fox jumps over the lazy dog"},  // added text
        {"call me at 5 please", "call me please"},                   // removed text
        {"call me at 5", "call me at 6"},                            // numbers are not learned
        {"我们明天去", "我们后天去"},                                // a common word
        {"the car is red", "the vehicle is red"},                    // an ordinary word
        {"totally different sentence about cats",
         "A new paragraph about rockets and space travel entirely rewritten"},
        {"same text", "same text"},
        {"", "Something new"},
    };
    for (const auto& [before, after] : notCorrections)
        EXPECT_TRUE(correctedWords(before, after).empty()) << before << " -> " << after;
}

TEST(Corrections, BoundedOnLargeOrHostileInput) {
    std::string before, after;
    for (int i = 0; i < 3000; ++i) {
        before += "word" + std::to_string(i) + " ";
        after += "other" + std::to_string(i * 7) + " ";
    }
    EXPECT_TRUE(correctedWords(before, after).empty());  // a rewrite, and too big to align fully
    // Invalid UTF-8 and control bytes do not break it.
    const auto words = correctedWords("ask \xff\xfe jon", "ask \xff John\x01");
    for (const auto& w : words) EXPECT_TRUE(vserver::jsonfields::validUtf8(w));
    // Never more than 40 characters a word.
    const std::string longName(60, 'Q');
    EXPECT_TRUE(correctedWords("meet bob", "meet " + longName).empty());
}
