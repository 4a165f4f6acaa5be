#include "samples.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "memory.hpp"

namespace velarix {

Samples::Samples(Doubles x, Doubles y, Doubles widths, Doubles secants)
    : x_(std::move(x)),
      y_(std::move(y)),
      widths_(std::move(widths)),
      secants_(std::move(secants)) {}

namespace {

constexpr const char* kSubnormalWidth = "too close together: their difference is subnormal";
constexpr const char* kOverflowingWidth = "too far apart: their difference overflows";

}  // namespace

// Two lanes of doubles: the widths and secants of two intervals at once, so
// that their two divisions are one instruction (each lane is the same IEEE
// quotient as alone).
using Two = double __attribute__((vector_size(16)));

namespace {

bool usable(double width) {
  return width >= Samples::kSmallestWidth && width <= Samples::kLargestWidth;
}

}  // namespace

Result<Samples> Samples::create(std::span<const double> x, std::span<const double> y) {
  if (x.size() != y.size()) return LengthMismatch{x.size(), y.size()};
  const std::size_t n = x.size();
  if (n < 2) return TooFewPoints{n};
  Doubles widths;
  Doubles secants;
  widths.reserve(n - 1);
  secants.reserve(n - 1);
  // The first width that is increasing but unusable. It is reported only
  // once the whole sequence has passed the ordering test, so that data
  // refused for their order keep that refusal.
  std::size_t unusable = n;
  // Whether some value is not finite: a flag kept beside the widths, which
  // costs no branch; the first such value is looked for only if there is one.
  bool finite = true;
  // One interval at a time; returns false where the knots do not increase.
  // Written as "not > 0" so that a NaN difference is refused as well.
  // Subnormal widths carry a few bits at most and turn every 1/h and h^2 of
  // the methods into infinity or zero; infinite ones (infinite knots, or
  // finite knots whose difference overflows) leave nothing to solve.
  std::size_t i = 0;
  for (; i + 2 < n; i += 2) {
    const Two width = Two{x[i + 1], x[i + 2]} - Two{x[i], x[i + 1]};
    if (!(width[0] > 0)) return NotIncreasing{i, x[i], x[i + 1]};
    if (!(width[1] > 0)) return NotIncreasing{i + 1, x[i + 1], x[i + 2]};
    if (unusable == n && !(usable(width[0]) && usable(width[1]))) {
      unusable = usable(width[0]) ? i + 1 : i;
    }
    const Two rise = Two{y[i + 1], y[i + 2]} - Two{y[i], y[i + 1]};
    const Two secant = rise / width;
    finite = finite & (std::fabs(y[i]) <= kLargestWidth) & (std::fabs(y[i + 1]) <= kLargestWidth);
    widths.push_back(width[0]);
    widths.push_back(width[1]);
    secants.push_back(secant[0]);
    secants.push_back(secant[1]);
  }
  for (; i + 1 < n; ++i) {
    const double width = x[i + 1] - x[i];
    if (!(width > 0)) return NotIncreasing{i, x[i], x[i + 1]};
    if (!usable(width) && unusable == n) unusable = i;
    finite = finite & (std::fabs(y[i]) <= kLargestWidth);
    widths.push_back(width);
    secants.push_back((y[i + 1] - y[i]) / width);
  }
  finite = finite & (std::fabs(y[n - 1]) <= kLargestWidth);
  // Increasing knots can be infinite only at the ends.
  if (!std::isfinite(x[0])) return NonFiniteKnot{0, x[0]};
  if (!std::isfinite(x[n - 1])) return NonFiniteKnot{n - 1, x[n - 1]};
  if (unusable < n) {
    const char* reason = widths[unusable] < kSmallestWidth ? kSubnormalWidth : kOverflowingWidth;
    return UnusableWidth{unusable, x[unusable], x[unusable + 1], reason};
  }
  if (!finite) {
    for (std::size_t k = 0; k < n; ++k) {
      if (!std::isfinite(y[k])) return NonFiniteValue{k, y[k]};
    }
  }
  return Samples({x.begin(), x.end()}, {y.begin(), y.end()}, std::move(widths),
                 std::move(secants));
}

Samples Samples::from_parts(Doubles x, Doubles y, Doubles widths, Doubles secants) {
  const std::size_t n = x.size();
  if (n < 2 || y.size() != n || widths.size() != n - 1 || secants.size() != n - 1) {
    throw InternalError("samples assembled from sequences of inconsistent lengths");
  }
  return Samples(std::move(x), std::move(y), std::move(widths), std::move(secants));
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
