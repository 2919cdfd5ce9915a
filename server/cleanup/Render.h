#pragma once
#include <string>
#include <vector>

#include "Scan.h"

// Cleaned tokens back to text: spacing, punctuation width (full width in Chinese
// sentences, half width in others), capitals, and the mark that closes a line.
// Pure; any thread.
namespace vserver::cleanup {

// What happens to the end of a line.
enum class End {
    add,    // close it with . or ? (。 or ？ in Chinese) when nothing closes it
    none,   // leave it as it is
    strip,  // drop a trailing comma, full stop or colon (list items, intros)
};

struct Render {
    bool capitalise = true;
    bool convertWidth = true;
    bool fixSpacing = true;
    End end = End::add;
};

// A token on its way out, with whether a blank stood before it.
struct Item {
    text::Token t;
    bool spaceBefore = false;
};

// One line of prose (newlines inside count as blanks).
std::u32string renderLine(const Toks& line, const Render& opt);

// Line by line, list lines ("- item", "3. item") keeping their marker; at most one
// empty line between paragraphs.
std::u32string renderText(const Toks& v, const Render& opt);

}  // namespace vserver::cleanup
