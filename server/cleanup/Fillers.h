#pragma once
#include "Scan.h"

namespace vserver::cleanup {

// Drops hesitation words: "um", "uh", "you know" and ", like, " between pauses,
// "嗯", "呃", "额" alone, "那个，" opening a clause. Their commas go with them,
// except after an interjection ("Yes, um, that works" → "Yes, that works").
// Pure; any thread.
Toks removeFillers(Toks v);

}  // namespace vserver::cleanup
