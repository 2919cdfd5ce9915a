#include "Styles.h"

#include <array>

#include "Chat.h"
#include "Mail.h"
#include "Notes.h"

namespace vserver::cleanup {

namespace {

// Sentences: capitals, spacing, marks in the width of their language, a closing mark.
constexpr Render kProse{};
// Code editors: tidy words, but marks as typed and no closing mark after an identifier.
constexpr Render kCode{
    .capitalise = true, .convertWidth = false, .fixSpacing = true, .end = End::none};
// Shells: the words as said, minus fillers; no capitals, spacing or marks added.
constexpr Render kTerminal{
    .capitalise = false, .convertWidth = false, .fixSpacing = false, .end = End::none};

// One row per style, in the order of `Style`.
constexpr std::array<StyleRules, 12> kStyles = {{
    {Style::generic, "generic", kProse, renderText},
    {Style::web, "web", kProse, renderText},
    {Style::chat, "chat", kProse, shapeChat},
    {Style::im, "im", kProse, shapeChat},
    {Style::social, "social", kProse, shapeChat},
    {Style::mail, "mail", kProse, shapeMail},
    {Style::terminal, "terminal", kTerminal, renderText},
    {Style::code, "code", kCode, renderText},
    {Style::webCode, "web-code", kCode, renderText},
    {Style::ai, "ai", kProse, renderText},
    {Style::notes, "notes", kProse, shapeNotes},
    {Style::webNotes, "web-notes", kProse, shapeNotes},
}};

constexpr bool rowsInOrder() {
    for (size_t i = 0; i < kStyles.size(); ++i)
        if (static_cast<size_t>(kStyles[i].style) != i) return false;
    return true;
}
static_assert(rowsInOrder(), "kStyles rows must follow the order of Style");

}  // namespace

const StyleRules& rulesFor(Style style) {
    const auto i = static_cast<size_t>(style);
    return i < kStyles.size() ? kStyles[i] : kStyles[0];
}

Style styleFromId(std::string_view id) {
    for (const StyleRules& rules : kStyles)
        if (id == rules.id) return rules.style;
    return Style::generic;
}

const char* styleId(Style style) {
    return rulesFor(style).id;
}

}  // namespace vserver::cleanup
