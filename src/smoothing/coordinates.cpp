#include "smoothing/coordinates.hpp"

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
  // The columns of T are the curves of the unit coordinates.
  transform_.assign(k * k, 0.0);
  Doubles unit(k, 0.0);
  for (std::size_t col = 0; col < k; ++col) {
    unit[col] = 1;
    const Doubles c = curve(unit).c;
    unit[col] = 0;
    for (std::size_t row = 0; row < k; ++row) transform_[row * k + col] = c[row];
  }
  build_penalty(basis);
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

// Curvature coordinates: integral S''^2 = a^T G1 a with a = m beta[2..], and
// m^2 = 1. Slope coordinates: a = E d with E_{j,j} = -1/e_j, E_{j,j+1} =
// 1/e_j, so the block is E^T G1 E, pentadiagonal.
void Coordinates::build_penalty(const Basis& basis) {
  const std::size_t k = size();
  Doubles diagonal;
  Doubles upper;
  basis.hat_gram(diagonal, upper);
  penalty_.assign(k * k, 0.0);
  auto add = [&](std::size_t i, std::size_t j, double value) { penalty_[i * k + j] += value; };
  if (kind_ != Kind::slopes) {
    for (std::size_t j = 0; j < diagonal.size(); ++j) add(j + 2, j + 2, diagonal[j]);
    for (std::size_t j = 0; j < upper.size(); ++j) {
      add(j + 2, j + 3, upper[j]);
      add(j + 3, j + 2, upper[j]);
    }
    return;
  }
  const std::span<const double> e = basis.curvature_steps();
  // Row j of E as (column, entry) pairs over the d's, which sit at beta[1..].
  auto row = [&](std::size_t j, std::size_t r) { return r == 0 ? -1 / e[j] : 1 / e[j]; };
  auto gram = [&](std::size_t j, std::size_t l) {
    if (j == l) return diagonal[j];
    return upper[j < l ? j : l];
  };
  const std::size_t rows = e.size();
  for (std::size_t j = 0; j < rows; ++j) {
    for (std::size_t l = (j > 0 ? j - 1 : 0); l < rows && l <= j + 1; ++l) {
      const double g = gram(j, l);
      for (std::size_t r = 0; r < 2; ++r) {
        for (std::size_t q = 0; q < 2; ++q) add(1 + j + r, 1 + l + q, g * row(j, r) * row(l, q));
      }
    }
  }
}

}  // namespace velarix::smoothing
