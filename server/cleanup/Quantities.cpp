#include "Quantities.h"

#include <array>
#include <string_view>

namespace vserver::cleanup {

using namespace vserver::text;

namespace {

const Set& numberWords() {
    static const Set s = {"zero",     "one",      "two",      "three",   "four",    "five",
                          "six",      "seven",    "eight",    "nine",    "ten",     "eleven",
                          "twelve",   "thirteen", "fourteen", "fifteen", "sixteen", "seventeen",
                          "eighteen", "nineteen", "twenty",   "thirty",  "forty",   "fifty",
                          "sixty",    "seventy",  "eighty",   "ninety",  "hundred", "thousand",
                          "million",  "billion",  "half",     "dozen"};
    return s;
}

const Set& unitWords() {
    static const Set s = {"dollars", "dollar", "bucks",  "euros",   "euro",    "pounds",  "yuan",
                          "percent", "pm",     "am",     "p.m.",    "a.m.",    "o'clock", "people",
                          "persons", "hours",  "hour",   "minutes", "minute",  "seconds", "days",
                          "day",     "weeks",  "week",   "months",  "month",   "years",   "year",
                          "times",   "items",  "pages",  "copies",  "tickets", "kilos",   "kg",
                          "miles",   "km",     "meters", "pieces",  "boxes",   "slides",  "seats",
                          "guests",  "rooms",  "nights", "users",   "servers", "tables",  "cups",
                          "points",  "k",      "gb",     "mb"};
    return s;
}

SpanKind dayKind(const std::string& key) {
    static const Set weekdays = {"monday", "tuesday",  "wednesday", "thursday",
                                 "friday", "saturday", "sunday"};
    static const Set months = {"january",   "february", "march",    "april",
                               "may",       "june",     "july",     "august",
                               "september", "october",  "november", "december"};
    static const Set relative = {"today", "tomorrow", "tonight", "yesterday"};
    static const Set ordinals = {"first",   "second", "third", "fourth", "fifth", "sixth",
                                 "seventh", "eighth", "ninth", "tenth",  "last"};
    if (in(weekdays, key)) return SpanKind::weekday;
    if (in(months, key)) return SpanKind::month;
    if (in(relative, key)) return SpanKind::relativeDay;
    if (in(ordinals, key)) return SpanKind::ordinal;
    return SpanKind::none;
}

constexpr std::u32string_view kCnDigits = U"零〇一二三四五六七八九十百千万两半";
constexpr std::u32string_view kCnUnits =
    U"点个号月日天人块元次年岁本张分周倍层楼份条斤米杯位台辆件页章节课届名间套只双碗瓶箱包盒场期度"
    U"秒";
constexpr std::array<std::u32string_view, 5> kCnTwoCharUnits = {U"小时", U"分钟", U"公里", U"个月",
                                                                U"星期"};
// Days and parts of days.
constexpr std::array<std::u32string_view, 15> kCnDayWords = {
    U"今天", U"明天", U"后天", U"昨天", U"前天", U"今晚", U"明晚", U"今早",
    U"明早", U"上午", U"中午", U"下午", U"晚上", U"早上", U"周末"};
// "星期三", "礼拜天", "周五".
constexpr std::array<std::u32string_view, 2> kCnWeekPrefixes = {U"星期", U"礼拜"};
constexpr std::u32string_view kCnWeekdayChars = U"一二三四五六日天";

bool isNumberToken(const Token& t) {
    return t.number || (t.alpha && isNumberWord(t.key));
}

Span englishBefore(const Toks& v, const std::vector<size_t>& sig, size_t last) {
    Span s;
    s.end = last + 1;
    const Token& t = v[sig[last]];
    if (t.alpha && dayKind(t.key) != SpanKind::none) {
        s.begin = last;
        s.kind = dayKind(t.key);
        return s;
    }
    size_t numEnd = last + 1;
    if (t.kind == Kind::word && !isNumberToken(t) && in(unitWords(), t.key)) {
        if (last == 0) return s;
        numEnd = last;
        s.unit = t.text;
    }
    size_t b = numEnd;
    while (b > 0 && isNumberToken(v[sig[b - 1]])) --b;
    if (b == numEnd) return Span{};
    s.begin = b;
    s.kind = SpanKind::number;
    return s;
}

Span englishAfter(const Toks& v, const std::vector<size_t>& sig, size_t first) {
    Span s;
    s.begin = first;
    if (first >= sig.size()) return s;
    const Token& t = v[sig[first]];
    if (t.alpha && dayKind(t.key) != SpanKind::none) {
        s.end = first + 1;
        s.kind = dayKind(t.key);
        return s;
    }
    size_t e = first;
    while (e < sig.size() && isNumberToken(v[sig[e]])) ++e;
    if (e == first) return Span{};
    s.kind = SpanKind::number;
    if (e < sig.size() && v[sig[e]].kind == Kind::word && in(unitWords(), v[sig[e]].key)) {
        s.unit = v[sig[e]].text;
        ++e;
    }
    s.end = e;
    return s;
}

bool cnNumeric(const Token& t) {
    return (t.kind == Kind::cjk && kCnDigits.find(t.text[0]) != std::u32string_view::npos) ||
           t.number;
}

bool cnUnitChar(const Token& t) {
    return t.kind == Kind::cjk && kCnUnits.find(t.text[0]) != std::u32string_view::npos;
}

// The length of the day word at sig position p, or 0.
size_t cnDayWordAt(const Toks& v, const std::vector<size_t>& sig, size_t p) {
    for (auto w : kCnDayWords)
        if (cjkAt(v, sig, p, w)) return 2;
    auto weekdayAt = [&](size_t q) {
        return q < sig.size() && v[sig[q]].kind == Kind::cjk &&
               kCnWeekdayChars.find(v[sig[q]].text[0]) != std::u32string_view::npos;
    };
    for (auto pre : kCnWeekPrefixes)
        if (cjkAt(v, sig, p, pre) && weekdayAt(p + 2)) return 3;
    if (cjkAt(v, sig, p, U"周") && weekdayAt(p + 1)) return 2;
    return 0;
}

Span chineseBefore(const Toks& v, const std::vector<size_t>& sig, size_t last) {
    Span s;
    s.end = last + 1;
    for (size_t len = 3; len >= 2; --len) {
        if (last + 1 < len) continue;
        const size_t b = last + 1 - len;
        if (cnDayWordAt(v, sig, b) == len) {
            s.begin = b;
            s.kind = SpanKind::chineseDay;
            return s;
        }
    }
    size_t numEnd = last + 1;
    for (auto u : kCnTwoCharUnits) {
        if (last + 1 >= u.size() + 1 && cjkAt(v, sig, last + 1 - u.size(), u)) {
            numEnd = last + 1 - u.size();
            s.unit = std::u32string(u);
            break;
        }
    }
    if (s.unit.empty() && cnUnitChar(v[sig[last]])) {
        numEnd = last;
        s.unit = v[sig[last]].text;
    }
    size_t b = numEnd;
    while (b > 0 && cnNumeric(v[sig[b - 1]])) --b;
    if (b == numEnd) return Span{};
    if (b > 0 && cjkAt(v, sig, b - 1, U"第")) --b;
    s.begin = b;
    s.kind = SpanKind::number;
    return s;
}

Span chineseAfter(const Toks& v, const std::vector<size_t>& sig, size_t first) {
    Span s;
    s.begin = first;
    if (first >= sig.size()) return s;
    if (const size_t len = cnDayWordAt(v, sig, first)) {
        s.end = first + len;
        s.kind = SpanKind::chineseDay;
        return s;
    }
    size_t e = first;
    if (cjkAt(v, sig, e, U"第")) ++e;
    const size_t numStart = e;
    while (e < sig.size() && cnNumeric(v[sig[e]])) ++e;
    if (e == numStart) return Span{};
    s.kind = SpanKind::number;
    for (auto u : kCnTwoCharUnits) {
        if (cjkAt(v, sig, e, u)) {
            s.unit = std::u32string(u);
            s.end = e + u.size();
            return s;
        }
    }
    if (e < sig.size() && cnUnitChar(v[sig[e]])) {
        s.unit = v[sig[e]].text;
        ++e;
    }
    s.end = e;
    return s;
}

}  // namespace

bool isNumberWord(const std::string& key) {
    return in(numberWords(), key);
}

Span quantityBefore(const Toks& v, const std::vector<size_t>& sig, size_t last, bool chinese) {
    return chinese ? chineseBefore(v, sig, last) : englishBefore(v, sig, last);
}

Span quantityAfter(const Toks& v, const std::vector<size_t>& sig, size_t first, bool chinese) {
    return chinese ? chineseAfter(v, sig, first) : englishAfter(v, sig, first);
}

std::u32string spanText(const Toks& v, const std::vector<size_t>& sig, const Span& s) {
    std::u32string out;
    for (size_t k = s.begin; k < s.end; ++k) out += v[sig[k]].text;
    return out;
}

}  // namespace vserver::cleanup
