#include "LetterToSound.h"

// flite's headers declare C functions without saying so.
extern "C" {
#include <flite/cst_lexicon.h>
#include <flite/cst_val.h>
cst_lexicon* cmu_lex_init(void);
}

#include <cctype>
#include <mutex>

namespace vserver {

namespace {

constexpr size_t kLongestWord = 40;

// flite's phones are the CMU set in lower case with stress digits; it adds
// "ax" and "axr", which the recogniser's set writes as AH and ER.
std::string recogniserPhone(std::string p) {
    while (!p.empty() && std::isdigit(static_cast<unsigned char>(p.back()))) p.pop_back();
    if (p == "ax") return "AH";
    if (p == "axr") return "ER";
    if (p == "pau" || p.empty()) return {};
    for (char& c : p) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return p;
}

}  // namespace

std::optional<std::string> pronounce(const std::string& word) {
    std::string key;
    for (char c : word) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalpha(u))
            key += static_cast<char>(std::tolower(u));
        else if (c != '\'' && c != '-')
            return std::nullopt;  // digits, marks, other scripts: not ours to guess
    }
    if (key.empty() || key.size() > kLongestWord) return std::nullopt;

    static std::mutex turns;
    std::lock_guard lock(turns);
    static cst_lexicon* const lex = cmu_lex_init();
    if (!lex) return std::nullopt;
    cst_val* phones = lex_lookup(lex, key.c_str(), nullptr, nullptr);
    std::string out;
    for (const cst_val* v = phones; v; v = val_cdr(v)) {
        const std::string p = recogniserPhone(val_string(val_car(v)));
        if (p.empty()) continue;
        if (!out.empty()) out += ' ';
        out += p;
    }
    delete_val(phones);
    if (out.empty()) return std::nullopt;
    return out;
}

}  // namespace vserver
