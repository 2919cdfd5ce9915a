#pragma once
#include <optional>
#include <string>
#include <vector>

#include "Render.h"

// The mail style: a greeting on its own line, the body, and a sign-off with the
// sender's name, each set apart by an empty line. Pure; any thread.
namespace vserver::cleanup {

std::u32string shapeMail(const Toks& v, const Render& prose);

// A greeting or sign-off found in the dictation, as it will be written.
struct MailLine {
    std::u32string text;
    size_t sig;  // greeting: where the body starts; sign-off: where it starts
};

// "hi john" → "Hi John,", "张总好" → "张总好，".
std::optional<MailLine> findGreeting(const Toks& v, const std::vector<size_t>& sig);
// "thanks, anna" → "Thanks,\nAnna", "此致敬礼" → "此致\n敬礼！"; only after `bodySig`.
std::optional<MailLine> findSignOff(const Toks& v, const std::vector<size_t>& sig, size_t bodySig);

// Shared by the greeting and the sign-off.
const Set& notNames();        // words that cannot be a name after a greeting or sign-off
const Set& greetingGroups();  // "team", "all", "everyone": a greeting's addressee
// Sig positions [b, e) as words with capitals ("john smith" → "John Smith").
std::u32string titleWords(const Toks& v, const std::vector<size_t>& sig, size_t b, size_t e,
                          bool keepGroupsLower);

}  // namespace vserver::cleanup
