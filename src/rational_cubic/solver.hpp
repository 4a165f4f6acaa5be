// The coupled solve of the rational cubic: knot derivatives that make the
// pieces join with continuous second derivative, and one convexity parameter
// per interval large enough to keep each piece convex.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "boundary.hpp"
#include "error.hpp"
#include "memory.hpp"
#include "samples.hpp"

namespace velarix::rational_cubic::solver {

// How the fixed point is reached: by the relaxed sweeps alone, or by Newton
// steps on the derivatives and the parameters together, finished by sweeps.
enum class Method : std::uint8_t { sweep, newton };

// "sweep" or "newton", the names a caller chooses a method by.
std::string_view method_name(Method method);
// The method of that name; nothing for any other text.
std::optional<Method> method_named(std::string_view name);

struct SolveSettings {
  double u;
  double v;
  double margin;
  double relaxation;  // in (0, 1]
  double tol;
  std::uint64_t max_iter;
  double w_cap;  // >= 0; also the w of an interval whose derivatives leave no room
  Method method = Method::sweep;
};

struct Output {
  Doubles derivatives;              // n knot derivatives, the given end slopes at the ends
  Doubles w;                        // m convexity parameters, each in [0, w_cap]
  std::uint64_t iterations;  // Newton steps and sweeps made; 0 for two points
};

// Relaxed fixed-point iteration on convex data (secants nondecreasing): solve
// the derivatives for the current w, move every w toward the convexity bound of
// those derivatives, and repeat until the largest change is within
// tol * (1 + largest w), or until the change has settled at the rounding
// floor of the sweep (see the stall rule in the source). With Method::newton
// the sweeps start from the result of Newton steps instead of from w = 0.
// `left` and `right` are S'(x[0]) and S'(x[n-1]). Reports NoConvergence
// after max_iter sweeps; a w_cap < 0 or NaN throws InternalError.
Result<Output> solve(const Samples& samples, const SolveSettings& settings, double left,
                     double right);
// The same for given end slopes or natural ends (S'' = 0 at x[0] and
// x[n-1]), whose end rows depend on w; the end intervals' targets then
// leave out the bound of their natural knot, and Method::newton runs the
// sweeps alone. Periodic ends throw InternalError: a periodic convex curve
// is constant, and the fit refuses them first.
Result<Output> solve(const Samples& samples, const SolveSettings& settings, const EndRows& ends);

// The n knot derivatives for the given m convexity parameters: unit rows at the
// ends, and at every interior knot the condition that the second derivatives of
// the two pieces meeting there agree.
Doubles solve_derivatives(const Samples& samples, std::span<const double> w, double left,
                          double right, double u, double v);
Doubles solve_derivatives(const Samples& samples, std::span<const double> w, const EndRows& ends,
                          double u, double v);

// The rounding each secant s = (y1 - y0) / h carries, one per interval, as
// the data of a straight stretch would: a value sampled from a line lies
// within an ulp or so of |y| + |s x| of the line through the stored knots
// (evaluating a + s x rounds at the size of its terms, and a knot rounded by
// an ulp of |x| moves the line's value by s times that; where the values
// cross 0, s x and not |y| is what they have rounded). Both values of the
// interval count, over its width; the subtraction, the width and the
// division add an ulp of |s| each.
Doubles secant_rounding(const Samples& samples);
// The same for the one interval from (x0, y0) to (x1, y1) of width h.
double secant_rounding(double x0, double x1, double y0, double y1, double h, double secant);

// The largest difference between a slope and a secant that has no sign the
// data decide: 8 times the secant's rounding (from secant_rounding), or the
// rounding of a derivative, 16 2^-53 (|secant| + |slope|), if larger. The
// same sizes as the gap rules of convexity_target, for slopes read from a
// fitted curve.
double slope_noise(double rounding, double secant, double slope);

// Whether the data are straight at interior knot k as far as their rounding
// tells: the secants on its two sides differ by at most 4 times the sum of
// their roundings (`rounding` from secant_rounding).
bool straight_at(std::span<const double> secants, std::span<const double> rounding,
                 std::size_t k);

// Per knot, the noise of a gap between a secant and the knot's derivative:
// where the data are straight (straight_at; an end knot as its neighbour),
// 8 times the larger rounding of the knot's secants, and 0 elsewhere.
Doubles gap_noise(const Samples& samples);

// Whether interval i is straight: its knots and those within 1 interval of
// it are (noise > 0 at all of them).
bool straight_interval(std::span<const double> noise, std::size_t i);

// The convexity target of interval i for the knot derivatives d: the margin
// (or w_cap, if smaller) on a straight interval (straight_interval, `noise`
// from gap_noise), w_cap on any other with a straight knot; else
// margin + max(v gapR / gapL, u gapL / gapR, 0)
// capped at w_cap, with gapL = s[i] - d[i] and gapR = d[i+1] - s[i]; w_cap
// when a gap is <= 0 or within the rounding of the derivative,
// 16 2^-53 (|s[i]| + |d|). A NaN ratio is left
// out of the max. With natural ends the first interval leaves out
// v gapR / gapL and the last u gapL / gapR: S'' is 0 at the natural knot and
// the piece convex for any w >= 0 once both gaps are positive.
double convexity_target(std::span<const double> secants, std::span<const double> noise,
                        std::span<const double> d, std::size_t i, double u, double v,
                        double margin, double w_cap, bool natural_ends = false);

}  // namespace velarix::rational_cubic::solver
