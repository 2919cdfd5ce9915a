#pragma once
#include <string>
#include <vector>

namespace wer {

// The words a transcript is scored on: lower case, punctuation dropped (an
// apostrophe inside a word and ':' or '.' between digits stay), with spoken
// numbers, times and dates written as the cleanup writes them.
std::vector<std::string> scoredWords(const std::string& text);

struct Errors {
    int reference = 0;  // words in the reference
    int substitutions = 0, deletions = 0, insertions = 0;
    int errors() const { return substitutions + deletions + insertions; }
    double rate() const { return reference ? double(errors()) / reference : 0.0; }
    Errors& operator+=(const Errors& o);
};

// Minimum edit alignment of the hypothesis to the reference; ties prefer a
// substitution over a deletion plus an insertion.
Errors align(const std::vector<std::string>& reference, const std::vector<std::string>& hypothesis);

// Occurrences of `words` (ignoring case) in the reference that the hypothesis
// also has, counted as multisets: {found, said}.
std::pair<int, int> recall(const std::vector<std::string>& words, const std::string& reference,
                           const std::string& hypothesis);

}  // namespace wer
