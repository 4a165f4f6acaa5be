#include "tension/strict.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "cancel.hpp"
#include "tension/piece.hpp"
#include "tension/sigs.hpp"
#include "tension/slopes.hpp"

namespace velarix::tension::strict {
namespace {

// Secant changes this small against the secants themselves count as no bend,
// so that rounding in the data of a straight run decides no curvature; nor
// do changes within the rounding the secants inherit from the values (this
// many ulps of y over each width), which on a dense table of a smooth curve
// far from 0 are noise in its last digits.
constexpr double bend_tolerance = 1e-12;
constexpr double secant_ulps = 2;
// Nor do changes within the rounding the secants inherit from the knots:
// given in calendar years or timestamps, a knot holds its position to an
// ulp of |x|, so a width is the intended one only to this many ulps of the
// larger knot, and a secant to that share of itself. Data shifted anywhere
// then bend where their shift to 0 does.
constexpr double knot_ulps = 2;
// A feasible tension is raised to this multiple of the one needed: the next
// solve moves the slopes, and without a margin the passes creep towards it.
constexpr double margin = 1.05;
// An interval raised again grows by at least this factor: where each raise
// moves the slopes so that a little more is needed, the passes would creep.
constexpr double creep_step = 1.5;
// A slope or slope gap of the wrong sign cannot be cured on its interval:
// the tensions on both sides of the offending knot grow by this factor (from
// at least 1), which pulls its slope between the neighbouring secants.
constexpr double push_factor = 4;
// A flat piece deviates by at most h (|yp0| + |yp1|) times 4/27 (the Hermite
// cubic) or 1/sigma; the deviation falls like 1/sigma^2 as the knot slopes
// follow the tension down, so a miss multiplies the tension by
// 1.1 sqrt(bound / target), within these factors.
constexpr double cubic_bulge = 4.0 / 27.0;
constexpr double flat_step_safety = 1.1;
constexpr double flat_step_min = 4;
constexpr double flat_step_max = 1e4;
// The layer where the curvature of a piece turns is about h / sigma wide; it
// must stay this fraction of h above the spacing of the abscissae.
constexpr double layer_fraction = 5e-7;
constexpr double overflow_guard = 16;
// The searches bracket their tension by this growth factor from 1 and halve
// the bracket until it is this narrow relative to its upper end; the margin
// above covers what is left.
constexpr double bracket_growth = 4;
constexpr double search_width = 1e-2;
constexpr int halving_cap = 200;
// After a pass that raised few tensions, the slopes are re-solved only on
// stretches reaching this many knots beyond each raised interval (the
// influence of a change falls at least by half per knot, so the rest moves
// by less than 2^-64 of the change), as long as the stretches cover at most
// 1 / local_share of the knots.
constexpr std::size_t local_reach = 64;
constexpr std::size_t local_share = 4;
// Locating the turn of an overshooting piece: the value is stationary there,
// so placing it to 1e-7 h puts the value far inside the tolerance.
constexpr int turn_steps = 100;
constexpr double turn_width = 1e-7;

double sign_of(double v) { return v < 0 ? -1.0 : 1.0; }

double ulp(double v) {
  v = std::fabs(v);
  return std::nextafter(v, std::numeric_limits<double>::infinity()) - v;
}

// The data beside a knot: the values and knots at it and its neighbours.
struct Beside {
  double y0, y1, y2;
  double x0, x1, x2;
};

// The bend of the data at a knot between secants s0 and s1, with widths h0,
// h1 on its two sides: +1 convex, -1 concave, 0 none.
int bend_between(double s0, double s1, const Beside& b, double h0, double h1) {
  const double change = s1 - s0;
  const double y = std::max({std::fabs(b.y0), std::fabs(b.y1), std::fabs(b.y2)});
  const double x = std::max({std::fabs(b.x0), std::fabs(b.x1), std::fabs(b.x2)});
  const double rounding = secant_ulps * ulp(y) * (1 / h0 + 1 / h1) +
                          knot_ulps * ulp(x) * (std::fabs(s0) / h0 + std::fabs(s1) / h1);
  const double tolerance = bend_tolerance * (std::fabs(s0) + std::fabs(s1)) + rounding;
  if (!(std::fabs(change) > tolerance)) return 0;
  return change > 0 ? 1 : -1;
}

// The bend of the data at knot k; the end knots take their interior
// neighbour's, or on periodic data the bend between the last interval and
// the first.
int bend(const Curve& c, std::size_t k) {
  const std::span<const double> s = c.s;
  const std::size_t m = s.size();
  if (c.ends == EndRows::Kind::periodic && (k == 0 || k == m)) {
    return bend_between(s[m - 1], s[0], {c.y[m - 1], c.y[0], c.y[1], c.x[m - 1], c.x[0], c.x[1]},
                        c.h[m - 1], c.h[0]);
  }
  if (m < 2) return 0;
  k = std::clamp<std::size_t>(k, 1, m - 1);
  return bend_between(s[k - 1], s[k],
                      {c.y[k - 1], c.y[k], c.y[k + 1], c.x[k - 1], c.x[k], c.x[k + 1]}, c.h[k - 1],
                      c.h[k]);
}

double data_range(std::span<const double> y) {
  double lo = std::numeric_limits<double>::infinity();
  double hi = -lo;
  for (const double v : y) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  return hi > lo ? hi - lo : 0;
}

// The smallest tension above `lo` (where `ok` fails) for which `ok` holds,
// approached from above; `cap` when even the cap fails.
template <class Ok>
double smallest(Ok ok, double lo, double cap) {
  double hi = std::max(1.0, bracket_growth * lo);
  while (!ok(hi)) {
    if (hi >= cap) return cap;
    lo = hi;
    hi = std::min(hi * bracket_growth, cap);
  }
  for (int step = 0; step < halving_cap && hi - lo > search_width * hi; ++step) {
    // Geometric halving once the bracket is off 0: the tensions span decades.
    const double mid = lo > 0 ? std::sqrt(lo * hi) : hi / 2;
    if (ok(mid)) {
      hi = mid;
    } else {
      lo = mid;
    }
  }
  return hi;
}

// The slope of the piece at its inflection point times the sign of the secant
// s (the target of the published monotonicity search): the piece is monotone
// where it is >= 0. Positive without an inflection inside the interval.
double monotone_margin(double sigma, double s1, double s2, double s) {
  const double d1 = s - s1;
  const double d2 = s2 - s;
  const double d1pd2 = d1 + d2;
  const double sgn = sign_of(s);
  double c1, c2, a, e;
  if (sigma <= hyperbolic_up_to) {
    const auto [sinhm, coshm, coshmm] = modified_hyperbolics(sigma);
    c1 = sigma * coshm * d2 - sinhm * d1pd2;
    c2 = sigma * (sinhm + sigma) * d2 - coshm * d1pd2;
    a = c2 - c1;
    e = sigma * sinhm - 2 * coshmm;
  } else {
    // Scaled by 2 exp(-sigma); exp underflows harmlessly to 0 for huge sigma.
    const auto [ems, tm, scm] = scaled_hyperbolics(sigma);
    const double ssinh = tm * (1 + ems);
    const double ssm = ssinh - 2 * sigma * ems;
    c1 = sigma * scm * d2 - ssm * d1pd2;
    c2 = sigma * ssinh * d2 - scm * d1pd2;
    // The second derivative has one sign on the interval: no inflection.
    if (c1 * (sigma * scm * d1 - ssm * d1pd2) >= 0) return 1;
    a = 2 * ems * (sigma * tm * d2 + (tm - sigma) * d1pd2);
    e = sigma * ssinh - 2 * scm;
  }
  // The first derivative has no stationary point at all.
  if (a * (c2 + c1) < 0) return 1;
  return (sgn * (e * s2 - c2) + std::sqrt(a * (c2 + c1))) / e;
}

// Whether the piece of tension sigma with end slopes s1 and s2 of the
// secant's sign is monotone.
bool monotone_at(double sigma, double s1, double s2, double s) {
  // The cubic is monotone when t0 = 3 s - s1 - s2 has the sign of s or its
  // derivative has no real zero; tension only helps.
  const double t0 = 3 * s - s1 - s2;
  if (s * t0 >= 0 || t0 * t0 - s1 * s2 <= 0) return true;
  if (sigma < cubic_below) return false;
  return monotone_margin(sigma, s1, s2, s) >= 0;
}

// One pass of checks over the curve; with `next` given, the raises the
// failed checks ask for are written there (never lowering an entry).
class Assessment {
 public:
  Assessment(const Curve& c, std::span<double> next)
      : c_(c),
        next_(next),
        range_(data_range(c.y)),
        last_(c.x.size() - 1),
        periodic_(c.ends == EndRows::Kind::periodic) {}

  bool holds() const { return holds_; }

  // Whether the requirements of interval i hold; where they fail, the raises
  // they ask for go into `next`.
  bool interval(std::size_t i) {
    const bool before = holds_;
    holds_ = true;
    const double s = c_.s[i];
    if (s == 0) {
      flat(i);
    } else {
      monotone(i, s);
    }
    // A flat interval is held flat instead: its slopes may be fixed at 0.
    const int curvature = s == 0 ? 0 : bend(c_, i);
    if (curvature != 0 && curvature == bend(c_, i + 1)) convex(i, curvature);
    const bool held = holds_;
    holds_ = before && held;
    return held;
  }

 private:
  double sigma(std::size_t i) const { return std::fabs(c_.sigma[i]); }

  void raise(std::size_t j, double proposal) {
    if (next_.empty()) return;
    proposal = std::min(proposal, tension_cap(c_.x[j], c_.x[j + 1], c_.x[0]));
    if (proposal > next_[j]) next_[j] = proposal;
  }

  // The two intervals and the two neighbouring knots of knot k: across the
  // wrap for the end knots of periodic data. (An end knot of other data
  // has only one interval; its callers do not ask.)
  struct Around {
    std::size_t left;    // interval
    std::size_t right;   // interval
    std::size_t before;  // knot
    std::size_t after;   // knot
  };
  Around around(std::size_t k) const {
    if (periodic_ && (k == 0 || k == last_)) return {last_ - 1, 0, last_ - 1, 1};
    return {k - 1, k, k - 1, k + 1};
  }
  bool end_knot(std::size_t k) const { return !periodic_ && (k == 0 || k == last_); }

  // Both sides of knot k pull its slope between their secants; a fixed end
  // slope cannot be moved, nor is a flat neighbour disturbed. A natural end
  // slope follows the end interval's tension towards the secant.
  void push_across(std::size_t i, std::size_t k) {
    if (end_knot(k)) {
      if (c_.ends == EndRows::Kind::natural) raise(i, std::max(1.0, push_factor * sigma(i)));
      return;
    }
    raise(i, std::max(1.0, push_factor * sigma(i)));
    const Around at = around(k);
    const std::size_t j = i == at.right ? at.left : at.right;
    if (c_.s[j] != 0) raise(j, std::max(1.0, push_factor * sigma(j)));
  }

  // Whether knot k lies between two intervals whose secants turn against
  // each other: a data extremum.
  bool extremum(std::size_t k) const {
    if (end_knot(k)) return false;
    const Around at = around(k);
    return c_.s[at.left] * c_.s[at.right] < 0;
  }

  void flat(std::size_t i) {
    const double bound = c_.h[i] * (std::fabs(c_.yp[i]) + std::fabs(c_.yp[i + 1])) *
                         std::min(cubic_bulge, 1 / sigma(i));
    const double target = flat_tolerance * range_;
    if (bound <= target) return;
    holds_ = false;
    const double step =
        std::clamp(flat_step_safety * std::sqrt(bound / target), flat_step_min, flat_step_max);
    raise(i, std::max(1.0, sigma(i)) * step);
  }

  void monotone(std::size_t i, double s) {
    const double s1 = c_.yp[i];
    const double s2 = c_.yp[i + 1];
    const bool left_ok = s1 * s >= 0;
    const bool right_ok = s2 * s >= 0;
    if (!left_ok) wrong_slope(i, i, extremum(i));
    if (!right_ok) wrong_slope(i, i + 1, extremum(i + 1));
    if (!left_ok || !right_ok) return;
    if (monotone_at(sigma(i), s1, s2, s)) return;
    holds_ = false;
    const double cap = tension_cap(c_.x[i], c_.x[i + 1], c_.x[0]);
    const double need =
        smallest([&](double t) { return monotone_at(t, s1, s2, s); }, sigma(i), cap);
    raise(i, std::max(margin * need, creep_step * sigma(i)));
  }

  // The slope at knot k of interval i points against the interval's secant.
  // Beside a data extremum the curve may pass the extremum value a little;
  // anywhere else the slope must move.
  void wrong_slope(std::size_t i, std::size_t k, bool extremum) {
    if (!extremum) {
      holds_ = false;
      push_across(i, k);
      return;
    }
    if (overshoot(i, k) <= overshoot_tolerance * range_) return;
    holds_ = false;
    raise(i, margin * zero_slope_sigma(i, k));
  }

  // How far piece i passes y[k] beyond its end knot k, found at the turn of
  // the piece (the zero of S' between k and the other end, whose slope has
  // the secant's sign); infinite when both end slopes point the wrong way.
  // On periodic data such a piece is let pass within its bound about the
  // chord: nothing there anchors the slopes, and on a short period of
  // extrema every raise that turns one slope turns its neighbours' too, so
  // that the passes would chase the sign round the period.
  double overshoot(std::size_t i, std::size_t k) const {
    const double dir = sign_of(c_.s[i]);
    const bool at_left = k == i;
    // The piece stays within this of its chord, which runs inwards from y[k].
    const double d1 = c_.s[i] - c_.yp[i];
    const double d2 = c_.yp[i + 1] - c_.s[i];
    const double bulge =
        c_.h[i] * (std::fabs(d1) + std::fabs(d2)) * std::min(cubic_bulge, 1 / sigma(i));
    if (dir * c_.yp[at_left ? i + 1 : i] <= 0) {
      if (periodic_ && bulge <= overshoot_tolerance * range_) return bulge;
      return std::numeric_limits<double>::infinity();
    }
    if (bulge <= overshoot_tolerance * range_) return bulge;
    const TensionPiece piece(c_.x[i], c_.x[i + 1], c_.h[i], c_.y[i], c_.y[i + 1], c_.yp[i],
                             c_.yp[i + 1], c_.sigma[i], TensionPiece::form_for(c_.sigma[i]));
    // Newton's method on f = dir S', kept inside the bracket [a, b] where f
    // goes from < 0 at the knot k to > 0 at the other end; f has one zero
    // there. In a steep layer f is concave and Newton approaches from the
    // knot's side without overshooting.
    double a = c_.x[k];
    double b = c_.x[at_left ? i + 1 : i];
    double turn = a;
    double f = dir * c_.yp[k];
    for (int step = 0; step < turn_steps; ++step) {
      const double slope = dir * piece.second_derivative(turn);
      double next = turn - f / slope;
      if (!(std::min(a, b) < next && next < std::max(a, b))) next = a + (b - a) / 2;
      const bool settled = std::fabs(next - turn) <= turn_width * c_.h[i];
      turn = next;
      f = dir * piece.first_derivative(turn);
      if (f < 0) {
        a = turn;
      } else {
        b = turn;
      }
      if (settled) break;
    }
    const double beyond = at_left ? -dir : dir;
    return std::max(0.0, beyond * (piece.value(turn) - c_.y[k]));
  }

  // The tension of interval i that brings the slope at its end knot k to 0
  // with the slopes at k's neighbours held: the C² row of knot k gives
  // yp[k] = (rhs - sd_l yp[k-1] - sd_r yp[k+1]) / (d_l + d_r), and as the
  // tension of i grows its terms dominate and turn yp[k] to the secant's sign.
  double zero_slope_sigma(std::size_t i, std::size_t k) const {
    const Around at = around(k);
    const bool own_right = k == i;
    const std::size_t other = own_right ? at.left : at.right;
    const slopes::Coefficients fixed = slopes::ypcoef(sigma(other), c_.h[other]);
    const auto turned = [&](double t) {
      const slopes::Coefficients own = slopes::ypcoef(t, c_.h[i]);
      const slopes::Coefficients& l = own_right ? fixed : own;
      const slopes::Coefficients& r = own_right ? own : fixed;
      const double numerator = (l.d + l.sd) * c_.s[at.left] + (r.d + r.sd) * c_.s[at.right] -
                               l.sd * c_.yp[at.before] - r.sd * c_.yp[at.after];
      return numerator * c_.s[i] >= 0;
    };
    return smallest(turned, sigma(i), tension_cap(c_.x[i], c_.x[i + 1], c_.x[0]));
  }

  void convex(std::size_t i, int curvature) {
    const double s = c_.s[i];
    const double d1 = s - c_.yp[i];
    const double d2 = c_.yp[i + 1] - s;
    const double g1 = curvature * d1;
    const double g2 = curvature * d2;
    if (g1 == 0 && g2 == 0) return;  // the chord
    // A gap of the wrong sign, or 0 beside a non-zero one (the piece then
    // bends the wrong way at that knot at any tension).
    if (!(g1 > 0) || !(g2 > 0)) {
      holds_ = false;
      if (!(g1 > 0)) push_across(i, i);
      if (!(g2 > 0)) push_across(i, i + 1);
      return;
    }
    // At a natural end S'' vanishes, and beside it S'' is a multiple of
    // sinh of the distance from that knot: one sign at any tension, so the
    // gaps' signs decide.
    if (natural_end_interval(i)) return;
    const double need = sigs::convexity_sigma(d1, d2, 0);
    if (sigma(i) >= need) return;
    holds_ = false;
    raise(i, std::max(margin * need, creep_step * sigma(i)));
  }

  bool natural_end_interval(std::size_t i) const {
    return c_.ends == EndRows::Kind::natural && (i == 0 || i + 1 == last_);
  }

  const Curve& c_;
  std::span<double> next_;
  double range_;
  std::size_t last_;
  bool periodic_;
  bool holds_ = true;
};

}  // namespace

double tension_cap(double x0, double x1, double origin) {
  const double h = x1 - x0;
  // The spacing of the abscissae is taken as the data would have it from
  // their first knot: the cap, and so the fit, is then the same wherever x
  // starts (data in calendar years fit as their shift to 0 does), and data
  // that start at 0 keep their own spacing.
  const double far = std::max(std::fabs(x0 - origin), std::fabs(x1 - origin));
  // The slope system divides by h times about sigma: that product must stay
  // finite for widths near the largest double.
  const double finite = std::numeric_limits<double>::max() / (overflow_guard * h);
  return std::min({sigma_cap, layer_fraction * h / ulp(far), finite});
}

bool holds(const Curve& curve) {
  Assessment pass(curve, {});
  for (std::size_t i = 0; i + 1 < curve.x.size(); ++i) pass.interval(i);
  return pass.holds();
}

namespace {

bool same(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Re-solves yp on the stretches around the intervals whose tension changed
// from `before` to `after`, keeping a copy of the old slopes in `seen_yp`;
// false (nothing done) when the stretches would cover too much of the data,
// or would hold an end slope that the end rows do not fix (natural and
// periodic ends move with every tension near them).
bool solve_locally(const Samples& samples, const EndRows& ends, std::span<const double> before,
                   std::span<const double> after, Doubles& yp, Doubles& seen_yp) {
  const std::size_t n = samples.size();
  const bool fixed_ends = ends.kind == EndRows::Kind::slopes;
  std::vector<std::pair<std::size_t, std::size_t>> stretches;
  std::size_t covered = 0;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    if (same(before[i], after[i])) continue;
    const std::size_t lo = i > local_reach ? i - local_reach : 0;
    const std::size_t hi = std::min(n - 1, i + 1 + local_reach);
    if (!fixed_ends && (lo == 0 || hi == n - 1)) return false;
    if (!stretches.empty() && lo <= stretches.back().second) {
      covered += hi - stretches.back().second;
      stretches.back().second = hi;
    } else {
      covered += hi - lo;
      stretches.emplace_back(lo, hi);
    }
    if (covered * local_share > n) return false;
  }
  seen_yp = yp;
  for (const auto& [lo, hi] : stretches) {
    if (lo + 1 < hi) slopes::solve_between(samples, after, yp, lo, hi);
  }
  return true;
}

}  // namespace

Selection fit(const Samples& samples, const EndRows& ends, std::uint64_t max_iter) {
  const std::size_t n = samples.size();
  Doubles tensions(n - 1, 0.0);
  Doubles yp = slopes::solve(samples, tensions, ends);
  Doubles next;
  // What the last pass saw: an interval whose requirements held then, and
  // whose slopes and tension have not moved by a bit since, holds now. Far
  // from the raised intervals a solve leaves the slopes as they were, so late
  // passes check only the neighbourhoods of their raises.
  Doubles seen_yp;
  Doubles seen_tensions;
  std::vector<std::uint8_t> held(n - 1, 0);
  std::uint64_t iterations = 0;
  for (;;) {
    next = tensions;
    const Curve curve{samples.x(), samples.y(), samples.widths(), samples.secants(),
                      yp,          tensions,    ends.kind};
    Assessment pass(curve, next);
    for (std::size_t i = 0; i + 1 < n; ++i) {
      if (held[i] && same(yp[i], seen_yp[i]) && same(yp[i + 1], seen_yp[i + 1]) &&
          same(tensions[i], seen_tensions[i])) {
        continue;
      }
      held[i] = pass.interval(i);
    }
    if (pass.holds()) return {std::move(tensions), std::move(yp), iterations, true};
    const bool raised = !std::equal(next.begin(), next.end(), tensions.begin());
    // A stopped fit's selection is discarded by fit_in_scale.
    if (iterations == max_iter || !raised || cancel::requested()) {
      return {std::move(tensions), std::move(yp), iterations, false};
    }
    tensions.swap(next);
    seen_tensions.swap(next);
    if (!solve_locally(samples, ends, seen_tensions, tensions, yp, seen_yp)) {
      seen_yp.swap(yp);
      yp = slopes::solve(samples, tensions, ends);
    }
    ++iterations;
  }
}

}  // namespace velarix::tension::strict
