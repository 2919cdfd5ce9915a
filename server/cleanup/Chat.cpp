#include "Chat.h"

namespace vserver::cleanup {

using namespace vserver::text;

namespace {

std::u32string casual(std::u32string text) {
    if (text.find(U'\n') != std::u32string::npos) return text;
    if (text.size() < 2) return text;
    const char32_t last = text.back();
    if (last != U'.' && last != U'。') return text;
    const char32_t before = text[text.size() - 2];
    if (before == U'.' || before == U'。') return text;  // an ellipsis
    // One sentence only: no other full stop, question or exclamation mark followed by more text.
    const std::u32string body = text.substr(0, text.size() - 1);
    for (const auto& t : tokenize(body))
        if (endsSentence(t)) return text;
    return body;
}

}  // namespace

std::u32string shapeChat(const Toks& v, const Render& prose) {
    return casual(renderText(v, prose));
}

}  // namespace vserver::cleanup
