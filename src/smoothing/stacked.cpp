#include "smoothing/stacked.hpp"

#include <algorithm>
#include <cmath>

namespace velarix::smoothing {
namespace {

// Rotates the row x (entries at columns first .. first + 3, right-hand side
// y) into the upper band r (width 3) with right-hand sides d: each nonzero
// leading entry is rotated against the band's row of its column, or fills
// that row when it is still empty. Rows taken in the order of their first
// column never reach past the band's filled part, so a row costs at most
// four rotations.
void rotate_in(Band& r, Doubles& d, std::size_t first, double x[4], double y) {
  const std::size_t k = r.size;
  for (std::size_t j = first; j < k; ++j) {
    double* row = &r.data[4 * j];
    if (x[0] != 0) {
      if (row[0] == 0 && row[1] == 0 && row[2] == 0 && row[3] == 0) {
        for (int l = 0; l < 4; ++l) row[l] = j + l < k ? x[l] : 0.0;
        d[j] = y;
        return;
      }
      const double a = row[0];
      const double b = x[0];
      const double h = std::sqrt(a * a + b * b);
      const double c = a / h;
      const double s = b / h;
      for (int l = 0; l < 4; ++l) {
        const double rl = row[l];
        row[l] = c * rl + s * x[l];
        x[l] = c * x[l] - s * rl;
      }
      const double dj = d[j];
      d[j] = c * dj + s * y;
      y = c * y - s * dj;
    }
    x[0] = x[1], x[1] = x[2], x[2] = x[3], x[3] = 0;
    if (x[0] == 0 && x[1] == 0 && x[2] == 0) return;
  }
}

}  // namespace

DataFactor factor_data(const Basis& basis, const Data& data, const Units& units,
                       std::span<const double> weights) {
  const std::size_t k = basis.size();
  DataFactor out;
  out.r = Band(k, 3);
  out.d.assign(k, 0.0);
  for_each_point(basis, data, units, [&](std::size_t i, std::size_t segment, double u) {
    const double omega = weights.empty() ? units.omega(data.weight(i)) : weights[i];
    if (omega == 0) return;
    double b[4];
    basis.values(segment, u, b);
    const double root = std::sqrt(omega);
    double x[4] = {root * b[0], root * b[1], root * b[2], root * b[3]};
    rotate_in(out.r, out.d, segment, x, root * units.v(data.y[i]));
  });
  out.usable = true;
  return out;
}

bool factor_stacked(const Basis& basis, const DataFactor& data, double lam, BandFactor& factor,
                    std::span<double> z) {
  const std::size_t k = basis.size();
  Band& r = factor.rows();
  r.size = k;
  r.width = 3;
  r.data.assign(4 * k, 0.0);
  Doubles d(k, 0.0);
  const std::span<const double> tau = basis.breakpoints();
  const std::span<const double> curvature = basis.curvature_steps();
  const std::size_t rows = curvature.size();
  // U of the hat functions' Gram matrix (h/3 from each side on the
  // diagonal, h/6 beside it), row by row.
  auto gram_diagonal = [&](std::size_t j) {
    double diagonal = 0;
    if (j > 0) diagonal += (tau[j] - tau[j - 1]) / 3;
    if (j + 1 < rows) diagonal += (tau[j + 1] - tau[j]) / 3;
    return diagonal;
  };
  const double root = std::sqrt(lam);
  double carried = 0;  // U_{j-1,j}^2
  for (std::size_t j = 0; j < k; ++j) {
    double x[4];
    for (int l = 0; l < 4; ++l) x[l] = data.r.data[4 * j + l];
    rotate_in(r, d, j, x, data.d[j]);
    if (j >= rows) continue;
    const double pivot = gram_diagonal(j) - carried;
    if (!(pivot > 0)) return false;
    const double ujj = std::sqrt(pivot);
    const double ujn = j + 1 < rows ? (tau[j + 1] - tau[j]) / 6 / ujj : 0.0;
    carried = ujn * ujn;
    double a[3];
    double b[3] = {0, 0, 0};
    basis.curvature_row(j, a);
    if (j + 1 < rows) basis.curvature_row(j + 1, b);
    double p[4] = {root * (ujj * a[0]), root * (ujj * a[1] + ujn * b[0]),
                   root * (ujj * a[2] + ujn * b[1]), root * (ujn * b[2])};
    rotate_in(r, d, j, p, 0.0);
  }
  for (std::size_t j = 0; j < k; ++j) {
    double* row = &r.data[4 * j];
    if (!(std::fabs(row[0]) > 0 && std::isfinite(row[0]))) return false;
    if (row[0] < 0) {
      for (int l = 0; l < 4; ++l) row[l] = -row[l];
      d[j] = -d[j];
    }
  }
  std::copy(d.begin(), d.end(), z.begin());
  factor.solve_upper(z);
  for (std::size_t i = 0; i < k; ++i) {
    if (!std::isfinite(z[i])) return false;
  }
  return true;
}

}  // namespace velarix::smoothing
