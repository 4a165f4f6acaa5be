// One axis of a gridded table and the B-spline basis a grid surface uses
// along it. The cubic basis has the data abscissae as knots plus two knots
// inserted at the thirds of every interval: 3 coefficients per data node,
// and the three whose B-splines are nonzero at a node x_i are 3i, 3i+1 and
// 3i+2 (the "block" of node i). That placement lets a coefficient net copy
// each data difference into one data interval (see limiter.hpp). The
// linear basis is the hat functions on the data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "memory.hpp"

namespace velarix::grid {

// The data cells [first, last] an open knot span meets (at most two).
struct CellRange {
  std::uint32_t first = 0;
  std::uint32_t last = 0;
};

class Axis {
 public:
  // `x` strictly increasing and finite, at least 2 points; degree 3 or 1.
  // The basis lives in coordinates from x_0 (x_i - x_0, exact for data near
  // each other), so that a fit does not depend on where the axis starts.
  Axis(std::span<const double> x, int degree);

  int degree() const { return degree_; }
  std::size_t nodes() const { return x_.size(); }
  std::size_t coefficients() const { return degree_ == 3 ? 3 * x_.size() : x_.size(); }
  std::span<const double> data() const { return data_; }
  double origin() const { return data_[0]; }
  // The data and knots from x_0; every abscissa below is taken from x_0.
  std::span<const double> local() const { return x_; }
  std::span<const double> knots() const { return t_; }

  // The knot span q (t[q] <= u < t[q+1]; the last span for u at the last
  // node) of u inside [x_0, x_{n-1}]; the basis functions nonzero there are
  // the coefficients q - degree .. q.
  std::size_t span_of(double u) const;
  // The derivatives of order `order` (0 to 2) of those degree + 1 basis
  // functions at u, into out[0..degree].
  void basis(std::size_t q, double u, int order, double* out) const;

  // The same from each span's basis functions in powers of the span's own
  // coordinate (u - t[q]) / (t[q+1] - t[q]), tabulated once: what the
  // evaluation uses.
  void weights(std::size_t q, double u, int order, double* out) const;

  // The values at x_i of the coefficients 3i, 3i+1, 3i+2 (they sum to 1).
  std::array<double, 3> node_weights(std::size_t i) const { return weights_[i]; }
  // The cells met by the support of coefficient c, and by the support of
  // the derivative B-spline of the difference c[k+1] - c[k].
  CellRange value_cells(std::size_t c) const { return value_cells_[c]; }
  CellRange difference_cells(std::size_t k) const { return difference_cells_[k]; }

  // The cubic basis's coefficients (3n, at stride `out_stride`) of the
  // not-a-knot cubic spline through y (n values at stride `in_stride`;
  // a parabola for 3 points, a line for 2). The spline is C² with knots at
  // the data, so it lies in the refined space exactly.
  void not_a_knot(const double* y, std::ptrdiff_t in_stride, double* out,
                  std::ptrdiff_t out_stride) const;

  // The integral of every basis function over [0, u] for u inside,
  // added into `out` (length coefficients()) with factor `sign`.
  void add_integrals(double u, double sign, std::span<double> out) const;

 private:
  Doubles data_;
  Doubles x_;
  Doubles t_;
  int degree_;
  Vector<std::array<double, 3>> weights_;
  // Per span q (from `degree`): 1 / its width, and per basis function k the
  // coefficients of s^0 .. s^3 at [4 * k + j].
  Doubles inverse_width_;
  // The span lookup: buckets of equal width, each with its first span.
  Vector<std::size_t> buckets_;
  double bucket_scale_ = 0;
  // The not-a-knot slope system's elimination (n >= 4), and per cubic
  // coefficient the data interval and Bezier weights of its blossom.
  Doubles slope_factor_, slope_diag_, slope_upper_;
  struct Blossom {
    std::uint32_t interval = 0;
    std::array<double, 4> weights{};
  };
  Vector<Blossom> blossoms_;
  Vector<std::array<double, 16>> powers_;
  Vector<CellRange> value_cells_;
  Vector<CellRange> difference_cells_;
};

}  // namespace velarix::grid
