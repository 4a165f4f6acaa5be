// Text forms of numbers and values, shared by every error message and every
// debug text of the library.
//
// All double forms start from the shortest decimal digits that read back to
// the same double (std::to_chars in scientific form) and place the point
// themselves. A fixed-format conversion would print the exact binary value
// instead ("69565409455208349696" where the shortest digits are
// "6956540945520835" followed by zeros).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace velarix::format {

// Message form: shortest round-trip digits, no trailing ".0". Positional
// from 1e-4 up to 1e16 and for zero ("1", "0.25", "0.0001", "-0"), as a
// person reads ordinary numbers; beyond that the exponent form where it is
// shorter ("1e-10", "2.5e308", "1e21"), so that no number in a message runs
// to hundreds of digits. "NaN", "inf", "-inf".
std::string message(double value);

// Exponent form: shortest digits with "." after the first digit only when
// there are more ("2.5e-7", "1e-3", "1.2345e3", "0e0"); no "+", no leading
// zeros in the exponent.
std::string exponent(double value);

// Short debug form: shortest round-trip decimal with at least one fractional
// digit ("1.0", "0.0001"); exponent form below 1e-4 (zero excepted) and from
// 1e16 on ("2.5e-5", "1e16").
std::string debug(double value);
std::string debug(std::uint64_t count);
std::string debug(bool flag);

// "A..=B" with both ends in the short debug form.
std::string range(double first, double last);

// "Name(value)": a variant that carries one value.
std::string variant(std::string_view name, std::string_view value);

// "Name { field: value, ... }": the layout of every record.
class Record {
 public:
  explicit Record(std::string_view name);
  Record& field(std::string_view name, std::string_view value);
  std::string str() const;

 private:
  std::string text_;
  bool has_fields_ = false;
};

// The record every fitted spline's debug text starts with:
// "Name { domain: A..=B, intervals: N", its own fields to follow.
Record spline_record(std::string_view name, std::pair<double, double> domain,
                     std::size_t intervals);

}  // namespace velarix::format
