#pragma once
#include <string>
#include <vector>

namespace wer {

// One dictation-like sentence as it is spoken; the reference is the same words.
struct Line {
    const char* kind;  // mail, chat, notes, names, numbers, dates, code
    const char* text;
};

// The whole corpus, ordered so that any prefix mixes every kind: the quick run
// takes the first few, the full run all of them.
const std::vector<Line>& corpus();

// Names and terms a user would keep in the dictionary; sent as hotwords on
// every run and counted for recall wherever the corpus says them.
const std::vector<std::string>& hotwords();

}  // namespace wer
