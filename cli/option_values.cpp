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

bool ParseByteSize(std::string_view text, int64_t max_bytes, int64_t& bytes) {
  std::string_view number = text;
  // Drops `suffix` (lower case) from the end of `number` in any case; false when it is not there.
  auto drop = [&number](std::string_view suffix) {
    if (number.size() < suffix.size()) return false;
    const std::string_view tail = number.substr(number.size() - suffix.size());
    for (size_t i = 0; i < suffix.size(); ++i) {
      if (char(tail[i] | 0x20) != suffix[i]) return false;
    }
    number.remove_suffix(suffix.size());
    return true;
  };
  const bool binary = drop("ib");  // "KiB", "MiB"
  if (!binary) drop("b");
  int64_t unit = 1;
  if (drop("k")) {
    unit = int64_t(1) << 10;
  } else if (drop("m")) {
    unit = int64_t(1) << 20;
  } else if (binary) {
    return false;
  }
  const size_t point = number.find('.');
  const std::string_view whole = number.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view{} : number.substr(point + 1);
  if (whole.empty() && fraction.empty()) return false;
  if (point != std::string_view::npos && (fraction.empty() || unit == 1)) return false;
  int64_t w = 0;
  if (!whole.empty() && (!AllDigits(whole) || !DigitsValue(whole, w))) return false;
  if (!AllDigits(fraction) || fraction.size() > 6) return false;
  int64_t f = 0, scale = 1;
  for (char c : fraction) f = f * 10 + (c - '0'), scale *= 10;
  const int64_t value = w * unit + f * unit / scale;
  if (value < 1 || value > max_bytes) return false;
  bytes = value;
  return true;
}

}  // namespace qm::cli
