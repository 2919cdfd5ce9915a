#pragma once
#include "Scan.h"

// Blanks between tokens and the width of punctuation marks. Pure; any thread.
namespace vserver::cleanup {

// Whether a blank belongs between `l` and `r`; `had` says whether one stood there.
// None around full-width marks or between Han characters, one between Han and Latin
// text, none before closing marks, one after a comma or full stop.
bool needsSpace(const text::Token& l, const text::Token& r, bool had);

// The mark as a Chinese sentence writes it ("," → "，"); others unchanged.
char32_t toFullWidth(char32_t c);
// The mark as a Latin sentence writes it ("，" → ","); others unchanged.
char32_t toHalfWidth(char32_t c);

}  // namespace vserver::cleanup
