// A validated data set: strictly increasing knots with their values, and the
// interval widths and secant slopes every method starts from.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "error.hpp"
#include "memory.hpp"

namespace velarix {

// Knots that passed Samples::check_knots, with their widths: the knots of
// several curves, checked once for all of them. Made only by the check, so
// a fit that takes them checks only its values (Samples::borrow below). The
// knots are read in place: the caller keeps them alive and unchanged while
// the value is in use.
class CheckedKnots {
 public:
  static Result<CheckedKnots> check(std::span<const double> x);

  CheckedKnots(const CheckedKnots&) = delete;
  CheckedKnots& operator=(const CheckedKnots&) = delete;
  CheckedKnots(CheckedKnots&&) noexcept = default;
  CheckedKnots& operator=(CheckedKnots&&) noexcept = default;

  std::span<const double> x() const { return x_; }
  std::span<const double> widths() const { return widths_; }
  std::size_t size() const { return x_.size(); }
  // The narrowest and widest width.
  double narrow() const { return narrow_; }
  double wide() const { return wide_; }

 private:
  CheckedKnots(std::span<const double> x, UnfilledDoubles widths, double narrow, double wide)
      : x_(x), widths_(std::move(widths)), narrow_(narrow), wide_(wide) {}

  std::span<const double> x_;
  UnfilledDoubles widths_;
  double narrow_;
  double wide_;
};

class Samples {
 public:
  static constexpr double kSmallestWidth = std::numeric_limits<double>::min();
  static constexpr double kLargestWidth = std::numeric_limits<double>::max();

  // Checks, in this order: equal lengths, at least two points, every width
  // x[i+1] - x[i] > 0 (a NaN knot fails too, at its first pair), finite
  // first and last knots, and then every width between the smallest normal
  // and the largest finite double, and last every value finite (the first
  // NaN or infinity is named).
  static Result<Samples> create(std::span<const double> x, std::span<const double> y);
  // The same checks, with the knots and values read in place rather than
  // copied: the caller keeps them alive and unchanged while the samples are
  // in use (a fit, which keeps copies of what its curve needs, and returns
  // before its caller's arrays go). At 10^6 points the two copies took as
  // long as the rest of the samples' work.
  static Result<Samples> borrow(std::span<const double> x, std::span<const double> y);
  // One curve on checked knots: its length and then its values are
  // checked (refused as above), and the knots' widths are read, not made
  // again. The knots outlive the samples.
  static Result<Samples> borrow(const CheckedKnots& knots, std::span<const double> y);

  // A copy would read the original's own storage; none is needed.
  Samples(const Samples&) = delete;
  Samples& operator=(const Samples&) = delete;
  Samples(Samples&&) noexcept = default;
  Samples& operator=(Samples&&) noexcept = default;

  // The two halves of that check, for callers that hold the knots and the
  // values apart (several curves on one set of knots): the knots' refusal
  // (too few, not increasing, not finite, unusable widths) and the first
  // value that is not finite, each as create reports it.
  static std::optional<Error> check_knots(std::span<const double> x);
  static std::optional<Error> check_values(std::span<const double> y);

  // Assembles a data set from fields that already satisfy the invariants
  // (used to mirror data without validating them again).
  static Samples from_parts(Doubles x, Doubles y, UnfilledDoubles widths,
                            UnfilledDoubles secants);

  std::span<const double> x() const { return x_; }
  std::span<const double> y() const { return y_; }
  std::span<const double> widths() const { return widths_; }
  std::span<const double> secants() const { return secants_; }
  std::size_t size() const { return x_.size(); }
  std::size_t intervals() const { return widths_.size(); }

  // The narrowest and widest width and the largest |y|: what the scale a
  // fit is made in is chosen from (see scale_of). Taken in the pass that
  // derives the widths.
  struct Extremes {
    double narrow;
    double wide;
    double largest;

    // Minimum and maximum of numbers that are never NaN on usable data do
    // not depend on the order they are taken in.
    void take_width(double width) {
      narrow = width < narrow ? width : narrow;
      wide = wide < width ? width : wide;
    }
    void take_value(double value) {
      const double size = std::fabs(value);
      largest = largest < size ? size : largest;
    }
  };
  const Extremes& extremes() const { return extremes_; }

  // The slopes at the first and last knot of the parabola through the three
  // end points of each side; the secant itself when there is one interval.
  std::pair<double, double> three_point_end_slopes() const;

 private:
  // create (copy) or borrow.
  static Result<Samples> checked(std::span<const double> x, std::span<const double> y, bool copy);
  Samples(Doubles x, Doubles y, UnfilledDoubles widths, UnfilledDoubles secants,
          const Extremes& extremes);
  Samples(std::span<const double> x, std::span<const double> y, UnfilledDoubles widths,
          UnfilledDoubles secants, const Extremes& extremes);
  Samples(const CheckedKnots& knots, std::span<const double> y, UnfilledDoubles secants,
          const Extremes& extremes);

  // The knots and values the samples own (empty when borrowed), and the
  // ones they read, owned or borrowed. A move keeps the owned storage where
  // it is, so the views stay valid.
  Doubles own_x_;
  Doubles own_y_;
  std::span<const double> x_;
  std::span<const double> y_;
  // Written in full when made: not zeroed first. The widths are the
  // samples' own, or those of the checked knots they were made on.
  UnfilledDoubles own_widths_;
  std::span<const double> widths_;
  UnfilledDoubles secants_;
  Extremes extremes_;
};

}  // namespace velarix
