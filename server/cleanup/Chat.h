#pragma once
#include "Render.h"

namespace vserver::cleanup {

// The chat style: prose, but a one-sentence message drops its closing full stop
// ("Sounds good" rather than "Sounds good."). Pure; any thread.
std::u32string shapeChat(const Toks& v, const Render& prose);

}  // namespace vserver::cleanup
