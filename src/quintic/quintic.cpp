#include "quintic/quintic.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "cancel.hpp"
#include "format.hpp"
#include "parallel.hpp"
#include "quintic/assembly.hpp"
#include "quintic/convexity.hpp"
#include "quintic/estimates.hpp"
#include "quintic/repair.hpp"
#include "quintic/shape.hpp"
#include "quintic/slopes.hpp"
#include "samples.hpp"
#include "scaled_fit.hpp"

namespace velarix::quintic {
namespace {

// How the knot stage sets the end knots: the clamped slopes or the end
// knots' own estimates as given, or boxed like the other knots (limited,
// natural and periodic ends).
Ends ends_of(const EndSlopes& boundary, const Estimates& estimates) {
  if (const EndSlopes::Clamped* c = boundary.clamped_slopes()) {
    return {Ends::Kind::given, c->left, c->right};
  }
  if (boundary.is_limited()) return {};
  if (boundary.is_natural()) return {Ends::Kind::natural};
  if (boundary.is_periodic()) return {Ends::Kind::periodic};
  return {Ends::Kind::given, estimates.slope.front(), estimates.slope.back()};
}

// The curve from the knot values: one piece per interval, two where a knot
// is inserted, each checked against the data's shape. Every convex or
// concave interval not marked passes keeps_bending: the fit has tested it
// after the last change to its knots.
struct Assembled {
  Piecewise<QuinticPiece> curve;
  bool shape_preserved;
};

// The first interval of each chunk of the assembly, and m last.
std::vector<std::size_t> chunk_starts(std::size_t m) {
  const std::size_t threads = parallel::threads_for(m);
  std::vector<std::size_t> starts;
  for (std::size_t c = 0; c <= threads; ++c) starts.push_back(parallel::chunk_begin(m, threads, c));
  return starts;
}

// The pieces of intervals [first, last) written from `at` on, and whether
// they keep their shapes. Flattened: the pieces' construction and the shape
// test inlined into the loop, where the Hermite data stay in registers (a
// call per piece passed them through memory and cost as much as the piece
// itself).
[[gnu::flatten]] bool assemble_chunk(const Samples& samples, std::span<const Shape> shapes,
                                     const KnotValues& values,
                                     std::span<const std::uint8_t> marked, std::size_t first,
                                     std::size_t last, double* breakpoints,
                                     QuinticPiece* pieces) {
  const std::span<const double> x = samples.x();
  const std::span<const double> s = samples.secants();
  const std::span<const double> h = samples.widths();
  bool preserved = true;
  for (std::size_t i = first; i < last; ++i) {
    const Hermite e = hermite(samples, values.d, values.a, i);
    const int k = orientation(shapes[i]);
    const Mark mark = marked.empty() ? kKept : static_cast<Mark>(marked[i]);
    if (mark == kSplit) {
      if (const std::optional<Halves> halves = split(k, x[i], x[i + 1], e)) {
        *breakpoints++ = x[i];
        ::new (static_cast<void*>(pieces++)) QuinticPiece(x[i], halves->x, halves->left);
        *breakpoints++ = halves->x;
        ::new (static_cast<void*>(pieces++)) QuinticPiece(halves->x, x[i + 1], halves->right);
        const double sg = e.y1 > e.y0 ? 1.0 : -1.0;
        preserved = preserved && sg * (s[i] - e.p0) >= 0 && sg * (s[i] + e.p1) >= 0 &&
                    keeps_bending(oriented(k, halves->x - x[i], halves->left)) &&
                    keeps_bending(oriented(k, x[i + 1] - halves->x, halves->right));
        if (!normal_secant(s[i])) {
          preserved = preserved && built_keeps_shape(shapes[i], pieces[-2]) &&
                      built_keeps_shape(shapes[i], pieces[-1]);
        }
        continue;
      }
    }
    *breakpoints++ = x[i];
    preserved = store_piece(pieces++, x[i], x[i + 1], e, shapes[i], s[i], h[i], mark == kKept) &&
                preserved;
  }
  return preserved;
}

// The curve: the intervals in chunks, one thread each; a first pass over the
// marked intervals counts each chunk's pieces, so that every chunk writes
// its own part of the arrays in place.
Assembled assemble(const Samples& samples, std::span<const Shape> shapes,
                   const KnotValues& values, std::span<const std::uint8_t> marked) {
  const std::size_t m = samples.intervals();
  const std::span<const double> x = samples.x();
  const std::vector<std::size_t> starts = chunk_starts(m);
  const std::size_t chunks = starts.size() - 1;
  std::vector<std::size_t> offsets(chunks + 1, 0);
  if (!marked.empty()) {
    parallel::for_chunks(chunks, [&](std::size_t c) {
      std::size_t extra = 0;
      for (std::size_t i = starts[c]; i < starts[c + 1]; ++i) {
        if (marked[i] != kSplit) continue;
        const Hermite e = hermite(samples, values.d, values.a, i);
        extra += split_point(orientation(shapes[i]), x[i], x[i + 1], e) ? 1 : 0;
      }
      offsets[c + 1] = extra;
    });
  }
  for (std::size_t c = 0; c < chunks; ++c) offsets[c + 1] += offsets[c];
  const std::size_t count = m + offsets[chunks];
  Doubles breakpoints(count + 1);
  Vector<QuinticPiece> pieces(count);
  std::vector<std::uint8_t> preserved(chunks, 1);
  parallel::for_chunks(chunks, [&](std::size_t c) {
    const std::size_t at = starts[c] + offsets[c];
    preserved[c] = assemble_chunk(samples, shapes, values, marked, starts[c], starts[c + 1],
                                  breakpoints.data() + at, pieces.data() + at);
  });
  breakpoints[count] = x[m];
  const bool all = std::all_of(preserved.begin(), preserved.end(),
                               [](std::uint8_t chunk) { return chunk != 0; });
  return {Piecewise<QuinticPiece>(std::move(breakpoints), std::move(pieces)), all};
}

}  // namespace

QuinticSpline::QuinticSpline(Piecewise<QuinticPiece> curve, Doubles knots, bool shape_preserved)
    : PiecewiseSpline<QuinticPiece>(std::move(curve)),
      knots_(std::move(knots)),
      shape_preserved_(shape_preserved) {
  if (!knots_.empty() &&
      (knots_.size() < 2 || knots_.size() >= breakpoints().size() ||
       knots_.front() != breakpoints().front() || knots_.back() != breakpoints().back())) {
    throw InternalError("quintic spline needs its data knots among its breakpoints");
  }
}

std::string QuinticSpline::debug_text() const {
  return format::spline_record("QuinticSpline", domain(), intervals())
      .field("inserted", format::debug(static_cast<std::uint64_t>(inserted())))
      .field("shape_preserved", format::debug(shape_preserved_))
      .str();
}

std::optional<InvalidParameter> Quintic::check() const {
  if (stencil != 3 && stencil != 5 && stencil != 7) {
    return InvalidParameter{"stencil", "3, 5 or 7", static_cast<double>(stencil)};
  }
  return boundary.check();
}

Result<QuinticSpline> Quintic::fit_samples(const Samples& samples) const {
  const bool periodic = boundary.is_periodic();
  const Classes classes = classify(samples, periodic);
  Estimates estimates = estimate(samples, stencil, periodic);
  const Ends ends = ends_of(boundary, estimates);
  Vector<Shape> shapes(classes.shape);
  // Without insertion the knot stage may run again, from the same estimates.
  KnotValues values = knot_values(samples, classes, shapes,
                                  knot_insertion ? std::move(estimates) : estimates, ends,
                                  knot_insertion);
  if (values.has_pieces) {
    // No interval failed: nothing to repair or insert, and the knot stage
    // wrote the curve.
    Doubles breakpoints(samples.x().begin(), samples.x().end());
    return QuinticSpline(Piecewise<QuinticPiece>(std::move(breakpoints),
                                                 std::move(values.pieces)),
                         {}, values.shape_preserved);
  }
  // Each stage of a long fit takes a moment: a stop asked for meanwhile is
  // answered between them (the front end discards what a stopped fit made).
  if (cancel::requested()) return Cancelled{};
  balance_failing(samples, classes, shapes, ends, values);
  if (cancel::requested()) return Cancelled{};
  const Vector<std::uint8_t> known =
      repair_curvatures(samples, shapes, values.d, values.a, values.failing, ends);
  if (cancel::requested()) return Cancelled{};
  Vector<std::uint8_t> marked;
  if (knot_insertion) {
    // A repair fixes an interval or leaves it; it breaks none that passed.
    marked = insert_knots(samples, shapes, values.d, values.a, values.failing, ends, known);
  } else {
    // Each round keeps monotone only the convex and concave intervals whose
    // piece cannot bend as they do, which changes their knots' boxes; at
    // least one interval changes per round, so the rounds end. They are
    // marked as not kept.
    marked.assign(samples.intervals(), kKept);
    for (Vector<std::size_t> bad = failing(samples, shapes, values.d, values.a, values.failing);
         !bad.empty(); bad = failing(samples, shapes, values.d, values.a, values.failing)) {
      for (const std::size_t i : bad) {
        shapes[i] = Shape::monotone;
        marked[i] = kNotKept;
      }
      values = knot_values(samples, classes, shapes, estimates, ends);
      balance_failing(samples, classes, shapes, ends, values);
      repair_curvatures(samples, shapes, values.d, values.a, values.failing, ends);
    }
  }
  if (cancel::requested()) return Cancelled{};
  Assembled assembled = assemble(samples, classes.shape, values, marked);
  // Without inserted knots the breakpoints are the data's knots.
  Doubles knots;
  if (assembled.curve.knots().size() != samples.size()) {
    knots.assign(samples.x().begin(), samples.x().end());
  }
  return QuinticSpline(std::move(assembled.curve), std::move(knots), assembled.shape_preserved);
}

std::string Quintic::debug_text() const {
  return format::Record("Quintic")
      .field("boundary", boundary.debug_text())
      .field("stencil", format::debug(stencil))
      .field("knot_insertion", format::debug(knot_insertion))
      .str();
}

}  // namespace velarix::quintic
