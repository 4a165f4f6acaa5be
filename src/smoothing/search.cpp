#include "smoothing/search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "cancel.hpp"

namespace velarix::smoothing {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The grid, in log10(lambda / lam_scale). At 0 the fit bends on the scale of
// one segment; its curve turns into the least-squares line once it bends on
// the scale of the whole range, (segments)^4 further up. The grid spans both,
// with margins, in steps of half a decade.
constexpr double kGridBelow = -4;
constexpr double kGridAbove = 3;
constexpr double kGridStep = 0.5;
// Where the fit is a line to this many degrees of freedom the score hardly
// moves with lambda: the grid strides four steps at a time there.
constexpr double kLineExcess = 1e-3;
constexpr int kLineStride = 4;
// Below the best point the descent stops once the score has risen at this
// many grid points in a row (three decades) and the fits have at least
// twice the best one's degrees of freedom: from there down the fits only
// follow the noise more closely, and with a knot at every point the descent
// to inadmissibility would take ten decades more.
constexpr int kRisingPoints = 6;
constexpr double kRisingFreedom = 2;
// The unconstrained fits' score, from the stacked factor (see stacked.hpp),
// is smooth in lambda (no bounds to change), so their grid strides a whole
// decade, three rising points span the same three decades, and Brent's
// search refines a bracket of two decades: at 10^6 points the half-decade
// grid took 23 of the 31 solves.
constexpr double kSmoothGridStep = 1;
constexpr int kSmoothRisingPoints = 3;
constexpr int kSmoothLineStride = 2;
// The bracketing search stops when log10(lambda) is known this closely: the
// score is flat at its minimum, and its rounding leaves lambda no better
// determined than that (a step of 1e-4 in log10 moves the score by parts
// in 1e8).
constexpr double kSearchTolerance = 1e-4;

}  // namespace

namespace {

// Minimises f on [a, b] from a point x inside with known f(x): Brent's
// method, parabolic steps safeguarded by golden sections.
template <class F>
void brent(F&& f, double a, double b, double x, double fx, double tol) {
  constexpr double kGolden = 0.3819660112501051;
  double w = x, v = x, fw = fx, fv = fx;
  double d = 0, e = 0;
  for (int iteration = 0; iteration < 100; ++iteration) {
    if (cancel::requested()) return;  // the stopped fit is discarded
    const double middle = 0.5 * (a + b);
    if (std::fabs(x - middle) <= 2 * tol - 0.5 * (b - a)) return;
    bool golden = true;
    if (std::fabs(e) > tol) {
      double r = (x - w) * (fx - fv);
      double q = (x - v) * (fx - fw);
      double p = (x - v) * q - (x - w) * r;
      q = 2 * (q - r);
      if (q > 0) p = -p;
      q = std::fabs(q);
      const double previous = e;
      e = d;
      if (std::fabs(p) < std::fabs(0.5 * q * previous) && p > q * (a - x) && p < q * (b - x)) {
        d = p / q;
        const double u = x + d;
        if (u - a < 2 * tol || b - u < 2 * tol) d = x < middle ? tol : -tol;
        golden = false;
      }
    }
    if (golden) {
      e = (x < middle ? b : a) - x;
      d = kGolden * e;
    }
    const double u = x + (std::fabs(d) >= tol ? d : (d > 0 ? tol : -tol));
    const double fu = f(u);
    if (fu <= fx) {
      (u < x ? b : a) = x;
      v = w, fv = fw, w = x, fw = fx, x = u, fx = fu;
    } else {
      (u < x ? a : b) = u;
      if (fu <= fw || w == x) {
        v = w, fv = fw, w = u, fw = fu;
      } else if (fu <= fv || v == x || v == w) {
        v = u, fv = fu;
      }
    }
  }
}

}  // namespace

std::optional<Solution> choose_lambda(const Programme& programme,
                                      std::span<const std::uint8_t> start, double lowest) {
  const double segments = static_cast<double>(programme.basis->segments());
  const double top = 4 * std::log10(segments) + kGridAbove;
  const double bottom = lowest > 0 ? std::log10(lowest / programme.lam_scale) : kGridBelow;
  const auto lam_at = [&](double u) { return programme.lam_scale * std::pow(10.0, u); };
  const bool smooth = programme.stacked != nullptr && programme.coordinates->bounded_count() == 0;
  const double step = smooth ? kSmoothGridStep : kGridStep;
  const int rising_points = smooth ? kSmoothRisingPoints : kRisingPoints;
  const int line_stride = smooth ? kSmoothLineStride : kLineStride;
  Workspace work;
  std::optional<Solution> best;
  double best_u = 0;
  // The grid's points stay where they are (multiples of the step below the
  // top) and it stops at the first one at or below the bottom: a bottom that
  // moves by a rounding (with the data's units) then moves no point of the
  // search. The score of a shape jumps where the active set changes, and a
  // search started from points a rounding apart can settle in different
  // dips of it. Descending, the fits gain freedom; once they are
  // inadmissible they stay so, and the grid stops.
  double above = top;  // the grid's point above the best
  double below = top;  // and below it
  double previous = top;
  Vector<std::uint8_t> held(start.begin(), start.end());
  bool best_is_last = false;
  int rising = 0;
  for (int k = 0;;) {
    if (cancel::requested()) return std::nullopt;  // the stopped fit is discarded
    const double u = top - step * k;
    std::optional<Solution> solution = solve_at(programme, lam_at(u), held, work);
    int stride = 1;
    if (solution) {
      held = solution->held;
      if (solution->edf < static_cast<double>(2 + kLineExcess) && !best) stride = line_stride;
      if (best_is_last) below = u;
      best_is_last = false;
      if (!best || solution->gcv < best->gcv) {
        above = previous;
        below = u;
        best_u = u;
        best = std::move(solution);
        best_is_last = true;
        rising = 0;
      } else if (!(solution->gcv < kInfinity)) {
        break;
      } else if (++rising >= rising_points && solution->edf >= kRisingFreedom * best->edf) {
        break;
      }
    }
    if (u <= bottom) break;
    previous = u;
    k += stride;
  }
  if (!best || !(best->gcv < kInfinity)) return best;
  held = best->held;
  auto score = [&](double u) {
    std::optional<Solution> solution = solve_at(programme, lam_at(u), held, work);
    if (!solution) return kInfinity;
    held = solution->held;
    const double gcv = solution->gcv;
    if (gcv < best->gcv) best = std::move(solution);
    return gcv;
  };
  brent(score, below, above, best_u, best->gcv, kSearchTolerance);
  if (programme.coordinates->bounded_count() == 0) return best;
  // The bounds a solve settles on depend a little on where it started, and
  // the search reached its lambda from a neighbour's bounds. Solved again
  // from the caller's start, the fit is the one that lambda given as a
  // setting returns, to the bit.
  Workspace fresh;
  std::optional<Solution> final = solve_at(programme, best->lam, start, fresh);
  return final ? final : best;
}

}  // namespace velarix::smoothing
