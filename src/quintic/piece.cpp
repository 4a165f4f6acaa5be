#include "quintic/piece.hpp"

#include "repeated.hpp"

namespace velarix::quintic {
namespace {

// The coefficients of the half about end e (near) in powers of tau, from the
// scaled gaps P = h p and curvatures B = h^2 a, with sigma = +1 about the
// left end and -1 about the right one (the right half is the left half of
// the mirrored piece, whose ends swap and whose odd powers change sign):
//   c0 = y_e,  c1 = dy - sigma P_near,  c2 = B_near / 2,
//   c3 = sigma ((6 P_near - 4 P_far) - (3/2 B_near - 1/2 B_far)),
//   c4 = (7 P_far - 8 P_near) + (3/2 B_near - B_far),
//   c5 = sigma ((3 P_near - 3 P_far) - (1/2 B_near - 1/2 B_far)).
// 1 when x is nearer the right end than the left, from its distances to
// both: a knot itself always takes its own end (x0 + h / 2 rounded could
// fall on an end), and a NaN abscissa the left one, where it stays NaN.
inline int nearer_right(double from_left, double to_right) {
  return from_left > to_right ? 1 : 0;
}

template <class T>
struct Coefficients {
  T c0, c1, c2, c3, c4, c5;
};

template <class T>
Coefficients<T> coefficients(T y, T dy, T sigma, T near_gap, T far_gap, T near_bend, T far_bend) {
  return {y,
          dy - sigma * near_gap,
          0.5 * near_bend,
          sigma * ((6 * near_gap - 4 * far_gap) - (1.5 * near_bend - 0.5 * far_bend)),
          (7 * far_gap - 8 * near_gap) + (1.5 * near_bend - far_bend),
          sigma * ((3 * near_gap - 3 * far_gap) - (0.5 * near_bend - 0.5 * far_bend))};
}

}  // namespace

// Both lanes' halves: the end each abscissa is nearer to, its tau, 1 / h
// and the coefficients.
struct QuinticPiece::Lanes {
  Pair tau;
  Pair inv_h;
  Coefficients<Pair> c;

  Lanes(const QuinticPiece& a, const QuinticPiece& b, Pair x) {
    const Pair x0{a.x_[0], b.x_[0]};
    const Pair h = Pair{a.x_[1], b.x_[1]} - x0;
    const Pair from_left = x - x0;
    const Pair to_right = Pair{a.x_[1], b.x_[1]} - x;
    const int ea = nearer_right(from_left[0], to_right[0]);
    const int eb = nearer_right(from_left[1], to_right[1]);
    inv_h = 1 / h;
    tau = (x - Pair{a.x_[ea], b.x_[eb]}) * inv_h;
    const Pair dy = Pair{a.y_[1], b.y_[1]} - Pair{a.y_[0], b.y_[0]};
    const Pair sigma{ea == 0 ? 1.0 : -1.0, eb == 0 ? 1.0 : -1.0};
    c = coefficients(Pair{a.y_[ea], b.y_[eb]}, dy, sigma, Pair{a.gap_[ea], b.gap_[eb]},
                     Pair{a.gap_[1 - ea], b.gap_[1 - eb]}, Pair{a.bend_[ea], b.bend_[eb]},
                     Pair{a.bend_[1 - ea], b.bend_[1 - eb]});
  }
};

Pair QuinticPiece::value_pair(const QuinticPiece& a, const QuinticPiece& b, Pair x) {
  const Lanes at(a, b, x);
  const Pair t = at.tau;
  const Coefficients<Pair>& c = at.c;
  return c.c0 + t * (c.c1 + t * (c.c2 + t * (c.c3 + t * (c.c4 + t * c.c5))));
}

// S' = (c1 + 2 c2 tau + 3 c3 tau^2 + 4 c4 tau^3 + 5 c5 tau^4) / h
Pair QuinticPiece::first_derivative_pair(const QuinticPiece& a, const QuinticPiece& b, Pair x) {
  const Lanes at(a, b, x);
  const Pair t = at.tau;
  const Coefficients<Pair>& c = at.c;
  const Pair slope = c.c1 + t * (2 * c.c2 + t * (3 * c.c3 + t * (4 * c.c4 + t * (5 * c.c5))));
  return slope * at.inv_h;
}

// S'' = (2 c2 + 6 c3 tau + 12 c4 tau^2 + 20 c5 tau^3) / h^2, divided by h
// twice so that 1/h^2 cannot overflow where 1/h does not.
Pair QuinticPiece::second_derivative_pair(const QuinticPiece& a, const QuinticPiece& b, Pair x) {
  const Lanes at(a, b, x);
  const Pair t = at.tau;
  const Coefficients<Pair>& c = at.c;
  const Pair bend = 2 * c.c2 + t * (6 * c.c3 + t * (12 * c.c4 + t * (20 * c.c5)));
  return (bend * at.inv_h) * at.inv_h;
}

// S''' = (6 c3 + 24 c4 tau + 60 c5 tau^2) / h^3, divided by h three times as
// S'' is.
Pair QuinticPiece::third_derivative_pair(const QuinticPiece& a, const QuinticPiece& b, Pair x) {
  const Lanes at(a, b, x);
  const Pair t = at.tau;
  const Coefficients<Pair>& c = at.c;
  const Pair change = 6 * c.c3 + t * (24 * c.c4 + t * (60 * c.c5));
  return ((change * at.inv_h) * at.inv_h) * at.inv_h;
}

// int_{x_e}^{x} S = h tau (c0 + tau (c1/2 + tau (c2/3 + tau (c3/4 + tau (c4/5 + tau c5/6))))),
// and over the whole piece, from the Hermite data at its ends,
//   int_0^1 S dt = (y0 + y1)/2 + (S_t(0) - S_t(1))/10 + (S_tt(0) + S_tt(1))/120
//                = (y0 + y1)/2 - (P0 + P1)/10 + (B0 + B1)/120;
// the right half adds its part (tau <= 0) to the whole.
double QuinticPiece::antiderivative(double x) const {
  const double h = x_[1] - x_[0];
  const int e = nearer_right(x - x_[0], x_[1] - x);
  const double t = (x - x_[e]) * (1 / h);
  const Coefficients<double> c =
      coefficients(y_[e], y_[1] - y_[0], e == 0 ? 1.0 : -1.0, gap_[e], gap_[1 - e], bend_[e],
                   bend_[1 - e]);
  const double inner =
      c.c0 + t * (0.5 * c.c1 + t * (c.c2 * (1.0 / 3) +
                                    t * (0.25 * c.c3 + t * (c.c4 * 0.2 + t * (c.c5 * (1.0 / 6))))));
  const double part = h * (t * inner);
  if (e == 0) return part;
  const double whole = 0.5 * (y_[0] + y_[1]) - (gap_[0] + gap_[1]) / 10 + (bend_[0] + bend_[1]) / 120;
  return h * whole + part;
}

// With J_n the n-fold integral from the end e in powers of tau,
//   J_n = h^n sum_i c_i i! / (i + n)! tau^(i + n),
// the half about x0 is J_n itself; the half about x1 continues the integrals
// at x1 by Taylor's formula, I_n(x) = sum_(j < n) I_(n-j)(x1) (x - x1)^j / j!
// + J_n(x), the whole-piece integrals I_m(x1) from the left half at tau = 1
// (the first as antiderivative gives it).
double QuinticPiece::repeated_integral(const Primitive&, int n, double x) const {
  if (n == 1) return antiderivative(x);
  const double h = x_[1] - x_[0];
  const double dy = y_[1] - y_[0];
  const auto powers = [](const Coefficients<double>& c) {
    return std::array<double, 6>{c.c0, c.c1, c.c2, c.c3, c.c4, c.c5};
  };
  const auto h_power = [h](int m) {
    double power = 1;
    for (int k = 0; k < m; ++k) power *= h;
    return power;
  };
  const int e = nearer_right(x - x_[0], x_[1] - x);
  const double t = (x - x_[e]) * (1 / h);
  const auto near = powers(coefficients(y_[e], dy, e == 0 ? 1.0 : -1.0, gap_[e], gap_[1 - e],
                                        bend_[e], bend_[1 - e]));
  const double local = h_power(n) * integrated_powers(near.data(), 6, n, t);
  if (e == 0) return local;
  const auto left = powers(coefficients(y_[0], dy, 1.0, gap_[0], gap_[1], bend_[0], bend_[1]));
  double at_right[highest_antiderivative] = {};
  for (int j = 0; j < n; ++j) {
    const int m = n - j;
    at_right[j] = m == 1 ? antiderivative(x_[1])
                         : h_power(m) * integrated_powers(left.data(), 6, m, 1.0);
  }
  return taylor(at_right, n, x - x_[1]) + local;
}

}  // namespace velarix::quintic
