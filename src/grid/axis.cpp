#include "grid/axis.hpp"

#include <algorithm>
#include <vector>

#include "error.hpp"

namespace velarix::grid {
namespace {

Doubles refined_knots(std::span<const double> x, int degree) {
  const std::size_t n = x.size();
  Doubles t;
  if (degree == 1) {
    t.push_back(x[0]);
    t.insert(t.end(), x.begin(), x.end());
    t.push_back(x[n - 1]);
    return t;
  }
  t.assign(3, x[0]);
  for (std::size_t j = 0; j + 1 < n; ++j) {
    const double h = x[j + 1] - x[j];
    t.push_back(x[j]);
    t.push_back(x[j] + h / 3);
    t.push_back(x[j] + 2 * h / 3);
  }
  t.insert(t.end(), 4, x[n - 1]);
  return t;
}

// The data cells that meet the open interval (a, b).
CellRange cells_meeting(std::span<const double> x, double a, double b) {
  const auto last_cell = static_cast<std::ptrdiff_t>(x.size()) - 2;
  auto first = std::upper_bound(x.begin(), x.end(), a) - x.begin() - 1;
  auto last = std::lower_bound(x.begin(), x.end(), b) - x.begin() - 1;
  first = std::clamp<std::ptrdiff_t>(first, 0, last_cell);
  last = std::clamp<std::ptrdiff_t>(last, first, last_cell);
  return {static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last)};
}

// b[k] + tau (b[k+1] - b[k]): equal ordinates stay exactly equal.
double towards(double from, double to, double tau) { return from + tau * (to - from); }

// The blossom of the cubic with Bezier ordinates b at the local abscissas
// (u, v, w) of its interval.
double blossom(std::array<double, 4> b, double u, double v, double w) {
  for (int k = 0; k < 3; ++k) b[k] = towards(b[k], b[k + 1], u);
  for (int k = 0; k < 2; ++k) b[k] = towards(b[k], b[k + 1], v);
  return towards(b[0], b[1], w);
}

// The not-a-knot cubic spline's slope system (tridiagonal in the slopes,
// with the third derivative continuous at x_1 and x_{n-2}) for n >= 4,
// factored once: the multipliers and pivots of the elimination. The end rows
// are not diagonally dominant: the last row's second entry is eliminated with
// row n - 2 first, as the sweep meets it.
void factor_slopes(std::span<const double> x, Doubles& factor, Doubles& diag, Doubles& upper) {
  const std::size_t n = x.size(), m = n - 1;
  std::vector<double> h(n - 1), lower(n);
  for (std::size_t i = 0; i + 1 < n; ++i) h[i] = x[i + 1] - x[i];
  diag.assign(n, 0.0);
  upper.assign(n, 0.0);
  factor.assign(n, 0.0);
  diag[0] = h[1];
  upper[0] = h[0] + h[1];
  for (std::size_t i = 1; i + 1 < n; ++i) {
    lower[i] = h[i];
    diag[i] = 2 * (h[i - 1] + h[i]);
    upper[i] = h[i - 1];
  }
  lower[m] = h[m - 1] + h[m - 2];
  diag[m] = h[m - 2];
  for (std::size_t i = 1; i < n; ++i) {
    factor[i] = lower[i] / diag[i - 1];
    diag[i] -= factor[i] * upper[i - 1];
  }
}

Doubles from_origin(std::span<const double> x) {
  Doubles local(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) local[i] = x[i] - x[0];
  return local;
}

}  // namespace

Axis::Axis(std::span<const double> data, int degree)
    : data_(data.begin(), data.end()),
      x_(from_origin(data)),
      t_(refined_knots(x_, degree)),
      degree_(degree) {
  const std::span<const double> x = x_;
  const std::size_t n = x.size();
  // Buckets of equal width over the axis, four per span on average, each
  // holding the span its left edge lies in.
  const std::size_t spans = coefficients() - static_cast<std::size_t>(degree);
  buckets_.assign(4 * spans, static_cast<std::size_t>(degree));
  bucket_scale_ = static_cast<double>(buckets_.size()) / x.back();
  for (std::size_t b = 0, q = static_cast<std::size_t>(degree); b < buckets_.size(); ++b) {
    const double edge = static_cast<double>(b) / bucket_scale_;
    while (q + 1 < coefficients() && edge >= t_[q + 1]) ++q;
    buckets_[b] = q;
  }
  // The spans' polynomials from the derivatives at their left ends.
  const auto p = static_cast<std::size_t>(degree);
  for (std::size_t q = p; q + 1 < t_.size() - p; ++q) {
    const double h = t_[q + 1] - t_[q];
    inverse_width_.push_back(h > 0 ? 1 / h : 0.0);
    std::array<double, 16> c{};
    double derivative[4];
    double scale = 1;
    for (std::size_t j = 0; j <= p; ++j) {
      basis(q, t_[q], static_cast<int>(j), derivative);
      for (std::size_t k = 0; k <= p; ++k) c[4 * k + j] = derivative[k] * scale;
      scale *= h / static_cast<double>(j + 1);
    }
    powers_.push_back(c);
  }
  if (degree != 3) return;
  if (n >= 4) factor_slopes(x, slope_factor_, slope_diag_, slope_upper_);
  // Coefficient c is the blossom at knots t[c+1..c+3] of the piece on a data
  // interval its support meets; a triple that straddles x_j contains it,
  // where both neighbouring pieces' blossoms agree. As weights of the
  // piece's Bezier ordinates (the first, 0 and the last, the values
  // themselves, are taken as they are).
  const auto weights_of = [](double u, double v, double w) {
    std::array<double, 4> out{};
    for (int k = 0; k < 4; ++k) {
      std::array<double, 4> unit{};
      unit[static_cast<std::size_t>(k)] = 1;
      out[static_cast<std::size_t>(k)] = blossom(unit, u, v, w);
    }
    return out;
  };
  blossoms_.resize(3 * n);
  for (std::size_t j = 0; j < n; ++j) {
    const auto at = [&](std::size_t c, std::size_t interval, double u, double v, double w) {
      blossoms_[c] = {static_cast<std::uint32_t>(interval), weights_of(u, v, w)};
    };
    if (j == 0) {
      at(1, 0, 0, 0, 1.0 / 3);
    } else {
      at(3 * j, j - 1, 1.0 / 3, 2.0 / 3, 1);
      const double ratio = j + 1 < n ? (x[j + 1] - x[j]) / (x[j] - x[j - 1]) : 0.0;
      at(3 * j + 1, j - 1, 2.0 / 3, 1, 1 + ratio / 3);
    }
    if (j + 1 < n) at(3 * j + 2, j, 0, 1.0 / 3, 2.0 / 3);
  }
  weights_.resize(n);
  double values[4];
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t q = span_of(x[i]);
    basis(q, x[i], 0, values);
    std::array<double, 3> w{};
    for (int k = 0; k < 4; ++k) {
      const std::size_t c = q - 3 + static_cast<std::size_t>(k);
      if (values[k] != 0 && c / 3 == i) w[c % 3] += values[k];
    }
    weights_[i] = w;
  }
  const std::size_t m = 3 * n;
  value_cells_.resize(m);
  for (std::size_t c = 0; c < m; ++c) value_cells_[c] = cells_meeting(x_, t_[c], t_[c + 4]);
  difference_cells_.resize(m - 1);
  for (std::size_t k = 0; k + 1 < m; ++k) {
    difference_cells_[k] = cells_meeting(x_, t_[k + 1], t_[k + 4]);
  }
}

std::size_t Axis::span_of(double u) const {
  // From the bucket's first span, a step or two to u's (backwards only where
  // rounding put u just below its bucket's edge).
  // (The scale is infinite for an axis narrower than its buckets' count
  // of doubles: 0 times it is NaN, which takes the first bucket.)
  const double at = u * bucket_scale_, top = static_cast<double>(buckets_.size() - 1);
  std::size_t q = buckets_[at > 0 ? static_cast<std::size_t>(at < top ? at : top) : 0];
  const std::size_t first = static_cast<std::size_t>(degree_), last = coefficients() - 1;
  while (q > first && u < t_[q]) --q;
  while (q < last && u >= t_[q + 1]) ++q;
  return q;
}

// The derivatives of the nonzero B-splines by the triangular recursion of
// their values and of the differences of lower degrees.
void Axis::basis(std::size_t q, double u, int order, double* out) const {
  const int p = degree_;
  double ndu[4][4];
  double left[4], right[4];
  ndu[0][0] = 1;
  for (int j = 1; j <= p; ++j) {
    left[j] = u - t_[q + 1 - static_cast<std::size_t>(j)];
    right[j] = t_[q + static_cast<std::size_t>(j)] - u;
    double saved = 0;
    for (int r = 0; r < j; ++r) {
      ndu[j][r] = right[r + 1] + left[j - r];
      const double temp = ndu[r][j - 1] / ndu[j][r];
      ndu[r][j] = saved + right[r + 1] * temp;
      saved = left[j - r] * temp;
    }
    ndu[j][j] = saved;
  }
  if (order == 0) {
    for (int j = 0; j <= p; ++j) out[j] = ndu[j][p];
    return;
  }
  if (order > p) {
    for (int j = 0; j <= p; ++j) out[j] = 0;
    return;
  }
  for (int r = 0; r <= p; ++r) {
    double a[2][4] = {};
    int s1 = 0, s2 = 1;
    a[0][0] = 1;
    double d = 0;
    for (int k = 1; k <= order; ++k) {
      d = 0;
      const int rk = r - k, pk = p - k;
      if (r >= k) {
        a[s2][0] = a[s1][0] / ndu[pk + 1][rk];
        d = a[s2][0] * ndu[rk][pk];
      }
      const int j1 = rk >= -1 ? 1 : -rk;
      const int j2 = (r - 1 <= pk) ? k - 1 : p - r;
      for (int j = j1; j <= j2; ++j) {
        a[s2][j] = (a[s1][j] - a[s1][j - 1]) / ndu[pk + 1][rk + j];
        d += a[s2][j] * ndu[rk + j][pk];
      }
      if (r <= pk) {
        a[s2][k] = -a[s1][k - 1] / ndu[pk + 1][r];
        d += a[s2][k] * ndu[r][pk];
      }
      std::swap(s1, s2);
    }
    out[r] = d;
  }
  double factor = p;
  for (int k = 1; k < order; ++k) factor *= p - k;
  for (int j = 0; j <= p; ++j) out[j] *= factor;
}

void Axis::weights(std::size_t q, double u, int order, double* out) const {
  const std::size_t span = q - static_cast<std::size_t>(degree_);
  const double r = inverse_width_[span], s = (u - t_[q]) * r;
  const double* c = powers_[span].data();
  const int count = degree_ + 1;
  if (order == 0) {
    for (int k = 0; k < count; ++k, c += 4) out[k] = c[0] + s * (c[1] + s * (c[2] + s * c[3]));
  } else if (order == 1) {
    for (int k = 0; k < count; ++k, c += 4) out[k] = (c[1] + s * (2 * c[2] + s * (3 * c[3]))) * r;
  } else {
    for (int k = 0; k < count; ++k, c += 4) out[k] = (2 * c[2] + s * (6 * c[3])) * r * r;
  }
}

void Axis::not_a_knot(const double* y, std::ptrdiff_t in_stride, double* out,
                      std::ptrdiff_t out_stride) const {
  const std::size_t n = x_.size();
  thread_local std::vector<double> values, d, s;
  values.resize(n);
  d.resize(n - 1);
  s.resize(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = y[static_cast<std::ptrdiff_t>(i) * in_stride];
  for (std::size_t i = 0; i + 1 < n; ++i) {
    d[i] = (values[i + 1] - values[i]) / (x_[i + 1] - x_[i]);
  }
  if (n == 2) {
    s[0] = s[1] = d[0];
  } else if (n == 3) {  // the parabola through the three points
    const double h0 = x_[1] - x_[0], h1 = x_[2] - x_[1];
    const double c = (d[1] - d[0]) / (h0 + h1);
    s[0] = d[0] - c * h0;
    s[1] = d[0] + c * h0;
    s[2] = d[1] + c * h1;
  } else {
    const std::size_t m = n - 1;
    const auto h = [&](std::size_t i) { return x_[i + 1] - x_[i]; };
    s[0] = (d[0] * h(1) * (3 * h(0) + 2 * h(1)) + h(0) * h(0) * d[1]) / (h(0) + h(1));
    for (std::size_t i = 1; i < m; ++i) s[i] = 3 * (h(i) * d[i - 1] + h(i - 1) * d[i]);
    s[m] = (d[m - 1] * h(m - 2) * (3 * h(m - 1) + 2 * h(m - 2)) +
            h(m - 1) * h(m - 1) * d[m - 2]) /
           (h(m - 2) + h(m - 1));
    for (std::size_t i = 1; i < n; ++i) s[i] -= slope_factor_[i] * s[i - 1];
    s[m] /= slope_diag_[m];
    for (std::size_t i = m; i-- > 0;) s[i] = (s[i] - slope_upper_[i] * s[i + 1]) / slope_diag_[i];
  }
  const auto put = [&](std::size_t c, double v) {
    out[static_cast<std::ptrdiff_t>(c) * out_stride] = v;
  };
  // Relative to the first ordinate, so that equal ordinates give it exactly.
  for (std::size_t c = 1; c + 1 < 3 * n; ++c) {
    const Blossom& b = blossoms_[c];
    const std::size_t j = b.interval;
    const double h = x_[j + 1] - x_[j];
    const double b0 = values[j], b1 = values[j] + h * s[j] / 3;
    const double b2 = values[j + 1] - h * s[j + 1] / 3, b3 = values[j + 1];
    put(c, b0 + (b.weights[1] * (b1 - b0) + b.weights[2] * (b2 - b0) + b.weights[3] * (b3 - b0)));
  }
  put(0, values[0]);
  put(3 * n - 1, values[n - 1]);
}

void Axis::add_integrals(double u, double sign, std::span<double> out) const {
  // Two Gauss points integrate a cubic exactly on each knot span.
  static constexpr double node = 0.57735026918962576451;
  const std::size_t p = static_cast<std::size_t>(degree_);
  const std::size_t q_end = span_of(u);
  double values[4];
  for (std::size_t q = p; q <= q_end; ++q) {
    const double a = t_[q];
    const double b = q == q_end ? u : t_[q + 1];
    if (!(b > a)) continue;
    const double mid = (a + b) / 2, half = (b - a) / 2;
    for (const double at : {mid - half * node, mid + half * node}) {
      basis(q, at, 0, values);
      for (std::size_t k = 0; k <= p; ++k) out[q - p + k] += sign * half * values[k];
    }
  }
}

}  // namespace velarix::grid
