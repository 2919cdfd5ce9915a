#pragma once
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

// The server's JSON plumbing over nlohmann::json: parsing that never throws and
// bounds what a hostile peer can make us build, and typed member access that
// treats a wrong type like an absent member.
namespace vserver::jsonfields {

using json = nlohmann::json;

// Deeper input is refused: nothing we read nests beyond a few levels, and
// writing a deeply nested value back out recurses once per level.
constexpr int kMaxDepth = 32;

// Parses without throwing. A discarded value when the text is not JSON (bad
// syntax, invalid UTF-8, a number beyond double range) or nests deeper than
// kMaxDepth; `why`, when given, then says which, in a few words.
json parse(std::string_view text, std::string* why = nullptr);

// Compact, never throws (invalid UTF-8 becomes U+FFFD).
std::string dump(const json& j);

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates).
bool validUtf8(std::string_view text);

// Typed member access that never throws: none when absent or of another type.
const json* member(const json& object, const char* key);
const json* objectMember(const json& object, const char* key);
std::optional<std::string> stringMember(const json& object, const char* key);
// A whole number that fits 64 bits; 12.0 and 1e3 count, 1.5 and 1e30 do not.
std::optional<int64_t> intMember(const json& object, const char* key);
std::optional<bool> boolMember(const json& object, const char* key);

// A JSON value rendered as text: a string as itself, anything else as JSON ("" for none).
std::string render(const json* value);

}  // namespace vserver::jsonfields
