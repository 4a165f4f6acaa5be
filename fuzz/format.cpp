// The text forms of a double read back to the same double: the message,
// exponent and debug forms all start from the shortest round-trip digits, so
// strtod must return the very bits (NaN reads back as some NaN). Counts read
// back exactly too.
#include <cerrno>

#include "harness.hpp"

using namespace velarix;
using namespace velarix::fuzz;

namespace {

void round_trip(const char* form, const std::string& text, double v) {
  errno = 0;
  char* end = nullptr;
  const double back = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) fail(form, "unparsed tail in \"" + text + "\"");
  if (std::isnan(v) ? !std::isnan(back) : !same_bits(back, v)) {
    fail(form, "\"" + text + "\" reads back as " + bits_text(back) + ", not " + bits_text(v));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  Bytes in(bytes, size);
  const std::size_t count = 1 + in.byte() % 8;
  for (std::size_t i = 0; i < count; ++i) {
    const double v = in.number();
    round_trip("message", format::message(v), v);
    round_trip("exponent", format::exponent(v), v);
    round_trip("debug", format::debug(v), v);
    // Messages print positionally from 1e-4 up to 1e16 and take the
    // exponent form only beyond, where it is shorter.
    const std::string message = format::message(v);
    const double size = std::fabs(v);
    const bool positional = size == 0 || (size >= 1e-4 && size < 1e16);
    if (message.find_first_of("eE") != std::string::npos && std::isfinite(v) && positional) {
      fail("message form has an exponent", message);
    }
  }
  const std::uint64_t n = in.word();
  const std::string text = format::debug(n);
  if (std::strtoull(text.c_str(), nullptr, 10) != n || text != std::to_string(n)) {
    fail("count", text);
  }
  return 0;
}
