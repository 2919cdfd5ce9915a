#pragma once
#include <string>
#include <string_view>

// The embedded cleanup engine: deterministic rules for English and Chinese
// dictation. Text is tokenized (Tokens), loses stutters, fillers and spoken
// self-corrections (Stutters, Fillers, SpokenCorrections), then is laid out by
// its style (Styles: Chat, Mail, Notes, or plain Render). Each unit keeps its
// word tables at its top. Pure functions, no state, safe from any thread.
namespace vserver::cleanup {

enum class Style {
    generic,
    web,
    chat,
    im,
    social,
    mail,
    terminal,
    code,
    webCode,
    ai,
    notes,
    webNotes
};

// The style for a client's style id; anything unknown is generic.
Style styleFromId(std::string_view id);
const char* styleId(Style style);

// Removes fillers, stutters and spoken self-corrections, fixes spacing,
// punctuation and capitals, and shapes the text for the style. Input must be
// valid UTF-8. Text the rules cannot improve comes back unchanged; text that
// is nothing but fillers comes back unchanged too (the caller has nothing
// better to type).
std::string clean(std::string_view raw, Style style);

// The fast lane's test: the rules would leave this text exactly as it is.
bool isClean(std::string_view raw, Style style);

// Words in a text: Latin words plus one per CJK character (for usage counts).
size_t wordCount(std::string_view text);

}  // namespace vserver::cleanup
