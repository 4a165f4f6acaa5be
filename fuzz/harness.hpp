// What the fit targets share: turning fuzzer bytes into numbers and data
// sets, the checks every fit result must pass, and the counts reported at exit;
// an internal fault is a crash.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velarix.hpp"

namespace velarix::fuzz {

// A broken invariant of the harness itself: print and abort, which libFuzzer
// records as a crash with the input that caused it.
[[noreturn]] inline void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "invariant broken: %s: %s\n", what, detail.c_str());
  std::abort();
}

inline std::string bits_text(double v) {
  std::uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  char text[64];
  std::snprintf(text, sizeof text, "%.17g (0x%016llx)", v, static_cast<unsigned long long>(b));
  return text;
}

// Reads the input front to back; once it is used up every read gives zeros,
// so every input decodes to something.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

  std::uint64_t word() {
    std::uint64_t w = 0;
    for (int i = 0; i < 8; ++i) w = (w << 8) | byte();
    return w;
  }

  // A double drawn mostly from the values that break numerical code: zeros
  // of both signs, NaN, infinities, the subnormal and normal extremes, small
  // integers, and now and then any bit pattern at all.
  double number() {
    static constexpr std::array<double, 16> special = {
        0.0,
        -0.0,
        std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::denorm_min(),
        -std::numeric_limits<double>::denorm_min(),
        std::numeric_limits<double>::min(),
        std::numeric_limits<double>::max(),
        -std::numeric_limits<double>::max(),
        std::numeric_limits<double>::epsilon(),
        1e-300,
        1e300,
        0.5,
        1.0 + std::numeric_limits<double>::epsilon(),
        1e16,
    };
    const std::uint8_t kind = byte();
    switch (kind % 4) {
      case 0:
        return special[(kind / 4) % special.size()];
      case 1: {
        const std::uint64_t w = word();
        double v;
        std::memcpy(&v, &w, sizeof v);
        return v;
      }
      default:
        // Small values with a few fractional bits: ordinary data, in which
        // ties, collinear runs and sign changes are common.
        return static_cast<double>(static_cast<std::int8_t>(byte())) / (1 << (kind % 8));
    }
  }

  // Either the default of a setting or a drawn number: a fit checks its
  // settings before the data, so drawing every setting would stop most
  // inputs at the first refused one.
  double setting(double fallback) { return (byte() & 3) == 0 ? number() : fallback; }

  // A pass budget: usually small, sometimes large enough for the degrees of
  // the variable-degree fit to overflow (1.7^k passes 1e308 near k = 1340).
  std::uint64_t passes() {
    const std::uint8_t kind = byte();
    if (kind < 200) return kind % 100;
    return (static_cast<std::uint64_t>(byte()) << 4 | (kind & 15)) % 3000;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Data sizes stay small: the fits are linear in the size, and the faults
// live in the values, not in the length.
inline constexpr std::size_t max_points = 40;

struct DataSet {
  std::vector<double> x;
  std::vector<double> y;
};

// Knots either as running sums of widths (mostly increasing, with zero,
// subnormal, huge and NaN widths) or as raw numbers; now and then y has
// another length than x.
// With periodic ends the data are now and then closed up, y[n-1] = y[0], so
// that periodic fits are made and not only refused.
inline DataSet data_set(Bytes& in, const EndSlopes& ends = EndSlopes{}) {
  DataSet data;
  const std::uint8_t shape = in.byte();
  const std::size_t n = in.byte() % (max_points + 1);
  const bool running = (shape & 1) == 0;
  double at = in.number();
  if (!std::isfinite(at)) at = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (running) {
      data.x.push_back(at);
      at += std::fabs(in.number());
    } else {
      data.x.push_back(in.number());
    }
  }
  std::size_t ny = n;
  if ((shape & 6) == 6) ny = in.byte() % (max_points + 1);
  for (std::size_t i = 0; i < ny; ++i) data.y.push_back(in.number());
  if (ends.is_periodic() && (shape & 8) != 0 && !data.y.empty()) data.y.back() = data.y.front();
  return data;
}

inline EndSlopes end_slopes(Bytes& in) {
  const std::uint8_t kind = in.byte();
  if (kind & 1) {
    if (kind & 4) return kind & 2 ? EndSlopes::periodic() : EndSlopes::natural();
    return kind & 2 ? EndSlopes::limited() : EndSlopes::estimated();
  }
  const double left = in.number();
  return EndSlopes::clamped(left, in.number());
}

inline bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A refused fit: the message opens with its variant's fixed text, and the
// fields describe the data actually given.
inline void check_error(const Error& error, const DataSet& data) {
  const std::string text = message(error);
  struct Check {
    const std::string& text;
    const DataSet& data;
    void operator()(const LengthMismatch& e) const {
      if (!starts_with(text, "x and y must have the same length (got ")) fail("text", text);
      if (e.x_len != data.x.size() || e.y_len != data.y.size()) fail("lengths", text);
    }
    void operator()(const TooFewPoints& e) const {
      if (!starts_with(text, "need at least 2 data points, got ")) fail("text", text);
      if (e.got != data.x.size() || e.got >= 2) fail("count", text);
    }
    void operator()(const NotIncreasing& e) const {
      if (!starts_with(text, "x must be strictly increasing; x[")) fail("text", text);
      if (e.index + 1 >= data.x.size()) fail("index", text);
      const double left = data.x[e.index];
      const double right = data.x[e.index + 1];
      if (std::memcmp(&left, &e.left, sizeof left) != 0 ||
          std::memcmp(&right, &e.right, sizeof right) != 0 || right - left > 0) {
        fail("pair", text);
      }
      // It is the first such pair.
      for (std::size_t i = 0; i < e.index; ++i) {
        if (!(data.x[i + 1] - data.x[i] > 0)) fail("not the first pair", text);
      }
    }
    void operator()(const InvalidParameter&) const {
      if (!starts_with(text, "shape parameter `")) fail("text", text);
    }
    void operator()(const MixedCurvature&) const {
      if (!starts_with(text, "data change curvature at knot ")) fail("text", text);
    }
    void operator()(const NoConvergence&) const {
      if (!starts_with(text, "convexity solve did not converge in ")) fail("text", text);
    }
    void operator()(const NonFiniteKnot& e) const {
      if (e.index >= data.x.size() || std::isfinite(data.x[e.index])) fail("knot", text);
    }
    void operator()(const NonFiniteValue& e) const {
      if (!starts_with(text, "y[")) fail("text", text);
      if (e.index >= data.y.size() || std::isfinite(data.y[e.index])) fail("value", text);
    }
    void operator()(const UnusableWidth& e) const {
      if (e.index + 1 >= data.x.size() || !same_bits(data.x[e.index], e.left)) fail("pair", text);
    }
    void operator()(const OutOfScale&) const {
      if (!starts_with(text, "shape parameter `")) fail("text", text);
    }
    // The caller's end values, compared after the non-finite refusals.
    void operator()(const NotPeriodic& e) const {
      if (!starts_with(text, "periodic end conditions need equal first and last values; y[0] = ")) {
        fail("text", text);
      }
      if (e.last + 1 != data.y.size() || !same_bits(data.y[0], e.first_value) ||
          !same_bits(data.y[e.last], e.last_value) || !std::isfinite(e.first_value) ||
          !std::isfinite(e.last_value) || e.first_value == e.last_value) {
        fail("values", text);
      }
    }
    void operator()(const UnsupportedEnds&) const {
      if (!starts_with(text, "the ") || text.find(" cannot have ") == std::string::npos) {
        fail("text", text);
      }
    }
    // The smoother's refusals.
    void operator()(const InvalidSetting&) const {
      if (!starts_with(text, "smoothing setting `")) fail("text", text);
    }
    void operator()(const InvalidValue& e) const {
      const std::string name(e.name);
      const std::size_t size = name == "x" ? data.x.size() : name == "y" ? data.y.size() : 0;
      if (!starts_with(text, name + "[")) fail("text", text);
      if (size != 0 && e.index >= size) fail("index", text);
    }
    void operator()(const WeightCount&) const {
      if (!starts_with(text, "weights must have one entry per data point")) fail("text", text);
    }
    void operator()(const TooFewDistinct& e) const {
      if (e.got >= e.needed || e.got > data.x.size()) fail("count", text);
    }
    void operator()(const UnknownShape&) const { fail("a fit reported an unknown shape", text); }
    void operator()(const Unrepresentable&) const {
      if (!starts_with(text, "the smoothing fit cannot be carried out in doubles")) fail("text", text);
    }
    // Only loading a saved state reports this; a fit never does.
    void operator()(const InvalidState&) const { fail("a fit reported a saved-state error", text); }
    // Only a grid surface refuses with this (fuzz/grid.cpp checks its own).
    void operator()(const GridRefusal&) const { fail("a curve fit reported a grid refusal", text); }
    // The harness installs no cancel hook: nothing asks a fit to stop.
    void operator()(const Cancelled&) const { fail("a fit reported a stop nobody asked for", text); }
  };
  std::visit(Check{text, data}, error);
}

// A data value as a spline fitted in scaled coordinates holds it: exact,
// unless scaling took it into the subnormal range, where it keeps only the
// bits of the fit's scale (far below the rounding of the largest value).
inline double held_value(const Scale& scale, double y) {
  return scale.out(std::ldexp(y, -scale.y_exp), 0);
}

// Equal as values, or both NaN.
inline bool same_value(double a, double b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}


// Every evaluation path of a fitted spline, on the knots, between them,
// outside the domain and at NaN: batch evaluation (into a separate array and
// in place) agrees with scalar evaluation bit for bit.
template <class Spline>
void check_evaluation(const Spline& spline, Bytes& in) {
  const auto& curve = spline.curve();
  std::vector<double> probes(curve.knots().begin(), curve.knots().end());
  for (std::size_t i = 0; i + 1 < curve.knots().size() && i < 8; ++i) {
    probes.push_back(0.5 * curve.knots()[i] + 0.5 * curve.knots()[i + 1]);
  }
  const std::size_t extra = in.byte() % 8;
  for (std::size_t i = 0; i < extra; ++i) probes.push_back(in.number());
  probes.push_back(std::numeric_limits<double>::quiet_NaN());
  probes.push_back(-std::numeric_limits<double>::infinity());
  probes.push_back(std::numeric_limits<double>::infinity());

  auto each = [&]<Derivative D>() {
    std::vector<double> out(probes.size());
    curve.template evaluate<D>(probes, out);
    std::vector<double> in_place = probes;
    curve.template evaluate<D>(in_place, in_place);
    for (std::size_t i = 0; i < probes.size(); ++i) {
      const double scalar = curve.template evaluate<D>(probes[i]);
      if (!same_bits(scalar, out[i]) || !same_bits(scalar, in_place[i])) {
        fail("batch differs from scalar", bits_text(probes[i]));
      }
    }
  };
  each.template operator()<Derivative::value>();
  each.template operator()<Derivative::first>();
  each.template operator()<Derivative::second>();
  each.template operator()<Derivative::third>();

  // The antiderivative likewise, and integrals that negate when reversed.
  std::vector<double> integrals(probes.size());
  curve.antiderivative(probes, integrals);
  for (std::size_t i = 0; i < probes.size(); ++i) {
    const double a = probes[i];
    const double b = probes[probes.size() - 1 - i];
    if (!same_bits(curve.antiderivative(a), integrals[i])) fail("antiderivative batch", bits_text(a));
    if (!same_value(curve.integral(a, b), -curve.integral(b, a))) fail("reversed", bits_text(a));
  }
  (void)spline.debug_text();
}

// Counts of what the fits did, printed when the fuzzer exits.
struct Tally {
  const char* target;
  std::uint64_t fitted = 0;
  std::uint64_t refused = 0;
  std::uint64_t knot_checks = 0;
  ~Tally() {
    std::fprintf(stderr, "%s: fitted %llu, refused %llu, knot checks %llu\n", target,
                 static_cast<unsigned long long>(fitted),
                 static_cast<unsigned long long>(refused),
                 static_cast<unsigned long long>(knot_checks));
  }
};

// An InternalError is a broken invariant: the fits refuse every input that
// could reach one (a zero pivot from subnormal or overflowing widths, shape
// parameters out of scale, degrees that overflow) before they solve.
[[noreturn]] inline void internal_fault(Tally& tally, const InternalError& e,
                                        const DataSet& data, const std::string& config) {
  std::string xs;
  for (double v : data.x) xs += bits_text(v) + " ";
  fail(tally.target, std::string("InternalError \"") + e.what() + "\" for " + config +
                         " with x = [ " + xs + "]");
}

}  // namespace velarix::fuzz
