// The values of the command line's options, read strictly: plain decimal digits, no signs, no
// exponents, no blanks, so a typo is a usage error rather than a surprising number. Each parser
// returns false, leaving its output alone, when the text is not such a value or is out of range.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace qm::cli {

// A whole number from lo to hi ("800").
bool ParseWholeNumber(std::string_view text, int32_t lo, int32_t hi, int32_t& value);

// Seconds with an optional decimal fraction ("2", "1.5", ".25") as hundredths, rounded on the
// exact decimal value to the nearest hundredth, halves to even ("0.125" -> 12, "0.135" -> 14),
// then checked against 0..max_cs.
bool ParseSecondsAsHundredths(std::string_view text, int32_t max_cs, int32_t& hundredths);

// Comma-separated whole numbers, each from 0 to max_each ("50,10,10,200"); at least one, no
// empty items.
bool ParseNumberList(std::string_view text, int32_t max_each, std::vector<int32_t>& values);

// "forever" (0) or a number of plays from 1 to max_plays.
bool ParsePlayCount(std::string_view text, int32_t max_plays, int32_t& plays);

// A size in bytes: a whole number of bytes ("800000"), or a number with K or M, 1024 and 1024^2
// bytes ("750K", "7.5M"; case and a trailing "B" or "iB" do not matter), rounded down to a whole
// byte, then checked against 1..max_bytes.
bool ParseByteSize(std::string_view text, int64_t max_bytes, int64_t& bytes);

}  // namespace qm::cli
