#include "tension/ends.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <variant>

namespace velarix::tension::ends {
namespace {

// Doubles as integers in their numeric order (both zeros at 0), so that the
// doubles between two gaps can be halved like an integer range.
std::int64_t key(double v) {
  const std::int64_t bits = std::bit_cast<std::int64_t>(v);
  return bits >= 0 ? bits : -(bits & std::numeric_limits<std::int64_t>::max());
}

double from_key(std::int64_t k) {
  if (k >= 0) return std::bit_cast<double>(k);
  return std::bit_cast<double>(-k | std::numeric_limits<std::int64_t>::min());
}

// Keys of successive outward steps double; this many reach any double.
constexpr int bracket_steps = 62;
// Where no gap makes S'' cancel exactly, the other gap (at the interior
// knot) is moved by up to this many ulps either way: each choice gives
// another grid of roundings, and one of the first few cancels.
constexpr int other_gap_ulps = 16;

using Fields = std::array<double, TensionPiece::field_count>;
// The positions of yp0, the secant, d1 and d2 in a piece's field list.
constexpr std::size_t yp0_field = 3;
constexpr std::size_t secant_field = 4;
constexpr std::size_t d1_field = 5;
constexpr std::size_t d2_field = 6;

// One end of a piece: which gap is free (d1 at the left end, d2 at the
// right), and the knot where S'' must vanish.
class End {
 public:
  End(const TensionPiece& piece, bool left, double knot)
      : form_(piece.form()), fields_(piece.fields()), left_(left), knot_(knot) {}

  double gap() const { return fields_[left_ ? d1_field : d2_field]; }
  double other_gap() const { return fields_[left_ ? d2_field : d1_field]; }

  // The piece with the free gap replaced; at the left end yp0 = s - d1
  // follows it, so that the Hermite forms stay consistent with the gap.
  TensionPiece with(double gap) const {
    Fields f = fields_;
    if (left_) {
      f[d1_field] = gap;
      f[yp0_field] = f[secant_field] - gap;
    } else {
      f[d2_field] = gap;
    }
    return TensionPiece::from_fields(form_, f);
  }
  // The same end with the other gap replaced.
  End with_other(double gap) const {
    End end = *this;
    end.fields_[left_ ? d2_field : d1_field] = gap;
    return end;
  }
  double curvature(double gap) const { return with(gap).second_derivative(knot_); }
  bool cubic() const { return std::holds_alternative<TensionPiece::Cubic>(form_); }

 private:
  TensionPiece::Form form_;
  Fields fields_;
  bool left_;
  double knot_;
};

// The gap that gives S'' = 0 exactly, searched among the doubles near the
// current one: S'' is (to rounding) an increasing affine function of the
// free gap, whose sign changes there. Steps of 1, 2, 4... ulps bracket the
// change and halving the bracket narrows it to adjacent doubles; the search
// ends at the first gap whose S'' is 0, or finds none.
std::optional<double> zero_gap(const End& end) {
  const double start = end.gap();
  const double at_start = end.curvature(start);
  if (at_start == 0) return start;
  if (!std::isfinite(at_start) || !std::isfinite(start)) return std::nullopt;
  // The Hermite cubic's S'' at its end is ((d1 + d2) -/+ 3 (d2 - d1)) / h,
  // which cancels exactly when the free gap is half the other.
  if (end.cubic()) {
    const double half = end.other_gap() / 2;
    if (end.curvature(half) == 0) return half;
  }
  const bool positive = at_start > 0;
  const std::int64_t direction = positive ? -1 : 1;
  std::int64_t inside = key(start);   // S'' has the sign of at_start here
  std::optional<std::int64_t> found;  // and the other sign here
  for (int step = 0; step < bracket_steps && !found; ++step) {
    const std::int64_t next = key(start) + direction * (std::int64_t{1} << step);
    const double value = end.curvature(from_key(next));
    if (value == 0) return from_key(next);
    if (!std::isfinite(value)) return std::nullopt;
    if ((value > 0) == positive) {
      inside = next;
    } else {
      found = next;
    }
  }
  if (!found) return std::nullopt;
  std::int64_t beyond = *found;
  while (inside - beyond > 1 || beyond - inside > 1) {
    const std::int64_t middle = inside + (beyond - inside) / 2;
    const double value = end.curvature(from_key(middle));
    if (value == 0) return from_key(middle);
    if ((value > 0) == positive) {
      inside = middle;
    } else {
      beyond = middle;
    }
  }
  return std::nullopt;
}

// The piece with S'' exactly 0 at its end knot, or the piece itself when
// no nearby pair of gaps gives that.
TensionPiece zero_end(const TensionPiece& piece, bool left, double knot) {
  const End end(piece, left, knot);
  const std::int64_t other = key(end.other_gap());
  for (int j = 0; j <= 2 * other_gap_ulps; ++j) {
    // Offsets 0, 1, -1, 2, -2, ...
    const std::int64_t offset = (j + 1) / 2 * (j % 2 == 1 ? 1 : -1);
    const End candidate = offset == 0 ? end : end.with_other(from_key(other + offset));
    if (const std::optional<double> gap = zero_gap(candidate)) return candidate.with(*gap);
  }
  return piece;
}

}  // namespace

void zero_end_curvature(Vector<TensionPiece>& pieces, std::span<const double> knots) {
  if (pieces.size() == 1) {
    // Through two points the natural spline is the chord: both gaps 0.
    Fields f = pieces.front().fields();
    f[yp0_field] = f[secant_field];
    f[d1_field] = 0;
    f[d2_field] = 0;
    pieces.front() = TensionPiece::from_fields(pieces.front().form(), f);
    return;
  }
  pieces.front() = zero_end(pieces.front(), true, knots.front());
  pieces.back() = zero_end(pieces.back(), false, knots.back());
}

}  // namespace velarix::tension::ends
