#include "Numbers.h"

#include <array>
#include <cctype>
#include <cstdint>
#include <optional>
#include <vector>

namespace vserver::cleanup {

namespace {

// ---------- vocabulary ----------

struct Named {
    std::string_view word;
    int value;
};

constexpr std::array<Named, 20> kSmall = {
    {{"zero", 0},     {"one", 1},      {"two", 2},        {"three", 3},     {"four", 4},
     {"five", 5},     {"six", 6},      {"seven", 7},      {"eight", 8},     {"nine", 9},
     {"ten", 10},     {"eleven", 11},  {"twelve", 12},    {"thirteen", 13}, {"fourteen", 14},
     {"fifteen", 15}, {"sixteen", 16}, {"seventeen", 17}, {"eighteen", 18}, {"nineteen", 19}}};
constexpr std::array<Named, 8> kTens = {{{"twenty", 20},
                                         {"thirty", 30},
                                         {"forty", 40},
                                         {"fifty", 50},
                                         {"sixty", 60},
                                         {"seventy", 70},
                                         {"eighty", 80},
                                         {"ninety", 90}}};
constexpr std::array<Named, 22> kOrdinals = {
    {{"first", 1},        {"second", 2},      {"third", 3},       {"fourth", 4},
     {"fifth", 5},        {"sixth", 6},       {"seventh", 7},     {"eighth", 8},
     {"ninth", 9},        {"tenth", 10},      {"eleventh", 11},   {"twelfth", 12},
     {"thirteenth", 13},  {"fourteenth", 14}, {"fifteenth", 15},  {"sixteenth", 16},
     {"seventeenth", 17}, {"eighteenth", 18}, {"nineteenth", 19}, {"twentieth", 20},
     {"thirtieth", 30},   {"fortieth", 40}}};
constexpr std::array<std::string_view, 12> kMonths = {
    "january", "february", "march",     "april",   "may",      "june",
    "july",    "august",   "september", "october", "november", "december"};
// Words after a small number that call for the digit ("5 km", "3 GB").
constexpr std::array<std::string_view, 14> kMeasures = {
    "percent", "km", "kg",         "mb",         "gb",        "tb",    "cm",
    "mm",      "ml", "kilometers", "kilometres", "kilograms", "miles", "meters"};
// Words before a pair like "nineteen ninety" that make it a year.
constexpr std::array<std::string_view, 9> kBeforeYear = {"in", "since", "of",     "from", "until",
                                                         "by", "year",  "before", "after"};

template <size_t N>
std::optional<int> lookup(const std::array<Named, N>& table, std::string_view w) {
    for (const auto& n : table)
        if (n.word == w) return n.value;
    return std::nullopt;
}
template <size_t N>
bool among(const std::array<std::string_view, N>& table, std::string_view w) {
    for (const auto& t : table)
        if (t == w) return true;
    return false;
}

// ---------- words of the text ----------

struct Word {
    size_t begin = 0, end = 0;  // bytes of the text
    std::string key;            // lower case
};

bool wordChar(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

// ASCII words (letters, inner apostrophes); everything else separates them.
std::vector<Word> wordsOf(std::string_view t) {
    std::vector<Word> out;
    for (size_t i = 0; i < t.size();) {
        if (!wordChar(t[i])) {
            ++i;
            continue;
        }
        // Part of a longer non-ASCII or digit run: leave alone.
        const bool glued = i > 0 && (static_cast<unsigned char>(t[i - 1]) >= 0x80 ||
                                     std::isdigit(static_cast<unsigned char>(t[i - 1])));
        Word w{i, i, {}};
        while (w.end < t.size() &&
               (wordChar(t[w.end]) || (t[w.end] == '\'' && w.end + 1 < t.size() &&
                                       wordChar(t[w.end + 1]) && w.end > w.begin)))
            ++w.end;
        i = w.end;
        if (glued || (w.end < t.size() && (static_cast<unsigned char>(t[w.end]) >= 0x80 ||
                                           std::isdigit(static_cast<unsigned char>(t[w.end]))))) {
            w.key = "\x01";  // never a number
        } else {
            for (size_t k = w.begin; k < w.end; ++k)
                w.key += static_cast<char>(std::tolower(static_cast<unsigned char>(t[k])));
        }
        out.push_back(std::move(w));
    }
    return out;
}

// ---------- numbers ----------

struct Number {
    int64_t value = 0;
    size_t words = 0;  // how many words it took
    bool ordinal = false;
};

enum class Last { none, unit, teen, tens, hundred, scale, conj };

class Converter {
  public:
    explicit Converter(std::string_view text) : t_(text), w_(wordsOf(text)) {}

    std::string run() {
        std::string out;
        size_t copied = 0;
        for (size_t i = 0; i < w_.size();) {
            Replacement r = at(i);
            if (r.words == 0) {
                ++i;
                continue;
            }
            const size_t begin = w_[r.first].begin, end = w_[i + r.words - 1].end;
            out.append(t_.substr(copied, begin - copied));
            out += r.text;
            copied = end;
            i += r.words;
        }
        out.append(t_.substr(copied));
        return out;
    }

  private:
    struct Replacement {
        size_t first = 0, words = 0;  // words [first, first + words) become text
        std::string text;
    };

    const std::string& key(size_t i) const {
        static const std::string none;
        return i < w_.size() ? w_[i].key : none;
    }
    // Only spaces or a hyphen between words i and i + 1: they can form one number.
    bool joined(size_t i) const {
        if (i + 1 >= w_.size()) return false;
        for (size_t k = w_[i].end; k < w_[i + 1].begin; ++k)
            if (t_[k] != ' ' && t_[k] != '-') return false;
        return w_[i + 1].begin - w_[i].end <= 2;
    }
    bool isNumberWord(size_t i) const {
        const auto& k = key(i);
        return lookup(kSmall, k) || lookup(kTens, k) || k == "hundred" || k == "thousand" ||
               k == "million";
    }

    // The cardinal or ordinal starting at word i ("four hundred and fifty", "twenty first").
    Number number(size_t i) const {
        int64_t total = 0, current = 0;
        Number n;
        Last last = Last::none;
        size_t k = i;
        for (; k < w_.size(); ++k) {
            if (k > i && !joined(k - 1)) break;
            const std::string& w = key(k);
            if (auto o = lookup(kOrdinals, w)) {
                const bool fits = last == Last::none || (last == Last::tens && *o < 10) ||
                                  last == Last::hundred || last == Last::scale ||
                                  last == Last::conj;
                if (!fits) break;
                current += *o;
                n.ordinal = true;
                ++k;
                break;
            }
            if (auto v = lookup(kSmall, w)) {
                const bool unit = *v < 10;
                const bool fits = last == Last::none || last == Last::hundred ||
                                  last == Last::scale || last == Last::conj ||
                                  (unit && last == Last::tens);
                if (!fits) break;
                current += *v;
                last = unit ? Last::unit : Last::teen;
            } else if (auto t = lookup(kTens, w)) {
                const bool fits = last == Last::none || last == Last::hundred ||
                                  last == Last::scale || last == Last::conj;
                if (!fits) break;
                current += *t;
                last = Last::tens;
            } else if (w == "hundred") {
                if (last != Last::unit && last != Last::teen) break;
                current *= 100;
                last = Last::hundred;
            } else if (w == "thousand" || w == "million") {
                if (last == Last::none || last == Last::conj || last == Last::scale) break;
                total += current * (w == "thousand" ? 1000 : 1000000);
                current = 0;
                last = Last::scale;
            } else if (w == "and") {
                if ((last != Last::hundred && last != Last::scale) || !joined(k) ||
                    !(lookup(kSmall, key(k + 1)) || lookup(kTens, key(k + 1)) ||
                      lookup(kOrdinals, key(k + 1))))
                    break;
                last = Last::conj;
            } else {
                break;
            }
        }
        n.value = total + current;
        n.words = k - i;
        return n;
    }

    // Two-digit minutes or year halves after a number: "thirty", "forty five", "oh five".
    std::optional<std::pair<int, size_t>> twoDigits(size_t i) const {
        if (key(i) == "oh" && joined(i)) {
            const auto v = lookup(kSmall, key(i + 1));
            if (v && *v >= 1 && *v <= 9) return std::pair{*v, size_t(2)};
            return std::nullopt;
        }
        if (const auto v = lookup(kSmall, key(i)); v && *v >= 10) return std::pair{*v, size_t(1)};
        if (const auto t = lookup(kTens, key(i))) {
            if (joined(i))
                if (const auto u = lookup(kSmall, key(i + 1)); u && *u >= 1 && *u <= 9)
                    return std::pair{*t + *u, size_t(2)};
            return std::pair{*t, size_t(1)};
        }
        return std::nullopt;
    }

    static std::string pad2(int v) { return (v < 10 ? "0" : "") + std::to_string(v); }

    static std::string digits(int64_t v) {
        std::string s = std::to_string(v);
        if (v < 10000) return s;
        for (int k = int(s.size()) - 3; k > 0; k -= 3) s.insert(size_t(k), ",");
        return s;
    }

    bool isMonth(size_t i) const { return among(kMonths, key(i)); }
    std::string monthName(size_t i) const {
        std::string m = key(i);
        m[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(m[0])));
        return m;
    }

    // What word i starts, if it is a number a writer writes in digits.
    Replacement at(size_t i) {
        Replacement r;
        r.first = i;
        if (key(i) == "the" && joined(i)) {
            // "the fifth of June" -> "June 5"
            const Number n = number(i + 1);
            if (n.words && n.ordinal && n.value >= 1 && n.value <= 31 &&
                key(i + 1 + n.words) == "of" && joined(i + n.words) && isMonth(i + 2 + n.words) &&
                joined(i + 1 + n.words)) {
                r.words = n.words + 3;
                r.text = monthName(i + 2 + n.words) + " " + std::to_string(n.value);
            }
            return r;
        }
        if (isMonth(i) && joined(i)) {
            // "June fifth" -> "June 5"
            const Number n = number(i + 1);
            if (n.words && n.ordinal && n.value >= 1 && n.value <= 31) {
                r.words = n.words + 1;
                r.text = monthName(i) + " " + std::to_string(n.value);
            }
            return r;
        }
        if (!isNumberWord(i)) return r;
        const Number n = number(i);
        if (!n.words || n.ordinal) return r;
        const size_t after = i + n.words;
        const bool single = n.words == 1;
        const bool follows = joined(after - 1);

        // Times: "three thirty", "seven fifteen", "eleven oh five".
        if (single && n.value >= 1 && n.value <= 12 && follows) {
            if (const auto mm = twoDigits(after); mm && mm->first <= 59) {
                const size_t end = after + mm->second;
                const std::string& next = key(end);
                const bool money = next == "dollars" || next == "percent" || next == "cents";
                if (!money && !isNumberWord(end)) {
                    r.words = n.words + mm->second;
                    r.text = std::to_string(n.value) + ":" + pad2(mm->first);
                    return r;
                }
            }
        }
        // Years said in pairs: "in nineteen ninety nine".
        if (single && n.value >= 10 && n.value <= 20 && follows && i > 0 &&
            (among(kBeforeYear, key(i - 1)) || isMonth(i - 1))) {
            if (const auto yy = twoDigits(after); yy && !isNumberWord(after + yy->second)) {
                r.words = n.words + yy->second;
                r.text = std::to_string(n.value) + pad2(yy->first);
                return r;
            }
        }
        // A number straight after this one that did not join it ("one two three"):
        // a list of digits, a score: leave the words.
        if (follows && isNumberWord(after)) return r;

        std::string amount = digits(n.value);
        size_t used = n.words;
        // "two point five"
        if (follows && key(after) == "point" && joined(after)) {
            std::string fraction;
            size_t k = after + 1;
            for (; k < w_.size(); ++k) {
                const auto d = lookup(kSmall, key(k));
                if (!d || *d > 9 || (k > after + 1 && !joined(k - 1))) break;
                fraction += std::to_string(*d);
            }
            if (!fraction.empty()) {
                amount = std::to_string(n.value) + "." + fraction;
                used = k - i;
            }
        }
        const size_t unitAt = i + used;
        const std::string& unit = joined(unitAt - 1) ? key(unitAt) : std::string();
        if (unit == "dollars" || unit == "dollar" || unit == "bucks") {
            r.words = used + 1;
            r.text = "$" + amount;
            return r;
        }
        if (unit == "percent") {
            r.words = used + 1;
            r.text = amount + "%";
            return r;
        }
        const bool timeUnit =
            unit == "o'clock" || unit == "am" || unit == "pm" ||
            ((unit == "a" || unit == "p") && t_.substr(w_[unitAt].end, 3).rfind(".m", 0) == 0);
        if (n.value >= 10 || used > n.words || among(kMeasures, unit) ||
            (timeUnit && n.value >= 1 && n.value <= 12)) {
            r.words = used;
            r.text = amount;
        }
        return r;
    }

    std::string_view t_;
    std::vector<Word> w_;
};

}  // namespace

std::string spokenNumbersToDigits(std::string_view text) {
    return Converter(text).run();
}

}  // namespace vserver::cleanup
