#pragma once
#include <string>
#include <string_view>

// Spoken English numbers, times, dates, money and percentages written the way
// a writer writes them: "three thirty on Thursday" -> "3:30 on Thursday", "the
// twelve new laptops" -> "the 12 new laptops", "the fifth of June" -> "June 5".
// One to nine stay words unless a unit, a time or a date needs the digit.
// Anything else (other languages, words that only look like numbers) is left
// as it is. Pure; any thread.
namespace vserver::cleanup {

std::string spokenNumbersToDigits(std::string_view text);

}  // namespace vserver::cleanup
