#pragma once
#include <vector>

#include "Render.h"

// What a sentence is, from its words: Chinese or not, a question or not.
// Each works on items [b, e). Pure; any thread.
namespace vserver::cleanup {

// Mostly Han characters: full-width marks, no capitals.
bool sentenceIsChinese(const std::vector<Item>& items, size_t b, size_t e);

// "are you free", "what time is it", "Hey, how are you".
bool isQuestionEnglish(const std::vector<Item>& items, size_t b, size_t e);

// "你来吗", "是不是", "为什么", "你呢".
bool isQuestionChinese(const std::vector<Item>& items, size_t b, size_t e);

}  // namespace vserver::cleanup
