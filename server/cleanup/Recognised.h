#pragma once
#include <string>
#include <string_view>

// A final sentence from an engine that hears words only (lower case, no marks)
// shaped the way a hosted recogniser sends one: a capital at the start, "I"
// as a word, and a question mark when it opens like a question ("are you
// free", "where did you park"), a full stop otherwise. Text that already ends
// with a mark, or is not plain ASCII, keeps its own shape apart from the
// capital. Pure; any thread.
namespace vserver::cleanup {

std::string shapeRecognisedSentence(std::string_view text);

}  // namespace vserver::cleanup
