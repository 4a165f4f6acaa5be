#include "smoothing/coordinates.hpp"

#include <algorithm>
#include <cmath>

namespace velarix::smoothing {

Coordinates::Coordinates(const Basis& basis, Shape shape) : basis_(basis) {
  const int s = direction(shape);
  const int m = curvature(shape);
  const std::size_t k = basis.size();
  bounded_.assign(k, 0);
  if (m == 0 && s != 0) {
    kind_ = Kind::slopes;
    sign_ = s;
    anchor_sign_ = s;
    for (std::size_t j = 1; j < k; ++j) bounded_[j] = 1;
  } else {
    // S' runs the way of S'' (s m > 0) from its left end, so that end has the
    // smaller magnitude in the direction s; otherwise the right end has.
    kind_ = s * m >= 0 ? Kind::curvature_left : Kind::curvature_right;
    sign_ = m == 0 ? 1 : m;
    anchor_sign_ = s == 0 ? 1 : s;
    bounded_[1] = s != 0;
    for (std::size_t j = 2; j < k; ++j) bounded_[j] = m != 0;
  }
  // The penalty's form in a serves the bounds' gradient only.
  if (bounded_count() > 0) basis.hat_gram(g1_diagonal_, g1_upper_);
}

std::size_t Coordinates::bounded_count() const {
  std::size_t count = 0;
  for (const std::uint8_t b : bounded_) count += b;
  return count;
}

Coefficients Coordinates::curve(std::span<const double> beta) const {
  const std::size_t k = size();
  const std::span<const double> slope_step = basis_.slope_steps();
  const std::span<const double> curvature_step = basis_.curvature_steps();
  Coefficients out{Doubles(k), Doubles(k - 1), Doubles(k - 2)};
  Doubles& c = out.c;
  Doubles& d = out.d;
  Doubles& a = out.a;
  switch (kind_) {
    case Kind::slopes:
      for (std::size_t j = 0; j + 1 < k; ++j) d[j] = sign_ * beta[j + 1];
      for (std::size_t j = 0; j + 2 < k; ++j) a[j] = (d[j + 1] - d[j]) / curvature_step[j];
      break;
    case Kind::curvature_left:
      for (std::size_t j = 0; j + 2 < k; ++j) a[j] = sign_ * beta[j + 2];
      d[0] = anchor_sign_ * beta[1];
      for (std::size_t j = 0; j + 2 < k; ++j) d[j + 1] = d[j] + curvature_step[j] * a[j];
      break;
    case Kind::curvature_right:
      for (std::size_t j = 0; j + 2 < k; ++j) a[j] = sign_ * beta[j + 2];
      d[k - 2] = anchor_sign_ * beta[1];
      for (std::size_t j = k - 2; j-- > 0;) d[j] = d[j + 1] - curvature_step[j] * a[j];
      break;
  }
  c[0] = beta[0];
  for (std::size_t j = 0; j + 1 < k; ++j) c[j + 1] = c[j] + slope_step[j] * d[j];
  return out;
}

Coefficients Coordinates::curve_of(Doubles c) const {
  const std::size_t k = c.size();
  const std::span<const double> slope_step = basis_.slope_steps();
  const std::span<const double> curvature_step = basis_.curvature_steps();
  Coefficients out{std::move(c), Doubles(k - 1), Doubles(k - 2)};
  for (std::size_t j = 0; j + 1 < k; ++j) out.d[j] = (out.c[j + 1] - out.c[j]) / slope_step[j];
  for (std::size_t j = 0; j + 2 < k; ++j) {
    out.a[j] = (out.d[j + 1] - out.d[j]) / curvature_step[j];
  }
  return out;
}

void Coordinates::beta_of(const Coefficients& curve, std::span<double> beta) const {
  const std::size_t k = size();
  beta[0] = curve.c[0];
  if (kind_ == Kind::slopes) {
    for (std::size_t j = 0; j + 1 < k; ++j) beta[j + 1] = sign_ * curve.d[j];
    return;
  }
  beta[1] = anchor_sign_ * (kind_ == Kind::curvature_left ? curve.d[0] : curve.d[k - 2]);
  for (std::size_t j = 0; j + 2 < k; ++j) beta[j + 2] = sign_ * curve.a[j];
}

void Coordinates::beta_scales(double c_size, std::span<double> out) const {
  const std::size_t k = size();
  const std::span<const double> s = basis_.slope_steps();
  const std::span<const double> e = basis_.curvature_steps();
  out[0] = c_size;
  if (kind_ == Kind::slopes) {
    for (std::size_t j = 0; j + 1 < k; ++j) out[j + 1] = c_size / s[j];
    return;
  }
  out[1] = c_size / (kind_ == Kind::curvature_left ? s[0] : s[k - 2]);
  for (std::size_t j = 0; j + 2 < k; ++j) {
    out[j + 2] = c_size * (1 / s[j] + 1 / s[j + 1]) / e[j];
  }
}

// With c_0 = beta_0, c_{i+1} = c_i + s_i d_i, the derivative along d_l is
// s_l times the sum of g beyond l; a curvature coordinate moves every d on
// the far side of it from the anchor by e_j.
void Coordinates::transpose(std::span<const double> g, std::span<double> out) const {
  const std::size_t k = size();
  const std::span<const double> s = basis_.slope_steps();
  const std::span<const double> e = basis_.curvature_steps();
  // out[l + 1] holds the derivative along d_l for now.
  double suffix = 0;
  for (std::size_t i = k; i-- > 1;) {
    suffix += g[i];
    out[i] = s[i - 1] * suffix;
  }
  out[0] = suffix + g[0];
  if (kind_ == Kind::slopes) {
    for (std::size_t l = 1; l < k; ++l) out[l] *= sign_;
    return;
  }
  double total = 0;
  for (std::size_t l = 1; l < k; ++l) total += out[l];
  if (kind_ == Kind::curvature_left) {
    // beta_{j+2}: e_j times the sum over l >= j + 1 (out[l + 1]).
    double tail = 0;
    for (std::size_t j = k - 2; j-- > 0;) {
      tail += out[j + 2];
      out[j + 2] = sign_ * e[j] * tail;
    }
  } else {
    // beta_{j+2}: -e_j times the sum over l <= j (out[l + 1], each read
    // before its place is written).
    double head = 0;
    double next = out[1];
    for (std::size_t j = 0; j + 2 < k; ++j) {
      head += next;
      next = out[j + 2];
      out[j + 2] = -sign_ * e[j] * head;
    }
  }
  out[1] = anchor_sign_ * total;
}

void Coordinates::gradient(std::span<const double> g, const Coefficients& curve, double lam,
                           std::span<double> out) const {
  transpose(g, out);
  const std::size_t rows = curve.a.size();
  // p = lam G1 a, G1 the hat functions' Gram matrix.
  auto penalty = [&](std::size_t j) {
    double v = g1_diagonal_[j] * curve.a[j];
    if (j > 0) v += g1_upper_[j - 1] * curve.a[j - 1];
    if (j + 1 < rows) v += g1_upper_[j] * curve.a[j + 1];
    return lam * v;
  };
  const std::span<const double> e = basis_.curvature_steps();
  if (kind_ != Kind::slopes) {
    for (std::size_t j = 0; j < rows; ++j) out[j + 2] += sign_ * penalty(j);
    return;
  }
  // a_j = (d_{j+1} - d_j) / e_j.
  for (std::size_t j = 0; j < rows; ++j) {
    const double pj = penalty(j) / e[j];
    out[j + 1] -= sign_ * pj;
    out[j + 2] += sign_ * pj;
  }
}

void Coordinates::gradient_scales(std::span<const double> g, std::span<double> out) const {
  transpose(g, out);
  for (double& v : out) v = std::fabs(v);
}

Reduction Coordinates::reduction(std::span<const std::uint8_t> held,
                                 std::span<const double> greville) const {
  const std::size_t k = size();
  Reduction z;
  bool any = false;
  for (std::size_t j = 1; j < k; ++j) any = any || (held[j] && bounded_[j]);
  if (!any) {
    z.columns = k;
    z.identity_line = greville;
    return z;
  }
  z.identity = false;
  z.start.push_back(0);
  auto add_column = [&](std::size_t first) {
    z.first.push_back(first);
    z.line.push_back(0.0);
  };
  if (kind_ == Kind::slopes) {
    // Runs of coefficients tied by d_{i-1} = 0 (beta_i held).
    bool flat = false;
    for (std::size_t i = 0; i < k; ++i) {
      if (i > 0 && held[i]) {
        flat = true;
      } else {
        if (i > 0) z.start.push_back(z.coef.size());
        add_column(i);
        z.line.back() = greville[i];
      }
      z.coef.push_back(1.0);
    }
    z.start.push_back(z.coef.size());
    z.columns = z.first.size();
    z.rank = flat ? 1 : 2;
    return z;
  }
  // Coefficient i is inside a run on one line when a_{i-1} = 0 (beta_{i+1}
  // held); the others are free, and those inside follow the two free ones
  // around them linearly in the Greville abscissa.
  std::vector<std::size_t> free;
  for (std::size_t i = 0; i < k; ++i) {
    if (i == 0 || i + 1 == k || !held[i + 1]) free.push_back(i);
  }
  const std::size_t m = free.size();
  for (std::size_t p = 0; p < m; ++p) {
    const std::size_t f = free[p];
    const std::size_t lo = p > 0 ? free[p - 1] + 1 : f;
    const std::size_t hi = p + 1 < m ? free[p + 1] : f + 1;  // exclusive
    add_column(lo);
    z.line.back() = greville[f];
    for (std::size_t i = lo; i < hi; ++i) {
      if (i < f) {
        const double left = greville[free[p - 1]];
        z.coef.push_back((greville[i] - left) / (greville[f] - left));
      } else if (i == f) {
        z.coef.push_back(1.0);
      } else {
        const double right = greville[free[p + 1]];
        z.coef.push_back((right - greville[i]) / (right - greville[f]));
      }
    }
    z.start.push_back(z.coef.size());
  }
  z.columns = m;
  if (held[1] && bounded_[1]) {
    // The anchor's slope is 0: its coefficient and the next free one are
    // equal, one column (the sum of theirs) for both.
    const std::size_t a = kind_ == Kind::curvature_left ? 0 : m - 2;
    const std::size_t lo = z.first[a];
    const std::size_t hi = z.first[a + 1] + (z.start[a + 2] - z.start[a + 1]);
    Doubles merged(hi - lo, 0.0);
    for (std::size_t col = a; col <= a + 1; ++col) {
      for (std::size_t q = z.start[col]; q < z.start[col + 1]; ++q) {
        merged[z.first[col] + (q - z.start[col]) - lo] += z.coef[q];
      }
    }
    Doubles coef(z.coef.begin(), z.coef.begin() + static_cast<std::ptrdiff_t>(z.start[a]));
    coef.insert(coef.end(), merged.begin(), merged.end());
    coef.insert(coef.end(), z.coef.begin() + static_cast<std::ptrdiff_t>(z.start[a + 2]),
                z.coef.end());
    const std::size_t removed = (z.start[a + 2] - z.start[a]) - merged.size();
    std::vector<std::size_t> start(z.start.begin(), z.start.begin() + static_cast<std::ptrdiff_t>(a + 1));
    start.push_back(z.start[a] + merged.size());
    for (std::size_t col = a + 3; col < z.start.size(); ++col) start.push_back(z.start[col] - removed);
    z.coef = std::move(coef);
    z.start = std::move(start);
    z.first.erase(z.first.begin() + static_cast<std::ptrdiff_t>(a + 1));
    z.line.erase(z.line.begin() + static_cast<std::ptrdiff_t>(a + 1));
    z.columns = m - 1;
    z.rank = 1;
  }
  return z;
}

std::size_t Reduction::width() const {
  if (identity) return 3;
  std::size_t width = 0;
  std::size_t l = 0;
  for (std::size_t k = 0; k < columns; ++k) {
    const std::size_t last = first[k] + (start[k + 1] - start[k]) - 1;
    l = std::max(l, k);
    while (l + 1 < columns && first[l + 1] <= last + 3) ++l;
    width = std::max(width, l - k);
  }
  return width;
}

void Reduction::expand(std::span<const double> z, std::span<double> c) const {
  if (identity) {
    std::copy(z.begin(), z.end(), c.begin());
    return;
  }
  std::fill(c.begin(), c.end(), 0.0);
  for (std::size_t k = 0; k < columns; ++k) {
    for (std::size_t q = start[k]; q < start[k + 1]; ++q) c[first[k] + (q - start[k])] += coef[q] * z[k];
  }
}

void Reduction::project(std::span<const double> c, std::span<double> z) const {
  if (identity) {
    std::copy(c.begin(), c.end(), z.begin());
    return;
  }
  for (std::size_t k = 0; k < columns; ++k) {
    double sum = 0;
    for (std::size_t q = start[k]; q < start[k + 1]; ++q) sum += coef[q] * c[first[k] + (q - start[k])];
    z[k] = sum;
  }
}

// Column k of M Z lies within 3 of column k's coefficients; entry (k, l) of
// Z^T M Z is column l of Z against it.
Band Reduction::reduce(const Band& m) const {
  if (identity) return m;
  const std::size_t w = width();
  Band out(columns, w);
  const std::size_t n = m.size;
  Doubles y(n, 0.0);
  for (std::size_t k = 0; k < columns; ++k) {
    const std::size_t lo = first[k];
    const std::size_t len = start[k + 1] - start[k];
    const std::size_t y_lo = lo > 3 ? lo - 3 : 0;
    const std::size_t y_hi = std::min(n, lo + len + 3);
    for (std::size_t q = 0; q < len; ++q) {
      const std::size_t j = lo + q;
      const double zj = coef[start[k] + q];
      for (std::size_t i = (j > 3 ? j - 3 : 0); i < n && i <= j + 3; ++i) y[i] += m.at(i, j) * zj;
    }
    for (std::size_t l = k; l < columns && l <= k + w; ++l) {
      if (first[l] >= y_hi) break;
      double sum = 0;
      for (std::size_t q = start[l]; q < start[l + 1]; ++q) {
        const std::size_t i = first[l] + (q - start[l]);
        if (i >= y_lo && i < y_hi) sum += coef[q] * y[i];
      }
      out.upper(k, l) = sum;
    }
    std::fill(y.begin() + static_cast<std::ptrdiff_t>(y_lo), y.begin() + static_cast<std::ptrdiff_t>(y_hi), 0.0);
  }
  return out;
}

}  // namespace velarix::smoothing
