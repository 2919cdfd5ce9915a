#pragma once
#include "Render.h"

namespace vserver::cleanup {

// The notes style: a spoken enumeration ("first …, second …, finally …",
// "第一…第二…") becomes a numbered list under its introduction; other text is
// prose. Pure; any thread.
std::u32string shapeNotes(const Toks& v, const Render& prose);

}  // namespace vserver::cleanup
