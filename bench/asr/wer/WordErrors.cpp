#include "WordErrors.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "cleanup/Numbers.h"

namespace wer {

namespace {

bool digit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

std::vector<std::string> split(const std::string& text) {
    std::string s;
    s.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool inner = i > 0 && i + 1 < text.size();
        if (std::isalnum(static_cast<unsigned char>(c)) || (c & 0x80)) {
            s += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (c == '\'' && inner && std::isalpha(static_cast<unsigned char>(text[i - 1])) &&
                   std::isalpha(static_cast<unsigned char>(text[i + 1]))) {
            s += c;
        } else if ((c == ':' || c == '.') && inner && digit(text[i - 1]) && digit(text[i + 1])) {
            s += c;
        } else {
            s += ' ';
        }
    }
    std::vector<std::string> out;
    size_t at = 0;
    while (at < s.size()) {
        const size_t b = s.find_first_not_of(' ', at);
        if (b == std::string::npos) break;
        const size_t e = std::min(s.find(' ', b), s.size());
        out.push_back(s.substr(b, e - b));
        at = e;
    }
    return out;
}

}  // namespace

std::vector<std::string> scoredWords(const std::string& text) {
    return split(vserver::cleanup::spokenNumbersToDigits(text));
}

Errors& Errors::operator+=(const Errors& o) {
    reference += o.reference;
    substitutions += o.substitutions;
    deletions += o.deletions;
    insertions += o.insertions;
    return *this;
}

Errors align(const std::vector<std::string>& ref, const std::vector<std::string>& hyp) {
    const size_t n = ref.size(), m = hyp.size();
    // cost[i][j]: edits turning ref[0..i) into hyp[0..j)
    std::vector<std::vector<int>> cost(n + 1, std::vector<int>(m + 1, 0));
    for (size_t i = 0; i <= n; ++i) cost[i][0] = int(i);
    for (size_t j = 0; j <= m; ++j) cost[0][j] = int(j);
    for (size_t i = 1; i <= n; ++i)
        for (size_t j = 1; j <= m; ++j)
            cost[i][j] = std::min({cost[i - 1][j - 1] + (ref[i - 1] == hyp[j - 1] ? 0 : 1),
                                   cost[i - 1][j] + 1, cost[i][j - 1] + 1});
    Errors e;
    e.reference = int(n);
    size_t i = n, j = m;
    while (i > 0 || j > 0) {
        if (i > 0 && j > 0 &&
            cost[i][j] == cost[i - 1][j - 1] + (ref[i - 1] == hyp[j - 1] ? 0 : 1)) {
            if (ref[i - 1] != hyp[j - 1]) ++e.substitutions;
            --i;
            --j;
        } else if (i > 0 && cost[i][j] == cost[i - 1][j] + 1) {
            ++e.deletions;
            --i;
        } else {
            ++e.insertions;
            --j;
        }
    }
    return e;
}

std::pair<int, int> recall(const std::vector<std::string>& words, const std::string& reference,
                           const std::string& hypothesis) {
    std::map<std::string, int> said, heard;
    for (const auto& w : split(reference)) ++said[w];
    for (const auto& w : split(hypothesis)) ++heard[w];
    int found = 0, total = 0;
    for (const auto& word : words) {
        const auto key = split(word);
        if (key.size() != 1) continue;
        const int s = said.count(key[0]) ? said[key[0]] : 0;
        const int h = heard.count(key[0]) ? heard[key[0]] : 0;
        total += s;
        found += std::min(s, h);
    }
    return {found, total};
}

}  // namespace wer
