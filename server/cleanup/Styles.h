#pragma once
#include "Cleanup.h"
#include "Render.h"

// How each style renders cleaned tokens: its id on the wire, its prose options
// and the shaper that lays the text out. Pure; any thread.
namespace vserver::cleanup {

using Shaper = std::u32string (*)(const Toks& v, const Render& prose);

struct StyleRules {
    Style style;
    const char* id;
    Render prose;
    Shaper shape;
};

const StyleRules& rulesFor(Style style);

}  // namespace vserver::cleanup
