#pragma once

#include <cstdint>
#include <string>

// Short human-readable texts for sizes, counts, durations and times. Numbers follow the separators of the
// interface language and words go through the translation catalogue.
namespace fmt {

// Size with unit (B, KB, MB, GB, TB, PB; powers of 1024); MB and above with 2 decimals.
std::string bytes(int64_t value);
// As bytes(), with 1 decimal.
std::string bytes_short(int64_t value);
// Integer with digit grouping.
std::string count(int64_t value);
// "1 file" or "%s files".
std::string files(int64_t n);
// Seconds with one decimal and the unit, e.g. "2.0 s".
std::string seconds(double value);
// Age of a Unix time ("just now", "%s min ago", ...); empty for 0.
std::string relative(int64_t unix_time);
// Short local date in the language's pattern; empty for 0 or a time that cannot be converted.
std::string date(int64_t unix_time);

} // namespace fmt
