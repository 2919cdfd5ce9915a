#pragma once
#include <string>
#include <vector>

#include "Scan.h"

// What a spoken self-correction can replace: a number with its unit ("three
// dollars", "四点") or a day ("tuesday", "明天"). Pure; any thread.
namespace vserver::cleanup {

enum class SpanKind { none, weekday, month, relativeDay, ordinal, chineseDay, number };

struct Span {
    size_t begin = 0, end = 0;  // sig positions [begin, end)
    SpanKind kind = SpanKind::none;
    std::u32string unit;  // unit words / characters after a number
};

// "one", "twenty", "dozen": spoken numbers.
bool isNumberWord(const std::string& key);

// The quantity ending at sig position `last`, in English or in Chinese.
Span quantityBefore(const Toks& v, const std::vector<size_t>& sig, size_t last, bool chinese);
// The quantity starting at sig position `first`.
Span quantityAfter(const Toks& v, const std::vector<size_t>& sig, size_t first, bool chinese);

std::u32string spanText(const Toks& v, const std::vector<size_t>& sig, const Span& s);

}  // namespace vserver::cleanup
