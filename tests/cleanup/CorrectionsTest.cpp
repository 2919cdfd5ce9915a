// Which words the user corrected: names and terms, not other edits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "JsonFields.h"
#include "cleanup/CorrectedWords.h"

using vserver::corrections::correctedWords;
using Words = std::vector<std::string>;

TEST(Corrections, NamesAndTermsTypedOver) {
    EXPECT_EQ(correctedWords("I talked to jason about the cube control setup",
                             "I talked to Jayson about the kubectl setup"),
              (Words{"Jayson", "kubectl"}));
    EXPECT_EQ(correctedWords("send it to jon", "send it to John"), (Words{"John"}));
    EXPECT_EQ(correctedWords("We use post gress for storage", "We use Postgres for storage"),
              (Words{"Postgres"}));
    EXPECT_EQ(correctedWords("The deploy uses cube", "The deploy uses k8s"), (Words{"k8s"}));
    EXPECT_EQ(correctedWords("I use派森", "I use Python"), (Words{"Python"}));
    // Chinese names: the whole name, widened from a single changed character.
    EXPECT_EQ(correctedWords("我跟张伟说了", "我跟章玮说了"), (Words{"章玮"}));
    EXPECT_EQ(correctedWords("我跟张伟说了", "我跟章伟说了"), (Words{"章伟"}));
    EXPECT_EQ(correctedWords("我跟李华约了周五", "我跟李桦约了周五"), (Words{"李桦"}));
    EXPECT_EQ(correctedWords("我约了王小明", "我约了王晓敏"), (Words{"王晓敏"}));
    EXPECT_EQ(correctedWords("ask sara about it", "ask Sarah about it"), (Words{"Sarah"}));
    EXPECT_EQ(correctedWords("open the get hub page", "open the GitHub page"), (Words{"GitHub"}));
    // Only the name, not the spelling fixed beside it.
    EXPECT_EQ(correctedWords("I recieve the report from jason", "I receive the report from Jayson"),
              (Words{"Jayson"}));
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
        {"we walked slowly home", "we strolled slowly home"},
        {"totally different sentence about cats",
         "A new paragraph about rockets and space travel entirely rewritten"},
        {"same text", "same text"},
        {"", "Something new"},
        {"Something old", ""},
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
