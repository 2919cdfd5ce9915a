#include "Cleanup.h"

#include "Fillers.h"
#include "Numbers.h"
#include "SpokenCorrections.h"
#include "Stutters.h"
#include "Styles.h"

namespace vserver::cleanup {

using namespace vserver::text;

std::string clean(std::string_view raw, Style style) {
    Toks toks = tokenize(decode(raw));
    if (!hasContent(toks)) return std::string(raw);
    toks = collapseStutters(std::move(toks));
    toks = removeFillers(std::move(toks));
    // A filler between two copies of a word hides the stutter until it is gone.
    toks = collapseStutters(std::move(toks));
    toks = applyCorrections(std::move(toks));
    if (!hasContent(toks)) return std::string(raw);

    const StyleRules& rules = rulesFor(style);
    const std::u32string out = rules.shape(toks, rules.prose);
    if (out.empty()) return std::string(raw);
    // Prose gets its numbers as digits; commands and code keep the words as said.
    if (rules.prose.convertWidth) return spokenNumbersToDigits(encode(out));
    return encode(out);
}

bool isClean(std::string_view raw, Style style) {
    return clean(raw, style) == raw;
}

size_t wordCount(std::string_view raw) {
    size_t n = 0;
    for (const auto& t : tokenize(decode(raw)))
        if (t.kind == Kind::word || t.kind == Kind::cjk || t.kind == Kind::keep) ++n;
    return n;
}

}  // namespace vserver::cleanup
