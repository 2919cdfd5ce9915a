#pragma once
#include <optional>
#include <string>

namespace vserver {

// How an English word is said, in the recogniser's phone set ("HH AH L OW"):
// from flite's CMU lexicon, or its letter-to-sound rules for words the lexicon
// lacks (names, product terms). None for words it cannot spell out (no
// letters, too long). Thread: any (lookups take turns).
std::optional<std::string> pronounce(const std::string& word);

}  // namespace vserver
