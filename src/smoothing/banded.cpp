#include "smoothing/banded.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace velarix::smoothing {
namespace {

bool usable_pivot(double pivot) { return pivot > 0 && pivot <= 1.7e308; }

}  // namespace

double Band::trace() const {
  double sum = 0;
  for (std::size_t i = 0; i < size; ++i) sum += upper(i, i);
  return sum;
}

void multiply(const Band& m, std::span<const double> x, std::span<double> out) {
  const std::size_t n = m.size;
  const std::size_t w = m.width;
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n), 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double* row = &m.data[(w + 1) * i];
    double sum = row[0] * x[i];
    for (std::size_t d = 1; d <= w && i + d < n; ++d) {
      sum += row[d] * x[i + d];
      out[i + d] += row[d] * x[i];
    }
    out[i] += sum;
  }
}

// Row by row, each row's sum held in extended precision (no array of them):
// row i meets x_j for j = i - w .. i + w, the entries left of the diagonal
// read from the rows above, G's terms first and then lam times each of P's.
void residual(const Band& g, const Band& p, double lam, std::span<const double> q,
              std::span<const double> x, std::span<const double> x_p, std::span<double> out) {
  const std::size_t n = g.size;
  auto add_row = [n](long double& sum, const Band& m, long double factor, std::size_t i,
                     std::span<const double> xs) {
    const std::size_t w = m.width;
    for (std::size_t j = i > w ? i - w : 0; j < i; ++j) {
      sum += factor * (static_cast<long double>(m.data[(w + 1) * j + (i - j)]) * xs[j]);
    }
    const double* row = &m.data[(w + 1) * i];
    for (std::size_t d = 0; d <= w && i + d < n; ++d) {
      sum += factor * (static_cast<long double>(row[d]) * xs[i + d]);
    }
  };
  const long double factor = static_cast<long double>(lam);
  for (std::size_t i = 0; i < n; ++i) {
    long double sum = 0.0L;
    add_row(sum, g, 1.0L, i, x);
    add_row(sum, p, factor, i, x_p);
    out[i] = static_cast<double>(q[i] - sum);
  }
}

double quadratic(const Band& m, std::span<const double> x) {
  const std::size_t n = m.size;
  const std::size_t w = m.width;
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double* row = &m.data[(w + 1) * i];
    double off = 0;
    for (std::size_t d = 1; d <= w && i + d < n; ++d) off += row[d] * x[i + d];
    sum += x[i] * (row[0] * x[i] + 2 * off);
  }
  return sum;
}

double bilinear(const Band& m, std::size_t offset, std::span<const double> x,
                std::span<const double> y) {
  const std::size_t n = m.size - offset;
  const std::size_t w = m.width;
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double* row = &m.data[(w + 1) * (i + offset)];
    double right = row[0] * y[i];
    double left = 0;
    for (std::size_t d = 1; d <= w && i + d < n; ++d) {
      right += row[d] * y[i + d];
      left += row[d] * x[i + d];
    }
    sum += x[i] * right + y[i] * left;
  }
  return sum;
}

// U_ii = sqrt(A_ii - sum_k U_ki^2), U_ij = (A_ij - sum_k U_ki U_kj) / U_ii, the
// sums over the rows k < i within the band of both.
bool BandFactor::factor(const Band& g, const Band& p, double lam, std::size_t offset) {
  const std::size_t n = g.size - offset;
  const std::size_t w = g.width;
  if (u_.size != n || u_.width != w) {
    u_.size = n;
    u_.width = w;
    u_.data.resize((w + 1) * n);
  }
  const std::size_t pw = p.width;
  for (std::size_t i = 0; i < n; ++i) {
    double* row = &u_.data[(w + 1) * i];
    const double* gi = &g.data[(w + 1) * (i + offset)];
    const double* pi = &p.data[(pw + 1) * (i + offset)];
    if (w == 3 && pw == 3 && i >= 3 && i + 3 < n) {
      // The rows with a whole band on both sides, at the cubic basis's width,
      // spelt out: the same operations in the same order as the loops.
      for (std::size_t d = 0; d <= 3; ++d) row[d] = gi[d] + lam * pi[d];
      const double* a3 = row - 12;  // row i - 3
      const double* a2 = row - 8;
      const double* a1 = row - 4;
      if (a3[3] != 0) row[0] -= a3[3] * a3[3];
      if (a2[2] != 0) {
        row[0] -= a2[2] * a2[2];
        row[1] -= a2[2] * a2[3];
      }
      if (a1[1] != 0) {
        row[0] -= a1[1] * a1[1];
        row[1] -= a1[1] * a1[2];
        row[2] -= a1[1] * a1[3];
      }
      if (!usable_pivot(row[0])) return false;
      const double pivot = std::sqrt(row[0]);
      row[0] = pivot;
      row[1] /= pivot;
      row[2] /= pivot;
      row[3] /= pivot;
      continue;
    }
    for (std::size_t d = 0; d <= w; ++d) {
      row[d] = d < w + 1 && i + d < n ? gi[d] + (d <= pw ? lam * pi[d] : 0.0) : 0.0;
    }
    // Subtract the rows above: U_ki U_k(i+d) for k = i - w .. i - 1.
    const std::size_t first = i > w ? i - w : 0;
    for (std::size_t k = first; k < i; ++k) {
      const double* above = &u_.data[(w + 1) * k];
      const std::size_t at = i - k;  // U_ki is above[at]
      const double uki = above[at];
      if (uki == 0) continue;
      for (std::size_t d = 0; at + d <= w; ++d) row[d] -= uki * above[at + d];
    }
    if (!usable_pivot(row[0])) return false;
    const double pivot = std::sqrt(row[0]);
    row[0] = pivot;
    for (std::size_t d = 1; d <= w; ++d) row[d] /= pivot;
  }
  return true;
}

void BandFactor::solve(std::span<double> x) const {
  const std::size_t n = u_.size;
  const std::size_t w = u_.width;
  const double* u = u_.data.data();
  if (w == 3 && n >= 4) {
    // The cubic basis's own width, spelt out: the same operations in the
    // same order as the loops below.
    double* v = x.data();
    for (std::size_t i = 0; i + 3 < n; ++i) {
      const double* row = u + 4 * i;
      const double yi = v[i] / row[0];
      v[i] = yi;
      v[i + 1] -= row[1] * yi;
      v[i + 2] -= row[2] * yi;
      v[i + 3] -= row[3] * yi;
    }
    for (std::size_t i = n - 3; i < n; ++i) {
      const double yi = v[i] / u[4 * i];
      v[i] = yi;
      for (std::size_t d = 1; i + d < n; ++d) v[i + d] -= u[4 * i + d] * yi;
    }
    for (std::size_t i = n; i-- > n - 3;) {
      const double* row = &u[4 * i];
      double sum = v[i];
      for (std::size_t d = 1; i + d < n; ++d) sum -= row[d] * v[i + d];
      v[i] = sum / row[0];
    }
    for (std::size_t i = n - 3; i-- > 0;) {
      const double* row = u + 4 * i;
      v[i] = (((v[i] - row[1] * v[i + 1]) - row[2] * v[i + 2]) - row[3] * v[i + 3]) / row[0];
    }
    return;
  }
  // U^T y = x, then U x = y.
  for (std::size_t i = 0; i < n; ++i) {
    const double yi = x[i] / u[(w + 1) * i];
    x[i] = yi;
    for (std::size_t d = 1; d <= w && i + d < n; ++d) x[i + d] -= u[(w + 1) * i + d] * yi;
  }
  for (std::size_t i = n; i-- > 0;) {
    const double* row = &u[(w + 1) * i];
    double sum = x[i];
    for (std::size_t d = 1; d <= w && i + d < n; ++d) sum -= row[d] * x[i + d];
    x[i] = sum / row[0];
  }
}

void BandFactor::solve_upper(std::span<double> x) const {
  const std::size_t n = u_.size;
  const std::size_t w = u_.width;
  for (std::size_t i = n; i-- > 0;) {
    const double* row = &u_.data[(w + 1) * i];
    double sum = x[i];
    for (std::size_t d = 1; d <= w && i + d < n; ++d) sum -= row[d] * x[i + d];
    x[i] = sum / row[0];
  }
}

namespace {

// row[1] a1 + row[2] a2 + row[3] a3, summed from 0 in that order, as the
// loops over a band row of width 3 sum it.
double off_diagonal_sum(const double* row, double a1, double a2, double a3) {
  double sum = 0;
  sum += row[1] * a1;
  sum += row[2] * a2;
  sum += row[3] * a3;
  return sum;
}

}  // namespace

double BandFactor::trace_with(const Band& m, std::size_t offset) const {
  const std::size_t n = u_.size;
  const std::size_t w = u_.width;
  const std::size_t slots = w + 1;
  // Rows i .. i + w of A^-1 within the band, row r at slot r % slots:
  // window_[slots * slot + d] = (A^-1)_(r, r + d).
  window_.assign(slots * slots, 0.0);
  auto inverse = [&](std::size_t k, std::size_t j) {  // k, j within the window
    const std::size_t lo = std::min(k, j);
    return window_[slots * (lo % slots) + (std::max(k, j) - lo)];
  };
  const std::size_t mw = m.width;
  double trace = 0;
  for (std::size_t i = n; i-- > 0;) {
    const double* row = &u_.data[(w + 1) * i];
    double* out = &window_[slots * (i % slots)];
    const std::size_t reach = std::min(w, n - 1 - i);
    if (w == 3 && reach == 3 && mw == 3) {
      // The rows with the whole band below them, at the cubic basis's width,
      // spelt out: the same operations in the same order as the loops.
      const double* r1 = &window_[4 * ((i + 1) % 4)];  // (A^-1)_(i+1, i+1+d)
      const double* r2 = &window_[4 * ((i + 2) % 4)];
      const double* r3 = &window_[4 * ((i + 3) % 4)];
      out[3] = -off_diagonal_sum(row, r1[2], r2[1], r3[0]) / row[0];
      out[2] = -off_diagonal_sum(row, r1[1], r2[0], r2[1]) / row[0];
      out[1] = -off_diagonal_sum(row, r1[0], r1[1], r1[2]) / row[0];
      out[0] = (1 / row[0] - off_diagonal_sum(row, out[1], out[2], out[3])) / row[0];
      const double* mi = &m.data[4 * (i + offset)];
      double term = out[0] * mi[0];
      term += 2 * out[1] * mi[1];
      term += 2 * out[2] * mi[2];
      term += 2 * out[3] * mi[3];
      trace += term;
      continue;
    }
    for (std::size_t d = reach; d >= 1; --d) {
      double sum = 0;
      for (std::size_t e = 1; e <= reach; ++e) sum += row[e] * inverse(i + e, i + d);
      out[d] = -sum / row[0];
    }
    for (std::size_t d = reach + 1; d <= w; ++d) out[d] = 0;
    double sum = 0;
    for (std::size_t e = 1; e <= reach; ++e) sum += row[e] * out[e];
    out[0] = (1 / row[0] - sum) / row[0];
    const double* mi = &m.data[(mw + 1) * (i + offset)];
    double term = out[0] * mi[0];
    for (std::size_t d = 1; d <= std::min(reach, mw); ++d) term += 2 * out[d] * mi[d];
    trace += term;
  }
  return trace;
}

}  // namespace velarix::smoothing
