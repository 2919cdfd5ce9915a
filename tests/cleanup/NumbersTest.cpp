// Spoken numbers written as digits, recognised sentences shaped like a hosted
// service's, and the word error measure of the recognition benchmark.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "WordErrors.h"
#include "cleanup/Cleanup.h"
#include "cleanup/Numbers.h"
#include "cleanup/Recognised.h"

using vserver::cleanup::clean;
using vserver::cleanup::shapeRecognisedSentence;
using vserver::cleanup::spokenNumbersToDigits;
using vserver::cleanup::Style;

namespace {

struct Case {
    const char* in;
    const char* out;
};

TEST(SpokenNumbers, WrittenAsAWriterWould) {
    const std::vector<Case> cases = {
        // times
        {"three thirty on Thursday", "3:30 on Thursday"},
        {"the flight leaves at seven fifteen in the morning",
         "the flight leaves at 7:15 in the morning"},
        // counts: one to nine stay words, ten and up become digits
        {"the twelve new laptops", "the 12 new laptops"},
        {"three of the five tests", "three of the five tests"},
        {"twenty-one days", "21 days"},
        {"four hundred and fifty", "450"},
        {"one million two hundred thousand", "1,200,000"},
        {"from six to fifteen people", "from six to 15 people"},
        // money, shares, measures, decimals
        {"four hundred and fifty dollars", "$450"},
        {"two point five percent", "2.5%"},
        // dates and years
        {"the fifth of June", "June 5"},
        {"on the twenty first of march", "on March 21"},
        {"in nineteen ninety nine", "in 1999"},
        {"the first week of October", "the first week of October"},
        // left alone
        {"one two three", "one two three"},
        {"Ten, nine, eight", "10, nine, eight"},
        {"wait a second", "wait a second"},
        {"高三十", "高三十"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(spokenNumbersToDigits(c.in), c.out) << c.in;
}

TEST(RecognisedSentence, CapitalAndClosingMark) {
    const std::vector<Case> cases = {
        {"thanks for the update i will call you back after lunch",
         "Thanks for the update I will call you back after lunch."},
        {"are you free for a quick call", "Are you free for a quick call?"},
        {"don't you think so", "Don't you think so?"},
        {"when i get home i'll call you", "When I get home I'll call you."},
        {"Velmora is ready", "Velmora is ready."},
        {"  padded  ", "Padded."},
        {"", ""},
        {"你好吗", "你好吗"},
    };
    for (const Case& c : cases) EXPECT_EQ(shapeRecognisedSentence(c.in), c.out) << c.in;
}

TEST(RecognisedSentence, CleanupKeepsTheBoundariesAndWritesDigits) {
    EXPECT_EQ(clean("Thanks for the update. I will call you back after lunch.", Style::generic),
              "Thanks for the update. I will call you back after lunch.");
    EXPECT_EQ(clean("Um the review moved to three thirty. Are you free?", Style::generic),
              "The review moved to 3:30. Are you free?");
    EXPECT_EQ(clean("We ordered twelve new laptops.", Style::chat), "We ordered 12 new laptops");
    // Shells and code keep the words as said.
    EXPECT_EQ(clean("sleep twelve", Style::terminal), "sleep twelve");
}

TEST(WordErrors, AlignmentCountsEachKind) {
    struct Row {
        const char* ref;
        const char* hyp;
        int sub, del, ins;
    };
    const std::vector<Row> rows = {
        {"the cat sat", "the cat sat", 0, 0, 0},
        {"the cat sat", "the bat sat", 1, 0, 0},
        {"the cat sat", "the sat", 0, 1, 0},
        {"the cat sat", "the big cat sat down", 0, 0, 2},
        {"the cat sat", "", 0, 3, 0},
        {"", "noise", 0, 0, 1},
        // scored after the cleanup's normalisation: case, marks, numbers
        {"The review moved to three thirty.", "the review moved to 3:30", 0, 0, 0},
        {"It's twelve.", "its 12", 1, 0, 0},
    };
    for (const Row& r : rows) {
        const auto e = wer::align(wer::scoredWords(r.ref), wer::scoredWords(r.hyp));
        EXPECT_EQ(e.substitutions, r.sub) << r.ref << " / " << r.hyp;
        EXPECT_EQ(e.deletions, r.del) << r.ref << " / " << r.hyp;
        EXPECT_EQ(e.insertions, r.ins) << r.ref << " / " << r.hyp;
    }
    const auto hits = wer::recall({"Priya", "Velmora"}, "Priya met Priya about Velmora.",
                                  "priya met maria about velmora");
    EXPECT_EQ(hits, std::make_pair(2, 3));
}

}  // namespace
