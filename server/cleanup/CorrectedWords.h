#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace vserver::corrections {

// The names and terms the user typed over: aligns "before" (as dictated) and
// "after" (as edited) word by word (character by character in Chinese) and
// keeps the replacements that look like a name or a term. Punctuation-only,
// case-only, added or removed text, spelling fixes, common-word swaps and
// rewrites of whole passages are not corrections. Pure; any thread.
std::vector<std::string> correctedWords(std::string_view before, std::string_view after);

// The English word list that tells ordinary words from terms (the recogniser's dictionary).
inline constexpr const char* kWordList = "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict";

// Largest texts compared, in characters; longer ones give no words.
constexpr size_t kMaxChars = 20000;

}  // namespace vserver::corrections
