#include "Sentences.h"

#include <array>
#include <string>
#include <string_view>

namespace vserver::cleanup {

using namespace vserver::text;

namespace {

// Greetings and links before a question do not count: "Hey, how are you".
const Set& questionLeadIns() {
    static const Set s = {"hey",  "hi", "hello", "so",  "ok",   "okay",
                          "well", "oh", "and",   "but", "also", "anyway"};
    return s;
}

const Set& whWords() {
    static const Set s = {"what", "why", "where", "who", "which", "how", "whose", "whom"};
    return s;
}

// A wh-word followed by these states rather than asks: "what I want is…".
const Set& whStatements() {
    static const Set s = {"i", "we", "you", "they", "he", "she", "a", "an", "it"};
    return s;
}

// Auxiliaries that open a question when a subject follows.
const Set& auxiliaries() {
    static const Set s = {"is",      "are",    "am",     "was",      "were",      "can",
                          "could",   "would",  "should", "will",     "shall",     "do",
                          "does",    "did",    "isn't",  "aren't",   "can't",     "don't",
                          "doesn't", "didn't", "won't",  "wouldn't", "shouldn't", "couldn't",
                          "have",    "has",    "may"};
    return s;
}

const Set& subjects() {
    static const Set s = {"you",     "we",     "i",       "they",     "he",       "she",
                          "it",      "this",   "that",    "there",    "these",    "those",
                          "someone", "anyone", "anybody", "everyone", "somebody", "y'all"};
    return s;
}

// A Chinese sentence that starts with these asks.
constexpr std::array<std::u32string_view, 5> kCnQuestionStarts = {U"为什么", U"怎么", U"谁", U"哪",
                                                                  U"多少"};
// Anywhere in a Chinese sentence, these ask.
constexpr std::array<std::u32string_view, 2> kCnQuestionWords = {U"有没有", U"可不可以"};

}  // namespace

bool sentenceIsChinese(const std::vector<Item>& items, size_t b, size_t e) {
    size_t han = 0, words = 0;
    for (size_t k = b; k < e; ++k) {
        if (items[k].t.kind == Kind::cjk)
            ++han;
        else if (items[k].t.alpha)
            ++words;
    }
    return han > 0 && 2 * han > 3 * words;
}

bool isQuestionEnglish(const std::vector<Item>& items, size_t b, size_t e) {
    // "Quick question: are you free": the clause after a colon asks.
    for (size_t k = e; k > b; --k)
        if (items[k - 1].t.kind == Kind::punct &&
            (items[k - 1].t.text == U":" || items[k - 1].t.text == U"：")) {
            if (k < e) b = k;
            break;
        }
    while (b < e && ((items[b].t.kind == Kind::word && in(questionLeadIns(), items[b].t.key)) ||
                     isCommaLike(items[b].t)))
        ++b;
    std::vector<std::string> words;
    for (size_t k = b; k < e && words.size() < 2; ++k)
        if (items[k].t.kind == Kind::word)
            words.push_back(items[k].t.key);
        else if (!isOpenPunct(items[k].t))
            break;
    if (words.size() < 2) return false;
    if (words[0] == "when") return in(auxiliaries(), words[1]);
    if (in(whWords(), words[0])) return !in(whStatements(), words[1]);
    if (in(auxiliaries(), words[0]) && words[0] != "have" && words[0] != "has")
        return in(subjects(), words[1]);
    return false;
}

bool isQuestionChinese(const std::vector<Item>& items, size_t b, size_t e) {
    std::u32string han, clause;
    for (size_t k = b; k < e; ++k) {
        if (items[k].t.kind == Kind::cjk) {
            han += items[k].t.text;
            clause += items[k].t.text;
        } else if (isCommaLike(items[k].t)) {
            clause.clear();
        }
    }
    if (han.empty()) return false;
    if (han.back() == U'吗') return true;
    if (han.back() == U'呢' && clause.size() <= 5)
        return true;  // "你呢", "你觉得呢"; not "我还在想这件事呢"
    for (size_t k = 0; k + 2 < han.size(); ++k)
        if (han[k + 1] == U'不' && han[k] == han[k + 2] && han[k] != U'不')
            return true;  // 是不是, 能不能
    for (auto w : kCnQuestionWords)
        if (han.find(w) != std::u32string::npos) return true;
    for (auto start : kCnQuestionStarts)
        if (han.compare(0, start.size(), start) == 0) return true;
    return false;
}

}  // namespace vserver::cleanup
