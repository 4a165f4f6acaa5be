#include "format.hpp"

#include <charconv>
#include <cmath>

namespace velarix::format {
namespace {

// A finite double as its shortest round-trip digits and the decimal exponent
// of the first digit: value = ±d.ddd × 10^exponent.
struct Decimal {
  bool negative;
  std::string digits;
  int exponent;
};

Decimal decompose(double value) {
  char buffer[64];
  // The shortest scientific form of a finite double always fits the buffer.
  const char* end = std::to_chars(buffer, buffer + sizeof buffer, value,
                                  std::chars_format::scientific)
                        .ptr;
  const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  Decimal decimal{false, {}, 0};
  std::size_t pos = 0;
  if (text[pos] == '-') {
    decimal.negative = true;
    ++pos;
  }
  const std::size_t e = text.find('e');
  for (; pos < e; ++pos) {
    if (text[pos] != '.') decimal.digits.push_back(text[pos]);
  }
  std::string_view exponent_text = text.substr(e + 1);
  if (!exponent_text.empty() && exponent_text.front() == '+') {
    exponent_text.remove_prefix(1);
  }
  std::from_chars(exponent_text.data(),
                  exponent_text.data() + exponent_text.size(),
                  decimal.exponent);
  return decimal;
}

const char* non_finite(double value) {
  if (std::isnan(value)) return "NaN";
  return value < 0 ? "-inf" : "inf";
}

// Digits placed around the decimal point, padded with zeros on either side;
// `min_fraction` is the least number of digits after the point.
std::string positional(const Decimal& decimal, std::size_t min_fraction) {
  std::string out = decimal.negative ? "-" : "";
  const int point = decimal.exponent + 1;  // digits before the point
  const auto count = static_cast<int>(decimal.digits.size());
  std::string integral;
  std::string fraction;
  if (point <= 0) {
    integral = "0";
    fraction.assign(static_cast<std::size_t>(-point), '0');
    fraction += decimal.digits;
  } else if (point >= count) {
    integral = decimal.digits;
    integral.append(static_cast<std::size_t>(point - count), '0');
  } else {
    integral = decimal.digits.substr(0, static_cast<std::size_t>(point));
    fraction = decimal.digits.substr(static_cast<std::size_t>(point));
  }
  if (fraction.size() < min_fraction) fraction.append(min_fraction - fraction.size(), '0');
  out += integral;
  if (!fraction.empty()) out += "." + fraction;
  return out;
}

}  // namespace

// The range where positional digits stay short whatever the value: at most
// 4 zeros after the point below 1, at most 16 digits before it above.
constexpr double kPositionalFrom = 1e-4;
constexpr double kPositionalTo = 1e16;

std::string message(double value) {
  if (!std::isfinite(value)) return non_finite(value);
  std::string plain = positional(decompose(value), 0);
  const double magnitude = std::fabs(value);
  if (magnitude == 0.0 || (magnitude >= kPositionalFrom && magnitude < kPositionalTo)) {
    return plain;
  }
  std::string scientific = exponent(value);
  return scientific.size() < plain.size() ? scientific : plain;
}

std::string exponent(double value) {
  if (!std::isfinite(value)) return non_finite(value);
  const Decimal decimal = decompose(value);
  std::string out = decimal.negative ? "-" : "";
  out += decimal.digits.front();
  if (decimal.digits.size() > 1) out += "." + decimal.digits.substr(1);
  out += "e" + std::to_string(decimal.exponent);
  return out;
}

std::string debug(double value) {
  if (!std::isfinite(value)) return non_finite(value);
  const double magnitude = std::fabs(value);
  if (magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16)) {
    return exponent(value);
  }
  return positional(decompose(value), 1);
}

std::string debug(std::uint64_t count) { return std::to_string(count); }

std::string debug(bool flag) { return flag ? "true" : "false"; }

std::string range(double first, double last) {
  return debug(first) + "..=" + debug(last);
}

std::string variant(std::string_view name, std::string_view value) {
  std::string out(name);
  out += "(";
  out += value;
  out += ")";
  return out;
}

Record::Record(std::string_view name) : text_(name) {}

Record& Record::field(std::string_view name, std::string_view value) {
  text_ += has_fields_ ? ", " : " { ";
  text_ += name;
  text_ += ": ";
  text_ += value;
  has_fields_ = true;
  return *this;
}

std::string Record::str() const { return has_fields_ ? text_ + " }" : text_; }

Record spline_record(std::string_view name, std::pair<double, double> domain,
                     std::size_t intervals) {
  Record record(name);
  record.field("domain", range(domain.first, domain.second)).field("intervals", debug(static_cast<std::uint64_t>(intervals)));
  return record;
}

}  // namespace velarix::format
