#pragma once
#include "Scan.h"

namespace vserver::cleanup {

// Drops stumbles: "w-we", "th- the", "the the", "I think I think", "我我觉得",
// "这个这个", "的的的". Repeats that are speech ("bye bye", "no no no", "哈哈哈")
// stay. Pure; any thread.
Toks collapseStutters(Toks v);

}  // namespace vserver::cleanup
