#include "Mail.h"

namespace vserver::cleanup {

using namespace vserver::text;

const Set& notNames() {
    static const Set s = {
        "i",         "you",       "we",      "they",      "he",        "she",      "it",
        "me",        "us",        "them",    "my",        "your",      "our",      "their",
        "his",       "her",       "its",     "can",       "could",     "would",    "should",
        "will",      "shall",     "may",     "might",     "must",      "just",     "please",
        "thanks",    "thank",     "so",      "the",       "a",         "an",       "this",
        "that",      "these",     "those",   "is",        "are",       "was",      "were",
        "am",        "be",        "been",    "hope",      "how",       "what",     "why",
        "when",      "where",     "who",     "which",     "quick",     "sorry",    "i'm",
        "it's",      "i've",      "i'd",     "i'll",      "let's",     "here",     "hi",
        "hello",     "hey",       "good",    "great",     "and",       "or",       "but",
        "about",     "on",        "in",      "at",        "for",       "to",       "of",
        "with",      "from",      "as",      "also",      "do",        "does",     "did",
        "have",      "has",       "had",     "not",       "no",        "yes",      "ok",
        "okay",      "well",      "again",   "following", "regarding", "re",       "update",
        "if",        "there's",   "we're",   "you're",    "they're",   "wanted",   "want",
        "need",      "send",      "see",     "attached",  "today",     "tomorrow", "yesterday",
        "morning",   "afternoon", "evening", "hoping",    "hopefully", "any",      "some",
        "all",       "much",      "very",    "best",      "regards",   "cheers",   "sincerely",
        "let",       "get",       "got",     "make",      "take",      "look",     "looking",
        "going",     "forward",   "reply",   "soon",      "later",     "everyone", "everybody",
        "team",      "guys",      "folks",   "by",        "then",      "now",      "question",
        "questions", "note",      "quickly", "first",     "last",      "one",      "two",
        "three"};
    return s;
}

const Set& greetingGroups() {
    static const Set s = {"team", "all",   "everyone", "everybody", "guys",  "folks",     "there",
                          "both", "y'all", "friends",  "sir",       "madam", "colleagues"};
    return s;
}

std::u32string titleWords(const Toks& v, const std::vector<size_t>& sig, size_t b, size_t e,
                          bool keepGroupsLower) {
    std::u32string out;
    for (size_t k = b; k < e; ++k) {
        const Token& t = v[sig[k]];
        if (!out.empty()) out.push_back(U' ');
        const bool lowerWord =
            t.key == "and" || t.key == "or" || (keepGroupsLower && in(greetingGroups(), t.key));
        out += (isLowerWord(t) && !lowerWord) ? capitalised(t.text) : t.text;
    }
    return out;
}

std::u32string shapeMail(const Toks& v, const Render& prose) {
    const std::vector<size_t> sig = sigIndex(v);
    const std::optional<MailLine> greeting = findGreeting(v, sig);
    const size_t bodySig = greeting ? greeting->sig : 0;
    const std::optional<MailLine> signOff = findSignOff(v, sig, bodySig);
    if (!greeting && !signOff) return renderText(v, prose);
    const size_t signSig = signOff ? signOff->sig : sig.size();
    const size_t bodyBegin = bodySig < sig.size() ? sig[bodySig] : v.size();
    const size_t bodyEnd = signSig < sig.size() ? sig[signSig] : v.size();
    Toks body;
    if (bodyBegin < bodyEnd)
        body.assign(v.begin() + static_cast<long>(bodyBegin),
                    v.begin() + static_cast<long>(bodyEnd));
    const std::u32string bodyText = renderText(body, prose);
    if (bodyText.empty()) return renderText(v, prose);
    std::u32string out;
    if (greeting) out += greeting->text + U"\n\n";
    out += bodyText;
    if (signOff) out += U"\n\n" + signOff->text;
    return out;
}

}  // namespace vserver::cleanup
