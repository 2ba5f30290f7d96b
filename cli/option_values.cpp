#include "cli/option_values.h"

#include <algorithm>
#include <utility>

namespace qm::cli {
namespace {

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Leading zeros are harmless; anything longer than this is out of every range here, and
// stopping early keeps the sum from overflowing.
constexpr size_t kMaxSignificantDigits = 9;

bool DigitsValue(std::string_view digits, int64_t& value) {
  const size_t first = std::min(digits.find_first_not_of('0'), digits.size());
  if (digits.size() - first > kMaxSignificantDigits) return false;
  value = 0;
  for (char c : digits.substr(first)) value = value * 10 + (c - '0');
  return true;
}

}  // namespace

bool ParseWholeNumber(std::string_view text, int32_t lo, int32_t hi, int32_t& value) {
  int64_t v = 0;
  if (text.empty() || !AllDigits(text) || !DigitsValue(text, v)) return false;
  if (v < lo || v > hi) return false;
  value = int32_t(v);
  return true;
}

bool ParseSecondsAsHundredths(std::string_view text, int32_t max_cs, int32_t& hundredths) {
  const size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
  if (whole.empty() && fraction.empty()) return false;
  if (!AllDigits(whole) || !AllDigits(fraction)) return false;

  int64_t seconds = 0;
  if (!DigitsValue(whole.empty() ? std::string_view("0") : whole, seconds)) return false;
  int64_t cs = seconds * 100;
  if (fraction.size() >= 1) cs += (fraction[0] - '0') * 10;
  if (fraction.size() >= 2) cs += fraction[1] - '0';
  if (fraction.size() >= 3) {
    // What lies beyond the hundredths decides: above a half rounds up, exactly a half to even.
    const std::string_view rest = fraction.substr(2);
    const bool above_half = rest[0] > '5' || (rest[0] == '5' && rest.find_first_not_of('0', 1) !=
                                                                    std::string_view::npos);
    const bool half = rest[0] == '5' && !above_half;
    if (above_half || (half && cs % 2 == 1)) ++cs;
  }
  if (cs > max_cs) return false;
  hundredths = int32_t(cs);
  return true;
}

bool ParseNumberList(std::string_view text, int32_t max_each, std::vector<int32_t>& values) {
  std::vector<int32_t> parsed;
  size_t from = 0;
  while (true) {
    const size_t comma = text.find(',', from);
    int32_t v = 0;
    if (!ParseWholeNumber(text.substr(from, comma - from), 0, max_each, v)) return false;
    parsed.push_back(v);
    if (comma == std::string_view::npos) break;
    from = comma + 1;
  }
  values = std::move(parsed);
  return true;
}

bool ParsePlayCount(std::string_view text, int32_t max_plays, int32_t& plays) {
  if (text == "forever") {
    plays = 0;
    return true;
  }
  return ParseWholeNumber(text, 1, max_plays, plays);
}

}  // namespace qm::cli
