#pragma once
#include "Scan.h"

namespace vserver::cleanup {

// Applies the speaker's own corrections of a number or a day: "at three, no, four"
// → "at four", "三点，不对，四点" → "四点". A unit said only the first time carries
// over ("three dollars, no, four" → "four dollars"). Pure; any thread.
Toks applyCorrections(Toks v);

}  // namespace vserver::cleanup
