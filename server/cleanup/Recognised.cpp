#include "Recognised.h"

#include <array>
#include <cctype>
#include <vector>

namespace vserver::cleanup {

namespace {

constexpr std::array<std::string_view, 8> kQuestionWords = {"what", "when", "where", "who",
                                                            "why",  "how",  "which", "whose"};
// Verbs that open a question when a subject follows them.
constexpr std::array<std::string_view, 34> kAuxiliaries = {
    "is",       "are",   "was",      "were",      "am",      "do",     "does",    "did",    "can",
    "could",    "will",  "would",    "shall",     "should",  "may",    "might",   "have",   "has",
    "had",      "isn't", "aren't",   "wasn't",    "weren't", "don't",  "doesn't", "didn't", "can't",
    "couldn't", "won't", "wouldn't", "shouldn't", "haven't", "hasn't", "must"};
constexpr std::array<std::string_view, 26> kSubjects = {
    "i",    "you",   "we",     "they",    "he",      "she",      "it",       "there",    "this",
    "that", "these", "those",  "the",     "your",    "my",       "our",      "their",    "his",
    "her",  "its",   "anyone", "anybody", "someone", "everyone", "somebody", "everybody"};
// After a question word, what keeps it a question ("what time", "how much"),
// unlike a clause ("when I get home, ...").
constexpr std::array<std::string_view, 13> kAfterQuestionWord = {
    "time",  "about", "else", "kind", "long", "much", "many",
    "often", "far",   "old",  "if",   "day",  "sort"};

template <size_t N>
bool among(const std::array<std::string_view, N>& table, std::string_view w) {
    for (const auto& t : table)
        if (t == w) return true;
    return false;
}

std::string lower(std::string_view w) {
    std::string s(w);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool opensQuestion(const std::vector<std::string>& w) {
    if (w.empty()) return false;
    if (const size_t q = w[0].find('\'');  // "what's it for"
        q != std::string::npos && among(kQuestionWords, std::string_view(w[0]).substr(0, q)))
        return true;
    if (w.size() < 2) return false;
    if (among(kQuestionWords, w[0]))
        return among(kAuxiliaries, w[1]) || among(kAfterQuestionWord, w[1]) ||
               w[1].find('\'') != std::string::npos;  // "what's", "where's"
    return among(kAuxiliaries, w[0]) && among(kSubjects, w[1]);
}

}  // namespace

std::string shapeRecognisedSentence(std::string_view text) {
    const size_t b = text.find_first_not_of(" \t\n");
    if (b == std::string_view::npos) return {};
    const size_t e = text.find_last_not_of(" \t\n");
    std::string s(text.substr(b, e - b + 1));
    for (const char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return s;

    std::vector<std::string> keys;
    for (size_t i = 0; i < s.size();) {
        const size_t j = std::min(s.find(' ', i), s.size());
        std::string key = lower(std::string_view(s).substr(i, j - i));
        while (!key.empty() && !std::isalnum(static_cast<unsigned char>(key.back())))
            key.pop_back();
        // "i", "i'm", "i'll": the pronoun is a capital.
        if (key == "i" || key.rfind("i'", 0) == 0) s[i] = 'I';
        keys.push_back(std::move(key));
        i = s.find_first_not_of(' ', j);
        if (i == std::string::npos) break;
    }
    s[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
    const char last = s.back();
    if (last == '.' || last == '?' || last == '!' || last == ',' || last == ';' || last == ':')
        return s;
    if (!std::isalnum(static_cast<unsigned char>(last)) && last != '\'') return s;
    s += opensQuestion(keys) ? '?' : '.';
    return s;
}

}  // namespace vserver::cleanup
