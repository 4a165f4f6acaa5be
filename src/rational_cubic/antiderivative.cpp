// The integral of a rational cubic piece from its left knot: the partial
// fractions of P/Q, arranged so that no large terms cancel.
//
// Q(t) = q0 + q1 t + q2 t^2 with q0 = u > 0, q2 = -w <= 0 and Q(1) = v > 0 has
// one root -alpha < 0 and one 1 + beta > 1 (when w > 0), so that
//   Q = u (1 + a t)(1 - g t),  a = 1 / alpha,  g = 1 / (1 + beta),
// and a or g is 0 when w = 0. Three things can go wrong, and each has its form:
// - a pole far from the interval (alpha or beta large: small w, or u and v
//   far apart) has a partial fraction with a coefficient of the order of
//   alpha^2 times the piece's values, whose logarithm cancels against the
//   polynomial part; such a factor is expanded in powers of s = t - 1/2
//   instead, where its ratio is at most 0.42 once the pole is beyond 0.7
//   interval widths;
// - for large w both poles crowd the ends (alpha ~ u/w, beta ~ v/w) and the
//   coefficients of P are of the order of w times the values while
//   P(1) = v Y1 is not: the residue at 1 + beta is taken from the Taylor
//   coefficients of P at 1, each summed without rounding error, so that it
//   keeps its accuracy;
// - the roots come from the stable forms of the quadratic formula, whose
//   discriminants are sums of non-negative terms, and v = Q(1) and Q'(1) are
//   summed without rounding error, since q1 and q2 nearly cancel there.
#include <cmath>

#include "rational_cubic/piece.hpp"

#include "repeated.hpp"

namespace velarix::rational_cubic {
namespace {

// A pole within this many interval widths of its end gets a logarithm. The
// residue of a nearer pole stays of the order of the piece's values; at one
// width it can be twenty times the integral (measured: 12 to 21 ulps), at 0.7
// a few. The default shape u = v puts both poles of every fitted piece
// within 0.62 widths (w >= sqrt(u v)), so those keep the two logarithms.
constexpr double near_pole = 0.7;

// Terms of the series of a far factor: its ratio on |s| <= 1/2 is at most
// 1 / (1 + 2 * near_pole) = 0.42, and with both factors far term k is below
// (k + 1) 0.42^k of the piece's size, under 2^-60 from k = 52.
constexpr int series_terms = 52;

// A sum carried as a double and its rounding error (Knuth's two-sum), so
// that a sum of large terms with a small result is rounded once.
class ExactSum {
 public:
  ExactSum& add(double x) {
    const double s = hi_ + x;
    const double back = s - hi_;
    lo_ += (hi_ - (s - back)) + (x - back);
    hi_ = s;
    return *this;
  }
  double value() const { return hi_ + lo_; }

 private:
  double hi_ = 0;
  double lo_ = 0;
};

using Kind = RationalCubicPiece::Primitive::Kind;

struct Poles {
  double alpha;  // -alpha is the left root of Q
  double beta;   // 1 + beta is the right root
  double a;      // 1 / alpha, 0 without a left root
  double g;      // 1 / (1 + beta), 0 without a right root
};

// Q = u + q1 t - w t^2 with Q(1) = v and Q'(1) = slope.
Poles poles(double u, double v, double w, double q1, double slope) {
  // w alpha^2 + q1 alpha - u = 0 and w beta^2 - Q'(1) beta - v = 0, each
  // solved by the form that adds numbers of one sign.
  const double root = std::sqrt(q1 * q1 + 4 * (u * w));
  const double alpha = q1 >= 0 ? 2 * u / (q1 + root) : (root - q1) / (2 * w);
  const double root_right = std::sqrt(slope * slope + 4 * (v * w));
  const double beta = slope <= 0 ? 2 * v / (root_right - slope) : (slope + root_right) / (2 * w);
  return {alpha, beta, 1 / alpha, 1 / (1 + beta)};
}

double horner(const double (&c)[4], double t) { return c[0] + t * (c[1] + t * (c[2] + t * c[3])); }

// P(1 + beta) from the Taylor coefficients of P at 1, each summed exactly:
// for large w they are sums of terms of the order of w that nearly cancel.
double at_right_pole(const RationalCubicPiece& p, double beta) {
  const double t0 = ExactSum().add(p.p0).add(p.p1).add(p.p2).add(p.p3).value();
  // 3 p3 as p3 + 2 p3: doubling is exact, so every term enters unrounded.
  const double t1 = ExactSum().add(p.p1).add(2 * p.p2).add(p.p3).add(2 * p.p3).value();
  const double t2 = ExactSum().add(p.p2).add(p.p3).add(2 * p.p3).value();
  return t0 + beta * (t1 + beta * (t2 + beta * p.p3));
}

// sum_k e_k s^(k+1) / (k + 1), where sum_k e_k s^k is the product of the
// cubic c[2..5] (in powers of s) and 1 / ((1 + c[6] s)(1 - c[7] s)).
double series(const double (&c)[8], double s) {
  constexpr int count = series_terms + 4;
  double factor[count];
  factor[0] = 1;
  double left = 1;
  for (int j = 1; j < count; ++j) {
    left *= -c[6];
    factor[j] = c[7] * factor[j - 1] + left;
  }
  double sum = 0;
  for (int k = count - 1; k >= 0; --k) {
    double e = 0;
    for (int i = 0; i <= 3 && i <= k; ++i) e += c[2 + i] * factor[k - i];
    sum = s * (e / (k + 1) + sum);
  }
  return sum;
}

// The coefficients e_k of the series above, k < count.
void far_coefficients(const double (&c)[8], double* e, int count) {
  double factor[series_terms + 4];
  factor[0] = 1;
  double left = 1;
  for (int j = 1; j < count; ++j) {
    left *= -c[6];
    factor[j] = c[7] * factor[j - 1] + left;
  }
  for (int k = 0; k < count; ++k) {
    e[k] = 0;
    for (int i = 0; i <= 3 && i <= k; ++i) e[k] += c[2 + i] * factor[k - i];
  }
}

// The n-fold integral from t = 0 of c / (1 + c t), whose first is
// log1p(c t): with W = 1 + c t, s = t - tau and w = 1 + c tau,
//   int_0^t s^(n-1) / (n-1)! c / w dtau = int_1^W (W - w)^(n-1) / w dw / (c^(n-1) (n-1)!)
//   = (W^(n-1) log W + sum_(1 <= j < n) C(n-1, j) W^(n-1-j) (-1)^j (W^j - 1) / j)
//     / (c^(n-1) (n-1)!).
double integrated_pole(double c, int n, double t) {
  const double w = 1 + c * t;
  double sum = std::pow(w, n - 1) * std::log1p(c * t);
  double binomial = 1;
  for (int j = 1; j < n; ++j) {
    binomial = binomial * (n - j) / j;
    const double sign = j % 2 == 0 ? 1.0 : -1.0;
    sum += binomial * std::pow(w, n - 1 - j) * sign * (std::pow(w, j) - 1) / j;
  }
  return sum * inverse_factorial[n - 1] / std::pow(c, n - 1);
}

// The coefficients of m(1/2 + s), for a cubic m given in powers of t.
void shift_to_middle(double (&m)[4]) {
  for (int i = 0; i < 3; ++i) {
    for (int j = 2; j >= i; --j) m[j] += 0.5 * m[j + 1];
  }
}

}  // namespace

namespace {

// The primitive of P/Q for the power-form coefficients of `piece`, with the
// poles of its Q and P's values there: the residues, taken from wherever P
// is known best.
RationalCubicPiece::Primitive rational_primitive(const RationalCubicPiece& piece,
                                                 const Poles& roots, double left, double right) {
  const auto& [p0, p1, p2, p3, x_left, h, q0, q1, q2] = piece;
  RationalCubicPiece::Primitive out{x_left, h, {0, 0}, {}, 0, Kind::near_both};
  const double u = q0;
  const auto [alpha, beta, a, g] = roots;
  const bool near_left = alpha <= near_pole;
  const bool near_right = beta <= near_pole;
  double* c = out.c;
  if (near_left && near_right) {
    // P/Q = A(t) + C_a / (1 + a t) + C_g / (1 - g t), A linear, the residues
    // C_a = P(-alpha) / (u (1 + g alpha)) and C_g = P(1 + beta) / (u (1 + a (1 + beta))).
    const double a1 = p3 / q2;
    const double a0 = (p2 - a1 * q1) / q2;
    out.poly[0] = a0;
    out.poly[1] = a1 / 2;
    c[0] = left * alpha / (u * (1 + g * alpha));
    c[1] = a;
    c[2] = -(right * (1 + beta) / (u * (1 + a * (1 + beta))));
    c[3] = -g;
    return out;
  }
  // One near pole at most: divide P by its factor, P = (factor) D + r; the
  // remainder splits between the near pole's logarithm and the far part
  // M / (far factors), M = D + (share of r), expanded about t = 1/2.
  double m[4] = {p0, p1, p2, p3};
  double scale = u;
  if (near_left) {
    // (1 + t / alpha)(d0 + d1 t + d2 t^2) + r, r = P(-alpha).
    const double d2 = p3 * alpha;
    const double d1 = (p2 - d2) * alpha;
    const double d0 = (p1 - d1) * alpha;
    const double r = left;
    const double share = g * alpha / (1 + g * alpha);
    c[0] = r * alpha / (u * (1 + g * alpha));
    c[1] = a;
    m[0] = d0 + r * share;
    m[1] = d1;
    m[2] = d2;
    m[3] = 0;
    out.kind = Kind::near_left;
  } else if (near_right) {
    // (1 - t / b)(d0 + d1 t + d2 t^2) + r with b = 1 + beta, r = P(b).
    const double b = 1 + beta;
    const double d2 = -p3 * b;
    const double d1 = (d2 - p2) * b;
    const double d0 = (d1 - p1) * b;
    const double r = right;
    const double share = a * b / (1 + a * b);
    c[0] = -(r * b / (u * (1 + a * b)));
    c[1] = -g;
    m[0] = d0 + r * share;
    m[1] = d1;
    m[2] = d2;
    m[3] = 0;
    out.kind = Kind::near_right;
  } else {
    out.kind = Kind::far_both;
  }
  // A far factor about the middle: 1 + a t = (1 + a/2)(1 + a_s s) and
  // 1 - g t = (1 - g/2)(1 - g_s s).
  if (!near_left) scale *= 1 + a / 2;
  if (!near_right) scale *= 1 - g / 2;
  c[6] = near_left ? 0 : a / (1 + a / 2);
  c[7] = near_right ? 0 : g / (1 - g / 2);
  shift_to_middle(m);
  for (int i = 0; i < 4; ++i) c[2 + i] = m[i] / scale;
  out.start = series(out.c, -0.5);
  return out;
}

}  // namespace

// The power form: P/Q as stored. Q(1) = v and Q'(1) are summed exactly, as
// q1 and q2 nearly cancel there for large w.
// The chord form: S = Y0 + t dY + t (1 - t)(a + t (b - a)) / Q with
// Q = u + (v - u + w) t - w t^2, the chord integrated directly and the
// correction, a cubic over Q with coefficients of the size of a and b, as
// above, with u, v and w taken exactly from the fields.
RationalCubicPiece::Primitive RationalCubicPiece::primitive() const {
  if (!chord_form()) {
    const double v = ExactSum().add(q0).add(q1).add(q2).value();
    const double slope = ExactSum().add(q1).add(q2).add(q2).value();
    const Poles roots = poles(q0, v, 0 - q2, q1, slope);
    // P(1 + beta) from the exactly summed Taylor coefficients at 1: for
    // large w the power coefficients are of size w |Y| and cancel there.
    return rational_primitive(*this, roots, horner({p0, p1, p2, p3}, -roots.alpha),
                              at_right_pole(*this, roots.beta));
  }
  const double a = p2;
  const double b = p3;
  const double u = q0;
  const double v = q1;
  const double w = q2;
  const RationalCubicPiece correction{0, a, b - 2 * a, a - b, x_left, h, u, (v - u) + w, -w};
  const Poles roots = poles(u, v, w, (v - u) + w, (v - u) - w);
  // The cubic t (1 - t) c(t) at the poles in its factored form: its power
  // coefficients, rounded, would not vanish at t = 1 as it does.
  const double alpha = roots.alpha;
  const double beta = roots.beta;
  const double left = -alpha * (1 + alpha) * (a - alpha * (b - a));
  const double right = -beta * (1 + beta) * (b + beta * (b - a));
  Primitive out = rational_primitive(correction, roots, left, right);
  out.poly[0] += p0;
  out.poly[1] += p1 / 2;
  return out;
}


double RationalCubicPiece::antiderivative(const Primitive& f, double x) const {
  const double t = (x - f.x_left) / f.h;
  const double* c = f.c;
  const double polynomial = t * (f.poly[0] + t * f.poly[1]);
  if (f.kind == Primitive::Kind::near_both) {
    return f.h * (polynomial + (c[0] * std::log1p(c[1] * t) + c[2] * std::log1p(c[3] * t)));
  }
  return f.h * (polynomial + (c[0] * std::log1p(c[1] * t) + (series(f.c, t - 0.5) - f.start)));
}

// The integrand of the antiderivative, term by term in t: the polynomial
// poly[0] + 2 poly[1] t, the poles' fractions c[0] c[1] / (1 + c[1] t) (and
// c[2] c[3] / (1 + c[3] t) for near_both), and the series sum_k e_k s^k in
// s = t - 1/2. The series integrates n times from s0 = -1/2 to
// J_n(s) - sum_(j < n) J_(n-j)(s0) t^j / j!, J_m(s) = s^m sum_k e_k k! / (k+m)! s^k.
double RationalCubicPiece::repeated_integral(const Primitive& f, int n, double x) const {
  if (n == 1) return antiderivative(f, x);
  const double t = (x - f.x_left) / f.h;
  const double* c = f.c;
  const double t_n = std::pow(t, n) * inverse_factorial[n];
  double sum = t_n * (f.poly[0] + 2 * f.poly[1] * (t / (n + 1)));
  const auto pole = [&](double weight, double ratio) {
    if (weight != 0 && ratio != 0) sum += weight * integrated_pole(ratio, n, t);
  };
  pole(c[0], c[1]);
  if (f.kind == Primitive::Kind::near_both) {
    pole(c[2], c[3]);
  } else {
    constexpr int count = series_terms + 4;
    double e[count];
    far_coefficients(f.c, e, count);
    double at_start[highest_antiderivative] = {};
    for (int j = 0; j < n; ++j) at_start[j] = integrated_powers(e, count, n - j, -0.5);
    sum += integrated_powers(e, count, n, t - 0.5) - taylor(at_start, n, t);
  }
  return std::pow(f.h, n) * sum;
}

}  // namespace velarix::rational_cubic
