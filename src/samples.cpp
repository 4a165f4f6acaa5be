#include "samples.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "interpolator.hpp"
#include "memory.hpp"

namespace velarix {

Samples::Samples(Doubles x, Doubles y, UnfilledDoubles widths, UnfilledDoubles secants,
                 const Extremes& extremes)
    : own_x_(std::move(x)),
      own_y_(std::move(y)),
      x_(own_x_),
      y_(own_y_),
      own_widths_(std::move(widths)),
      widths_(own_widths_),
      secants_(std::move(secants)),
      extremes_(extremes) {}

Samples::Samples(std::span<const double> x, std::span<const double> y, UnfilledDoubles widths,
                 UnfilledDoubles secants, const Extremes& extremes)
    : x_(x),
      y_(y),
      own_widths_(std::move(widths)),
      widths_(own_widths_),
      secants_(std::move(secants)),
      extremes_(extremes) {}

Samples::Samples(const CheckedKnots& knots, std::span<const double> y, UnfilledDoubles secants,
                 const Extremes& extremes)
    : x_(knots.x()),
      y_(y),
      widths_(knots.widths()),
      secants_(std::move(secants)),
      extremes_(extremes) {}

namespace {

constexpr const char* kSubnormalWidth = "too close together: their difference is subnormal";
constexpr const char* kOverflowingWidth = "too far apart: their difference overflows";

}  // namespace

Result<Samples> Samples::create(std::span<const double> x, std::span<const double> y) {
  return checked(x, y, true);
}

Result<Samples> Samples::borrow(std::span<const double> x, std::span<const double> y) {
  return checked(x, y, false);
}

namespace {

// The pass of Samples::checked over the intervals, two a step in paired
// lanes (an odd count leaves the last one to the caller): one division for
// two secants, each lane with the arithmetic of one interval alone. The
// lanes' extremes are joined at the end, which on usable data (never NaN)
// gives those of one pass. Returns the first interval left to the caller.
std::size_t paired_pass(std::span<const double> x, std::span<const double> y, double* w,
                        double* q, Samples::Extremes& e, bool& usable) {
  const std::size_t n = x.size();
  const auto pair = [](const double* p) { return Pair{p[0], p[1]}; };
  Pair narrow = {e.narrow, e.narrow};
  Pair wide = narrow;
  Pair largest = {e.largest, e.largest};
  Pair fine = {1, 1};  // each lane's joint test, as 1 or 0
  std::size_t i = 0;
  for (; i + 2 < n; i += 2) {
    const Pair width = pair(&x[i + 1]) - pair(&x[i]);
    const Pair next = pair(&y[i + 1]);
    const Pair size = Pair{std::fabs(next[0]), std::fabs(next[1])};
    const Pair secant = (next - pair(&y[i])) / width;
    std::memcpy(w + i, &width, sizeof width);
    std::memcpy(q + i, &secant, sizeof secant);
    // A finite value is one whose size is at most the largest double.
    const auto ok = (width >= Samples::kSmallestWidth) & (width <= Samples::kLargestWidth) &
                    (size <= std::numeric_limits<double>::max());
    fine = ok ? fine : Pair{0, 0};
    narrow = width < narrow ? width : narrow;
    wide = wide < width ? width : wide;
    largest = largest < size ? size : largest;
  }
  usable &= fine[0] != 0 && fine[1] != 0;
  for (std::size_t lane = 0; lane < 2; ++lane) {
    e.take_width(narrow[lane]);
    e.take_width(wide[lane]);
    e.take_value(largest[lane]);
  }
  return i;
}

}  // namespace

Result<Samples> Samples::checked(std::span<const double> x, std::span<const double> y,
                                 bool copy) {
  if (x.size() != y.size()) return LengthMismatch{x.size(), y.size()};
  const std::size_t n = x.size();
  if (n < 2) return *check_knots(x);
  // The widths and secants in the same pass as a test that every width is
  // usable and every value finite: that holds exactly when both checks
  // pass (an infinite or NaN knot makes a width infinite or NaN), and only
  // otherwise are the checks run, for their refusal. (Run first, they were
  // two more passes over the data.)
  UnfilledDoubles widths(n - 1);
  UnfilledDoubles secants(n - 1);
  double* const w = widths.data();
  double* const q = secants.data();
  bool usable = std::isfinite(y[0]);
  Extremes e{x[1] - x[0], x[1] - x[0], std::fabs(y[0])};
  std::size_t i = paired_pass(x, y, w, q, e, usable);
  for (; i + 1 < n; ++i) {
    const double width = x[i + 1] - x[i];
    w[i] = width;
    q[i] = (y[i + 1] - y[i]) / width;
    usable &= (width >= kSmallestWidth) & (width <= kLargestWidth) & std::isfinite(y[i + 1]);
    e.take_width(width);
    e.take_value(y[i + 1]);
  }
  if (!usable) {
    if (std::optional<Error> refused = check_knots(x)) return *refused;
    if (std::optional<Error> refused = check_values(y)) return *refused;
    throw InternalError("samples refused by their joint test and passed by each check");
  }
  if (!copy) return Samples(x, y, std::move(widths), std::move(secants), e);
  return Samples(Doubles(x.begin(), x.end()), Doubles(y.begin(), y.end()), std::move(widths),
                 std::move(secants), e);
}

// The widths in the same pass as the test that every one is usable, which
// holds exactly when the knots pass check_knots (as in Samples::checked);
// only otherwise does that check run, for its refusal.
Result<CheckedKnots> CheckedKnots::check(std::span<const double> x) {
  const std::size_t n = x.size();
  if (n < 2) return *Samples::check_knots(x);
  UnfilledDoubles widths(n - 1);
  double narrow = x[1] - x[0];
  double wide = narrow;
  bool usable = true;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const double width = x[i + 1] - x[i];
    widths[i] = width;
    usable &= (width >= Samples::kSmallestWidth) & (width <= Samples::kLargestWidth);
    narrow = width < narrow ? width : narrow;
    wide = wide < width ? width : wide;
  }
  if (!usable) {
    if (std::optional<Error> refused = Samples::check_knots(x)) return *refused;
    throw InternalError("knots refused by their joint test and passed by their check");
  }
  return CheckedKnots(x, std::move(widths), narrow, wide);
}

Result<Samples> Samples::borrow(const CheckedKnots& knots, std::span<const double> y) {
  const std::size_t n = knots.size();
  if (y.size() != n) return LengthMismatch{n, y.size()};
  const std::span<const double> h = knots.widths();
  UnfilledDoubles secants(n - 1);
  bool usable = std::isfinite(y[0]);
  Extremes e{knots.narrow(), knots.wide(), std::fabs(y[0])};
  for (std::size_t i = 0; i + 1 < n; ++i) {
    secants[i] = (y[i + 1] - y[i]) / h[i];
    usable &= std::isfinite(y[i + 1]);
    e.take_value(y[i + 1]);
  }
  if (!usable) return *check_values(y);
  return Samples(knots, y, std::move(secants), e);
}

std::optional<Error> Samples::check_knots(std::span<const double> x) {
  const std::size_t n = x.size();
  if (n < 2) return TooFewPoints{n};
  // The first width that is increasing but unusable. It is reported only
  // once the whole sequence has passed the ordering test, so that data
  // refused for their order keep that refusal.
  std::size_t unusable = n;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const double width = x[i + 1] - x[i];
    // Written as "not > 0" so that a NaN difference is refused as well.
    if (!(width > 0)) return NotIncreasing{i, x[i], x[i + 1]};
    // Subnormal widths carry a few bits at most and turn every 1/h and h^2
    // of the methods into infinity or zero; infinite ones (infinite knots,
    // or finite knots whose difference overflows) leave nothing to solve.
    if (!(width >= kSmallestWidth && width <= kLargestWidth) && unusable == n) unusable = i;
  }
  // Increasing knots can be infinite only at the ends.
  if (!std::isfinite(x[0])) return NonFiniteKnot{0, x[0]};
  if (!std::isfinite(x[n - 1])) return NonFiniteKnot{n - 1, x[n - 1]};
  if (unusable < n) {
    const double width = x[unusable + 1] - x[unusable];
    const char* reason = width < kSmallestWidth ? kSubnormalWidth : kOverflowingWidth;
    return UnusableWidth{unusable, x[unusable], x[unusable + 1], reason};
  }
  return std::nullopt;
}

std::optional<Error> Samples::check_values(std::span<const double> y) {
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (!std::isfinite(y[i])) return NonFiniteValue{i, y[i]};
  }
  return std::nullopt;
}

Samples Samples::from_parts(Doubles x, Doubles y, UnfilledDoubles widths,
                            UnfilledDoubles secants) {
  const std::size_t n = x.size();
  if (n < 2 || y.size() != n || widths.size() != n - 1 || secants.size() != n - 1) {
    throw InternalError("samples assembled from sequences of inconsistent lengths");
  }
  Extremes e{widths[0], widths[0], 0};
  for (const double width : widths) e.take_width(width);
  for (const double value : y) e.take_value(value);
  return Samples(std::move(x), std::move(y), std::move(widths), std::move(secants), e);
}

std::pair<double, double> Samples::three_point_end_slopes() const {
  const std::span<const double> h = widths_;
  const std::span<const double> s = secants_;
  if (s.size() == 1) return {s[0], s[0]};
  const std::size_t m = s.size() - 1;
  const double left = (s[0] * (h[1] + 2 * h[0]) - h[0] * s[1]) / (h[1] + h[0]);
  const double right = (s[m] * (h[m - 1] + 2 * h[m]) - h[m] * s[m - 1]) / (h[m - 1] + h[m]);
  return {left, right};
}

}  // namespace velarix
