#include "quintic/slopes.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "parallel.hpp"
#include "quintic/convexity.hpp"

namespace velarix::quintic {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// A slope beside a convex interval stays this fraction of the smaller of the
// knot's secant change and its secants away from the secant, so that the
// piece has room to bend.
constexpr double kMargin = 0.01;
// Neither end of a convex interval may take more than this many times the
// largest gap to the secant the other end could take: a piece whose bending
// crowds into one end needs a large curvature there, or a knot inserted.
// The bound is made of the data alone, so it never binds on smooth data.
constexpr double kRatio = 2;
// A straight stretch's slope may be forced on a monotone neighbour whose
// secant is at least 1 / 1.25 of it: the neighbour's budget 5 |s| then still
// covers twice that slope at both of its ends.
constexpr double kStraightShare = 1.25;
// At a natural end of a convex interval S'' = 0, and the piece's S'' then
// has Bernstein coefficients 0, 12 p0 - 8 p1 + A1, 12 p1 - 8 p0 - 2 A1, A1
// (p0 the end's gap, p1 the other knot's): room for an A1 >= 0 needs
// p1 / 4 <= p0 <= 3 p1 / 2. The end's gap is kept within [1/2, 1] of the
// other's, where a parabola's A1 = 2 p1 fits at p0 = 3 p1 / 4 and the
// cubic with S'' = 0 at the end has p0 = p1 / 2 exactly.
constexpr double kNaturalLow = 0.5;
constexpr double kNaturalHigh = 1;

// max and min as comparisons, which compile to one instruction each (the
// library's fmax and fmin are calls, for their NaN rules; a NaN here comes
// from NaN data, whose fit is NaN whichever operand wins).
inline double larger(double a, double b) { return a < b ? b : a; }
inline double smaller(double a, double b) { return b < a ? b : a; }

// One of the two intervals beside a knot.
struct Side {
  bool has = false;
  double s = 0;
  double h = 0;
  Shape shape = Shape::monotone;
  bool straight = false;

  int bending() const { return has ? orientation(shape) : 0; }
  bool is(Shape other) const { return has && shape == other; }
};

// What a knot's slope is fixed by, if anything.
enum Fixed : std::uint8_t {
  free = 0,
  given = 1,  // a given end slope
  zero = 2,   // beside a flat or a straight stretch: a = 0 too
};

// The box of slopes that keeps both neighbouring pieces' shapes possible.
struct Box {
  double lo = -kInfinity;
  double hi = kInfinity;
  Fixed fixed = free;

  void fix(double v, Fixed why) {
    lo = hi = v;
    fixed = why;
  }
};

// The intervals beside each knot and the knot's box.
class Knots {
 public:
  Knots(const Samples& samples, const Classes& classes, std::span<const Shape> shapes,
        const Ends& ends)
      : s_(samples.secants()),
        h_(samples.widths()),
        straight_(classes.straight),
        shapes_(shapes),
        ends_(ends),
        m_(samples.intervals()) {}

  // Interval i, or none past the last; on periodic data i modulo m (the last
  // for i = -1).
  Side side(std::size_t i) const {
    i = wrapped(i, m_, ends_.periodic());
    if (i >= m_) return Side{};
    return inner_side(i);
  }
  // Interval i < m, which exists: the knot loop's sides away from the ends,
  // where every test of whether a side exists is then decided at compile
  // time.
  Side inner_side(std::size_t i) const {
    return {true, s_[i], h_[i], shapes_[i], straight_[i] != 0};
  }

  // The box of knot k between intervals l and r. Inlined into the knot
  // loop, so that the sides stay in registers rather than being stored
  // and reloaded at another width. An inner knot (0 < k < m, neither
  // side wrapped) skips the tests for the end knots.
  template <bool Inner = false>
  [[gnu::always_inline]] Box box(std::size_t k, const Side& l, const Side& r) const;

 private:
  // The secant change that measures a knot's bending; the end knots take
  // their neighbour's, or on periodic data (k modulo m) the change between
  // the last secant and the first.
  double change(std::size_t k) const {
    if (m_ < 2) return 0;
    if (ends_.periodic()) {
      const std::size_t j = k % m_;
      return std::fabs(s_[j] - s_[j == 0 ? m_ - 1 : j - 1]);
    }
    const std::size_t j = std::clamp<std::size_t>(k, 1, m_ - 1);
    return std::fabs(s_[j] - s_[j - 1]);
  }

  std::span<const double> s_;
  std::span<const double> h_;
  std::span<const std::uint8_t> straight_;
  std::span<const Shape> shapes_;
  Ends ends_;
  std::size_t m_;
};

// Whether a straight stretch's slope can be forced at a knot whose other
// side is `other`: an end, a convex or concave interval (whose box holds
// that slope, since the knot bends its way), the same straight stretch, or
// a monotone interval with a budget for it.
inline bool takes_straight_slope(const Side& other, double straight_s, bool same_stretch) {
  if (!other.has || orientation(other.shape) != 0 || same_stretch) return true;
  return other.shape == Shape::monotone &&
         std::fabs(straight_s) <= kStraightShare * std::fabs(other.s);
}

// The sign of a non-flat neighbouring secant, on the bounds lo and hi.
inline void keep_sign(double& lo, double& hi, const Side& side) {
  if (!side.has || side.shape == Shape::flat) return;
  if (side.s > 0) lo = larger(lo, 0);
  if (side.s < 0) hi = smaller(hi, 0);
}

template <bool Inner>
inline Box Knots::box(std::size_t k, const Side& l, const Side& r) const {
  // The bounds are narrowed as plain locals, which stay in registers: as the
  // members of the box they went through memory at every step, each step
  // waiting for the store of the one before.
  double lo = -kInfinity;
  double hi = kInfinity;
  keep_sign(lo, hi, l);
  keep_sign(lo, hi, r);
  double smaller_secant = kInfinity;
  if (l.has) smaller_secant = std::fabs(l.s);
  if (r.has) smaller_secant = smaller(smaller_secant, std::fabs(r.s));
  const double change_k = Inner ? std::fabs(s_[k] - s_[k - 1]) : change(k);
  // The margin is also kept below the secant change at the other knot of a
  // convex or concave neighbour, which bounds the room that knot leaves: the
  // ratio limiter then never asks for less room here than the margin takes,
  // and as the other knot's bend vanishes (the data turning straight there)
  // the slope here approaches the secant continuously.
  double room = smaller(change_k, smaller_secant);
  if (l.bending() != 0) {
    room = smaller(room, Inner ? std::fabs(s_[k - 1] - s_[k - 2]) : change(k == 0 ? m_ - 1 : k - 1));
  }
  if (r.bending() != 0) {
    room = smaller(room, Inner && k + 1 < m_ ? std::fabs(s_[k + 1] - s_[k]) : change(k + 1));
  }
  const double margin = kMargin * room;
  // Convex on the left: S' at the right end of that piece must exceed its
  // secant; convex on the right: S' at its left end must stay below.
  if (l.bending() > 0) lo = larger(lo, l.s + margin);
  if (l.bending() < 0) hi = smaller(hi, l.s - margin);
  if (r.bending() > 0) hi = smaller(hi, r.s - margin);
  if (r.bending() < 0) lo = larger(lo, r.s + margin);
  // Beside an interval the data turn across, the slope stays within the
  // secants' hull widened by the largest secant change at the knot and its
  // neighbours: a stencil reaching past a short wiggle two knots away would
  // otherwise tilt the slope by that wiggle, and S'' with it, far beyond the
  // bends beside this knot. (Between two bending intervals the box is
  // within the hull already.)
  if (l.has && r.has && !l.is(Shape::flat) && !r.is(Shape::flat) &&
      (l.is(Shape::monotone) || r.is(Shape::monotone))) {
    // An inner knot's box is also asked for knot m - 1, whose right
    // neighbour is the end knot.
    const double before = Inner ? std::fabs(s_[k - 1] - s_[k - 2]) : change(k == 0 ? m_ - 1 : k - 1);
    const double after = Inner && k + 1 < m_ ? std::fabs(s_[k + 1] - s_[k]) : change(k + 1);
    const double widen = larger(change_k, larger(before, after));
    lo = larger(lo, smaller(l.s, r.s) - widen);
    hi = smaller(hi, larger(l.s, r.s) + widen);
  }
  // Not expected for data classified as above; the middle keeps both sides
  // as close to their requirements as one slope can.
  if (lo > hi) lo = hi = 0.5 * (lo + hi);
  Box box{lo, hi, free};

  if (!Inner && ends_.given() && (k == 0 || k == m_)) {
    box.fix(k == 0 ? ends_.left : ends_.right, given);
  } else if (l.is(Shape::flat) || r.is(Shape::flat)) {
    box.fix(0, zero);
  } else if ((l.straight || r.straight) && !(l.has && r.has && l.s * r.s < 0)) {
    // Beside a straight stretch, not at a data extremum.
    const bool same = l.straight && r.straight && l.s == r.s;
    const bool from_left = l.straight && takes_straight_slope(r, l.s, same);
    const bool from_right = r.straight && takes_straight_slope(l, r.s, same);
    if (from_left || from_right) box.fix(from_left ? l.s : r.s, zero);
  }
  return box;
}

// The slope at a knot within `box`, narrowed by the ratio limiter: with p the
// gap between a slope and the secant on the bending's side, p at this end of
// a convex interval is at most kRatio times the largest p the other end's
// box allows. Where both neighbours ask for opposite bounds the slope splits
// the knot's secant change in the ratio of the two caps.
[[gnu::always_inline]] inline double limited_slope(double estimate, const Box& box, const Side& l, const Side& r,
                     const Box& before, const Box& after) {
  if (box.fixed != free) return box.lo;
  double cap_left = kInfinity;   // on p at this knot, interval on the left
  double cap_right = kInfinity;  // on p at this knot, interval on the right
  if (l.bending() != 0) {
    // The largest p the left interval's left knot can take.
    const double room = l.bending() > 0 ? l.s - before.lo : before.hi - l.s;
    if (room == room) cap_left = kRatio * room;
  }
  if (r.bending() != 0) {
    const double room = r.bending() > 0 ? after.hi - r.s : r.s - after.lo;
    if (room == room) cap_right = kRatio * room;
  }
  double lo = box.lo;
  double hi = box.hi;
  // p = bending (d - s) on the left, bending (s - d) on the right.
  if (l.bending() > 0) hi = smaller(hi, l.s + cap_left);
  if (l.bending() < 0) lo = larger(lo, l.s - cap_left);
  if (r.bending() > 0) lo = larger(lo, r.s - cap_right);
  if (r.bending() < 0) hi = smaller(hi, r.s + cap_right);
  if (l.bending() != 0 && r.bending() != 0 && lo > hi) {
    const double w = cap_left / (cap_left + cap_right);
    const double share = std::isfinite(w) ? w : 0.5;
    lo = hi = l.s + (r.s - l.s) * share;
  }
  lo = std::clamp(lo, box.lo, box.hi);
  hi = std::clamp(hi, box.lo, box.hi);
  return std::clamp(estimate, lo, larger(lo, hi));
}

// At an end knot of a convex end interval (ends boxed or natural): keep the
// end's gap p within [1 / kRatio, kRatio] times the gap at the interval's
// other knot, else the piece must bend in a thin layer at one end; within
// [kNaturalLow, kNaturalHigh] times it at a natural end.
double end_slope(double estimate, double current, const Box& box, double s, int bending,
                 double neighbour_gap, bool left_end, bool natural) {
  if (box.fixed != free || bending == 0 || !(neighbour_gap > 0)) return current;
  const double k = bending;
  double lo;
  double hi;
  if (natural) {
    if (left_end) {
      lo = s - k * kNaturalHigh * neighbour_gap;
      hi = s - k * kNaturalLow * neighbour_gap;
    } else {
      lo = s + k * kNaturalLow * neighbour_gap;
      hi = s + k * kNaturalHigh * neighbour_gap;
    }
  } else if (left_end) {  // p = k (s - d)
    lo = s - k * kRatio * neighbour_gap;
    hi = s - k * neighbour_gap / kRatio;
  } else {  // p = k (d - s)
    lo = s + k * neighbour_gap / kRatio;
    hi = s + k * kRatio * neighbour_gap;
  }
  if (lo > hi) std::swap(lo, hi);
  lo = larger(lo, box.lo);
  hi = smaller(hi, box.hi);
  if (!(lo <= hi)) return current;
  return std::clamp(estimate, lo, hi);
}

// The curvature at a knot with slope d, within the box that keeps the
// bending's sign beside a convex or concave interval and, beside a monotone
// one of sign sg, the end coefficient of S' there: sg (d - h a / 4) >= 0 at
// its right end, sg (d + h a / 4) >= 0 at its left end.
[[gnu::always_inline]] inline double boxed_curvature(double estimate, double d, const Side& l, const Side& r) {
  double lo = -kInfinity;
  double hi = kInfinity;
  if (l.bending() > 0 || r.bending() > 0) lo = 0;
  if (l.bending() < 0 || r.bending() < 0) hi = 0;
  if (l.is(Shape::monotone)) {
    const double bound = 4 * d / l.h;
    if (l.s > 0) hi = smaller(hi, bound);
    if (l.s < 0) lo = larger(lo, bound);
  }
  if (r.is(Shape::monotone)) {
    const double bound = -4 * d / r.h;
    if (r.s > 0) lo = larger(lo, bound);
    if (r.s < 0) hi = smaller(hi, bound);
  }
  return smaller(larger(estimate, lo), hi);
}

// What a monotone interval asks of one of its knots: the factor on its
// curvature and the slope it may keep (oriented), to bring its demand on the
// budget down to `target`. The demand is 2 D + t, with t the curvature's
// share; the curvature goes first, then the slope.
struct Demand {
  double theta;
  double slope;  // oriented
};

Demand reduce_demand(double target, double slope, double share) {
  if (target >= 2 * slope + share) return {1, slope};
  if (target >= 2 * slope) return {share > 0 ? (target - 2 * slope) / share : 1, slope};
  return {0, target / 2};
}

// Monotone intervals: the middle Bernstein coefficient of S',
//   5 s - 2 d0 - 2 d1 - h a0 / 4 + h a1 / 4 (oriented), must not be negative.
// The demands on the budget 5 |s| are 2 d0 + max(h a0 / 4, 0) and
// 2 d1 + max(-h a1 / 4, 0); where they exceed it, the budget above the least
// each knot can take (twice its smallest slope in the box) is shared in
// proportion to what each asks beyond that least. A knot between two such
// intervals keeps the smaller of the two it is granted, so the intervals are
// taken left to right and each knot is written once both of its intervals
// have been seen: what the interval on its left grants it waits here.
class Budgets {
 public:
  explicit Budgets(double first_slope) : slope_next_(first_slope) {}

  // Interval j, between knots j and j + 1 with boxes `left` and `right`;
  // writes knot j. Inlined into the knot loop, as the boxes are.
  template <class Array>
  [[gnu::always_inline]] void interval(std::size_t j, const Side& side, const Box& left,
                                       const Box& right, Array& d, Array& a) {
    double theta = theta_next_;
    double slope = slope_next_;
    theta_next_ = 1;
    slope_next_ = d[j + 1];
    if (side.shape == Shape::monotone && side.s != 0) {
      const double sg = side.s > 0 ? 1.0 : -1.0;
      const double budget = 5 * std::fabs(side.s);
      const double d0 = sg * d[j];
      const double d1 = sg * d[j + 1];
      const double share0 = larger(sg * side.h * a[j] / 4, 0.0);
      const double share1 = larger(-sg * side.h * a[j + 1] / 4, 0.0);
      const double ask0 = 2 * d0 + share0;
      const double ask1 = 2 * d1 + share1;
      if (ask0 + ask1 > budget) {
        const double least0 = 2 * (sg > 0 ? left.lo : -left.hi);
        const double least1 = 2 * (sg > 0 ? right.lo : -right.hi);
        const double spare = budget - least0 - least1;
        const double beyond0 = ask0 - least0;
        const double beyond1 = ask1 - least1;
        double target0 = least0;
        double target1 = least1;
        if (spare > 0 && beyond0 + beyond1 > 0) {
          target0 += spare * (beyond0 / (beyond0 + beyond1));
          target1 += spare * (beyond1 / (beyond0 + beyond1));
        }
        const Demand r0 = reduce_demand(target0, d0, share0);
        const Demand r1 = reduce_demand(target1, d1, share1);
        theta = smaller(theta, r0.theta);
        theta_next_ = r1.theta;
        slope = sg > 0 ? smaller(slope, r0.slope) : larger(slope, -r0.slope);
        slope_next_ = sg * r1.slope;
      }
    }
    write(j, left, d, a, theta, slope);
  }

  // The last knot, once the last interval has been seen.
  void last(std::size_t m, const Box& box, UnfilledDoubles& d, UnfilledDoubles& a) const {
    write(m, box, d, a, theta_next_, slope_next_);
  }

 private:
  template <class Array>
  static void write(std::size_t k, const Box& box, Array& d, Array& a, double theta,
                    double slope) {
    a[k] *= theta;
    if (box.fixed == free) d[k] = slope;
  }

  double theta_next_ = 1;
  double slope_next_;
};

// Two knots' values, k and k + 1, apart from the fit's arrays: at the first
// step of a chunk other than the first, knot k belongs to the chunk before,
// which still reads it.
struct Window {
  std::size_t first;
  double v[2];
  double& operator[](std::size_t k) { return v[k - first]; }
};

// The knot loop's steps [begin, end); the first chunk starts at step 0 and
// the last ends at step n.
struct Chunk {
  std::size_t begin;
  std::size_t end;
};

// Whether no interval failed, so that the pieces tested are written, and
// whether those pieces keep their shapes.
struct Verdicts {
  bool clean = true;
  bool preserved = true;
};

// What a chunk leaves for the join.
struct ChunkResult : Verdicts {
  // The convex and concave intervals it tested that fail, in knot order.
  Vector<std::size_t> failing;
  // A chunk after the first: the final slope and curvature of knot
  // begin - 1, written after the join.
  double d_first = 0;
  double a_first = 0;
};

// The estimates at knots begin - 2 and begin - 1 of a chunk after the first,
// read before any chunk overwrites them.
struct Warmup {
  double d2;
  double a2;
  double d1;
  double a1;
};

// The join of the knot stage's chunks: the knot between each two and the
// two intervals beside it (tested, and their pieces written while none has
// failed), the failing lists in knot order, and on periodic data the
// closing knot and the intervals beside it. Returns whether none failed
// and all pieces written keep their shapes; the failing list is out's.
Verdicts join(const Samples& samples, std::span<const Shape> shapes,
              std::span<const Chunk> chunks, std::vector<ChunkResult>& results, bool write,
              bool periodic, KnotValues& out) {
  const std::span<const double> x = samples.x();
  const std::span<const double> s = samples.secants();
  const std::span<const double> h = samples.widths();
  const std::size_t m = samples.intervals();
  UnfilledDoubles& d = out.d;
  UnfilledDoubles& a = out.a;
  Verdicts joined;
  for (const ChunkResult& result : results) {
    joined.clean = joined.clean && result.clean;
    joined.preserved = joined.preserved && result.preserved;
  }
  const auto fails = [&](std::size_t i) {
    const int bending = orientation(shapes[i]);
    return bending != 0 && !keeps_bending(oriented(bending, h[i], hermite(samples, d, a, i)));
  };
  out.failing = std::move(results[0].failing);
  for (std::size_t c = 1; c < chunks.size(); ++c) {
    const std::size_t b = chunks[c].begin;
    d[b - 1] = results[c].d_first;
    a[b - 1] = results[c].a_first;
    for (const std::size_t i : {b - 2, b - 1}) {
      if (fails(i)) {
        out.failing.push_back(i);
        joined.clean = false;
      } else if (write && joined.clean) {
        joined.preserved = store_piece(out.pieces.data() + i, x[i], x[i + 1],
                                       hermite(samples, d, a, i), shapes[i], s[i], h[i], true) &&
                           joined.preserved;
      }
    }
    out.failing.insert(out.failing.end(), results[c].failing.begin(), results[c].failing.end());
  }
  if (periodic && m >= 2) {
    // The budgets of the last interval and of the first each granted the
    // closing knot a slope and a curvature factor, from the same values;
    // the knot keeps the smaller of each (both have the same sign).
    const double slope = std::fabs(d[m]) < std::fabs(d[0]) ? d[m] : d[0];
    const double bend = std::fabs(a[m]) < std::fabs(a[0]) ? a[m] : a[0];
    d[0] = d[m] = slope;
    a[0] = a[m] = bend;
    // Knot order: interval 0 first.
    if (fails(m - 1)) out.failing.push_back(m - 1);
    if (fails(0)) out.failing.insert(out.failing.begin(), 0);
  }
  return joined;
}


// Where a convex or concave interval fails, the gaps p0 and p1 of its two
// ends are usually far apart: a piece whose slope starts within p0 of its
// secant and ends p1 above it must bend in a layer about p0 h / p1 wide, with
// S'' of at least p1^2 / (2 p0 h), whatever knot is inserted. A knot shared by
// two bending intervals splits its secant change between them; moving its
// slope trades one interval's balance for the other's. The balance asked of
// interval i is max(p0, p1)^2 / min(p0, p1) <= tau_i = kBalance kappa_i h_i,
// with kappa_i the data's curvature scale there (the largest secant change
// over the narrower width, at its two knots and their neighbours), which
// bounds that S'' by a multiple of kappa_i.
constexpr double kBalance = 1;
// Sweeps over the knots near the failing intervals, alternately forwards and
// backwards; the level search's bisection steps.
constexpr int kBalanceSweeps = 2;
constexpr int kCrossingSteps = 20;
// A neighbour that did not fail may be taken up to this level (or keep a
// higher one it has) for a failing interval's sake: within it a piece
// bends with S'' of a few kappa.
constexpr double kKeptLevel = 4;
// Failing intervals whose level is below this are left as they are.
constexpr double kWorthBalancing = 4;

class Balance {
 public:
  Balance(const Samples& samples, std::span<const Shape> shapes, const Knots& knots,
          const Ends& ends, std::span<double> d, std::span<double> a,
          std::span<const std::uint8_t> failed)
      : s_(samples.secants()), h_(samples.widths()), shapes_(shapes), knots_(knots),
        ends_(ends), d_(d), a_(a), failed_(failed), m_(samples.intervals()) {}

  // Interval i's level: max(p0, p1)^2 / min(p0, p1) over its tau.
  double level(std::size_t i) const {
    const double o = orientation(shapes_[i]);
    const double p0 = o * (s_[i] - d_[i]);
    const double p1 = o * (d_[i + 1] - s_[i]);
    if (!(p0 > 0 && p1 > 0)) return p0 > 0 || p1 > 0 ? kInfinity : 0;
    return (p0 < p1 ? p1 * p1 / p0 : p0 * p0 / p1) / tau(i);
  }

  double tau(std::size_t i) const { return kBalance * kappa(i) * h_[i]; }

  // Whether knot k's slope may move: a bending interval beside it, and no
  // end knot of natural ends (settle leaves slopes its box fixes).
  bool movable(std::size_t k) const {
    if ((k == 0 || k == m_) && ends_.natural()) return false;
    const bool bends = (k > 0 && orientation(shapes_[k - 1]) != 0) ||
                       (k < m_ && orientation(shapes_[k]) != 0);
    return bends;
  }

  // Moves knot k's slope to the nearest that brings its bending intervals
  // within their balance, or else within the smallest common multiple of
  // it, keeping the budget of a monotone interval beside it; returns
  // whether the slope changed.
  // The taus of the intervals beside knot k, left and right (NaN for none),
  // which the sweeps take again and again.
  std::array<double, 2> taus(std::size_t k) const {
    const double none = std::numeric_limits<double>::quiet_NaN();
    return {k > 0 ? tau(k - 1) : none, k < m_ ? tau(k) : none};
  }

  bool settle(std::size_t k, const std::array<double, 2>& taus) {
    Constraint sides[2];
    std::size_t count = 0;
    if (k > 0) count += constrain(k - 1, true, taus[0], sides[count]);
    if (k < m_) count += constrain(k, false, taus[1], sides[count]);
    if (count == 0) return false;
    const double current = d_[k];
    double level = 0;
    for (std::size_t j = 0; j < count; ++j) {
      if (sides[j].kept == 0) level = larger(level, sides[j].level(current));
    }
    if (!(level > 1)) return false;
    const Side l = knots_.side(k - 1);
    const Side r = knots_.side(k);
    Box box = knots_.box(k, l, r);
    if (box.fixed != free) return false;
    if (k > 0 && !within_budget(k - 1, true, box)) return false;
    if (k < m_ && !within_budget(k, false, box)) return false;
    if (!(box.lo <= current && current <= box.hi)) return false;
    double lo;
    double hi;
    std::size_t failing = 0;
    const Constraint* failed = nullptr;
    for (std::size_t j = 0; j < count; ++j) {
      if (sides[j].kept == 0) {
        ++failing;
        failed = &sides[j];
      }
    }
    const bool fits = range(sides, count, box, 1, lo, hi);
    if (!fits && failing == 1) {
      // One failing side, whose level is least at p = q and grows away
      // from it: the least level the other constraints allow is at the
      // slope nearest that.
      lo = box.lo;
      hi = box.hi;
      for (std::size_t j = 0; j < count; ++j) {
        double a;
        double b;
        if (&sides[j] == failed) continue;
        if (!sides[j].slopes(0, a, b)) return false;
        lo = larger(lo, a);
        hi = smaller(hi, b);
      }
      if (!(lo <= hi)) return false;
      lo = hi = std::clamp((failed->q - failed->k0) / failed->k1, lo, hi);
    } else if (!fits) {
      // Both sides failing: the least of the larger level, which is where
      // one side's least level lies if the other is below it there, and
      // otherwise where the two levels cross between their minima. The
      // box then takes the nearest slope to it, the larger level being
      // quasi-convex in the slope.
      lo = hi = std::clamp(minimax(sides[0], sides[1]), box.lo, box.hi);
    }
    const double moved = std::clamp(current, lo, hi);
    if (moved == current) return false;
    d_[k] = moved;
    // The curvature box beside a monotone interval depends on the slope.
    a_[k] = boxed_curvature(a_[k], moved, l, r);
    return true;
  }

 private:
  // One bending interval beside the knot: its gap here is p = k0 + k1 d
  // (k1 = +-1), the other end's gap q, and its allowed tau.
  struct Constraint {
    double k0;
    double k1;
    double q;
    double tau;
    // An interval that did not fail keeps the level it has, or 1, whichever
    // is larger: it is neither made worse nor mended at a failing one's
    // expense (which would move the curve by more than the failing
    // interval asks, and not continuously in the data). 0 for a failing one.
    double kept = 0;

    double level(double slope) const {
      const double p = k0 + k1 * slope;
      if (!(p > 0)) return kInfinity;
      return (p < q ? q * q / p : p * p / q) / tau;
    }
    // The slopes meeting `level`: p within [q^2 / (L tau), sqrt(L tau q)].
    bool slopes(double level, double& lo, double& hi) const {
      const double bound = (kept > 0 ? kept : level) * tau;
      const double p_lo = q * q / bound;
      const double p_hi = std::sqrt(bound * q);
      if (!(p_lo <= p_hi)) return false;
      const double a = (p_lo - k0) / k1;
      const double b = (p_hi - k0) / k1;
      lo = smaller(a, b);
      hi = larger(a, b);
      return true;
    }
  };

  // Interval i's constraint on the knot at its left end (here_is_right
  // false) or its right end.
  bool constrain(std::size_t i, bool here_is_right, double tau, Constraint& out) const {
    const double o = orientation(shapes_[i]);
    if (o == 0) return false;
    // p1 = o (d - s) at the right end, p0 = o (s - d) at the left.
    const double q = here_is_right ? o * (s_[i] - d_[i]) : o * (d_[i + 1] - s_[i]);
    if (!(q > 0) || !(tau > 0) || !std::isfinite(tau)) return false;
    out = here_is_right ? Constraint{-o * s_[i], o, q, tau} : Constraint{o * s_[i], -o, q, tau};
    if (failed_[i] == 0) out.kept = larger(kKeptLevel, out.level(d_[here_is_right ? i + 1 : i]));
    return true;
  }

  static double minimax(const Constraint& a, const Constraint& b) {
    const double da = (a.q - a.k0) / a.k1;
    const double db = (b.q - b.k0) / b.k1;
    if (!(a.level(db) > b.level(db))) return db;
    if (!(b.level(da) > a.level(da))) return da;
    // a.level - b.level changes sign once between da and db.
    double near_a = da;
    double near_b = db;
    for (int step = 0; step < kCrossingSteps; ++step) {
      const double mid = 0.5 * (near_a + near_b);
      if (a.level(mid) > b.level(mid)) {
        near_b = mid;
      } else {
        near_a = mid;
      }
    }
    return 0.5 * (near_a + near_b);
  }

  // Narrows `box` to the slopes that keep the budget of interval i, if it
  // is monotone, with the other knot's values and this knot's curvature as
  // they are (see Budgets): 2 d0 + max(h a0 / 4, 0) + 2 d1 + max(-h a1 / 4, 0)
  // <= 5 |s|, oriented. A curvature re-boxed for a moved slope only shrinks
  // toward 0, which never raises its share. False where the budget is
  // already spent.
  bool within_budget(std::size_t i, bool here_is_right, Box& box) const {
    if (shapes_[i] != Shape::monotone || s_[i] == 0) return true;
    const double sg = s_[i] > 0 ? 1.0 : -1.0;
    const double share0 = larger(sg * h_[i] * a_[i] / 4, 0.0);
    const double share1 = larger(-sg * h_[i] * a_[i + 1] / 4, 0.0);
    const double other = here_is_right ? d_[i] : d_[i + 1];
    const double bound = (5 * std::fabs(s_[i]) - share0 - share1 - 2 * sg * other) / 2;
    if (!(bound >= 0)) return false;
    if (sg > 0) box.hi = smaller(box.hi, bound);
    if (sg < 0) box.lo = larger(box.lo, -bound);
    return box.lo <= box.hi;
  }

  // The slopes of the box meeting `level` on every side.
  static bool range(const Constraint* sides, std::size_t count, const Box& box, double level,
                    double& lo, double& hi) {
    lo = box.lo;
    hi = box.hi;
    for (std::size_t j = 0; j < count; ++j) {
      double a;
      double b;
      if (!sides[j].slopes(level, a, b)) return false;
      lo = larger(lo, a);
      hi = smaller(hi, b);
    }
    return lo <= hi;
  }

  // The data's curvature scale on interval i: the largest secant change over
  // the narrower width at its knots and their neighbours.
  double kappa(std::size_t i) const {
    double scale = 0;
    for (std::size_t k = i == 0 ? 0 : i - 1; k <= i + 2 && k <= m_; ++k) {
      if (k == 0 || k == m_) continue;
      scale = larger(scale, std::fabs(s_[k] - s_[k - 1]) / smaller(h_[k - 1], h_[k]));
    }
    return scale;
  }

  std::span<const double> s_;
  std::span<const double> h_;
  std::span<const Shape> shapes_;
  const Knots& knots_;
  Ends ends_;
  std::span<double> d_;
  std::span<double> a_;
  std::span<const std::uint8_t> failed_;
  std::size_t m_;
};

// The knot pass works in blocks of this many steps: the intervals of a block
// are tested after it, and a chunk is made of whole blocks.
constexpr std::size_t kBlock = 64;

// Long data are split into chunks of whole blocks of inner steps, each run
// on a thread of its own. A chunk after the first recomputes the two knots
// before it from their estimates (their boxes and budget), which gives the
// same numbers as the chunk before computes for them; the final values of
// the knot between the chunks, and the two intervals beside it, wait for the
// join.
std::vector<Chunk> plan_chunks(std::size_t n) {
  const std::size_t m = n - 1;
  std::vector<Chunk> chunks;
  const std::size_t threads = m >= 6 + 4 * kBlock ? parallel::threads_for(n) : 1;
  std::size_t begin = 0;
  for (std::size_t c = 1; c < threads; ++c) {
    const std::size_t at = 4 + parallel::chunk_begin(m - 5, threads, c) / kBlock * kBlock;
    if (at < 8 || at < begin + 2 * kBlock || at + 2 * kBlock > m) continue;
    chunks.push_back({begin, at});
    begin = at;
  }
  chunks.push_back({begin, n});
  return chunks;
}

// The bending tests of the intervals of one chunk, in runs of at most
// kBlock, as the knot pass makes their knots final.
//
// Whether interval i keeps its bending, recorded in `failing` if not. Each
// interval is tested once its knots are final, every kBlock steps, in a loop
// of its own after the steps (in the step itself the test crowded the
// registers of the step's own work). A tested interval's index is written
// whatever the outcome and kept by counting it, so that no branch depends on
// the outcome: the list is grown ahead of each run of tests (`room`) and cut
// to its length at the end.
//
// While pieces are written and none has failed (smooth data), each
// interval's piece is written in the same loop, while its knots are still in
// the caches, and the test takes its shortest way, whose branches are then
// predicted.
//
// Otherwise (rough data) the convex and concave intervals of the run are
// listed first and tested alone, with the coefficients' own tests combined
// without branches, and a piece they leave open is listed as failing until
// its exact minimum, taken for all the open pieces of the run at its end
// (`settle`), says otherwise: one at a time, each minimum's chain of
// divisions and a square root held up the loop; taken together, the chains
// of different pieces overlap. Both ways give every interval the same
// verdict.
//
// On periodic data knot 0 is final only once knot m is: interval 0 is tested
// after the chunks, and no piece is written.
class IntervalTests {
 public:
  // `pieces` null: none written. `tested`: the first interval to test.
  IntervalTests(const Samples& samples, std::span<const Shape> shapes, const UnfilledDoubles& d,
                const UnfilledDoubles& a, QuinticPiece* pieces, Vector<std::size_t>& failing,
                std::size_t tested)
      : samples_(samples), shapes_(shapes), h_(samples.widths()), x_(samples.x()),
        s_(samples.secants()), d_(d), a_(a), pieces_(pieces), failing_(failing), tested_(tested) {}

  // Every interval before `end`, whose knots are final.
  void before(std::size_t end) {
    while (tested_ < end) {
      const std::size_t stop = std::min(end, tested_ + kBlock);
      room(stop - tested_);
      if (pieces_ != nullptr && failed_ == 0) {
        test_writing(stop);
      } else {
        test_rough_run(stop);
      }
    }
  }

  void finish(ChunkResult& result) {
    failing_.resize(failed_);
    result.clean = failed_ == 0;
    result.preserved = preserved_;
  }

 private:
  struct Open {
    std::size_t position;  // in `failing`
    Bernstein c;
  };

  void room(std::size_t tests) {
    if (failing_.size() < failed_ + tests) {
      failing_.resize(std::max(2 * failing_.size(), failed_ + tests));
    }
  }
  __attribute__((always_inline)) void record(std::size_t i, bool fails) {
    failing_[failed_] = i;
    failed_ += fails ? 1 : 0;
  }
  __attribute__((always_inline)) void test(std::size_t i, const Hermite& e) {
    const int bending = orientation(shapes_[i]);
    record(i, bending != 0 && !keeps_bending(oriented(bending, h_[i], e)));
  }
  // Convex or concave interval i on rough data.
  __attribute__((always_inline)) void test_rough(std::size_t i) {
    const Bend b = oriented(orientation(shapes_[i]), h_[i], hermite(samples_, d_, a_, i));
    const Bernstein c = bernstein(b);
    if (!(c.scale <= kLargeScale)) {
      record(i, !keeps_bending_closely(b, c));
      return;
    }
    const bool passes = all_above_floor(c);
    open_[opened_] = {failed_, c};
    opened_ += (!passes & !dips(c)) ? 1 : 0;
    record(i, !passes);
  }
  // The open pieces of the run whose list entries start at `from`: those
  // that pass are taken out of the list, which keeps its order.
  void settle(std::size_t from) {
    if (opened_ == 0) return;
    for (std::size_t p = 0; p < opened_; ++p) {
      passes_[open_[p].position - from] = minimum_keeps_bending(open_[p].c);
    }
    std::size_t kept = open_[0].position;
    for (std::size_t j = kept; j < failed_; ++j) {
      const bool keep = !passes_[j - from];
      passes_[j - from] = false;
      failing_[kept] = failing_[j];
      kept += keep ? 1 : 0;
    }
    failed_ = kept;
    opened_ = 0;
  }
  // Runs of at most kBlock intervals, up to `stop`: with pieces, and alone.
  void test_writing(std::size_t stop) {
    for (; tested_ < stop; ++tested_) {
      const std::size_t i = tested_;
      const Hermite e = hermite(samples_, d_, a_, i);
      test(i, e);
      if (failed_ != 0) continue;
      preserved_ = store_piece(pieces_ + i, x_[i], x_[i + 1], e, shapes_[i], s_[i], h_[i], true) &&
                   preserved_;
    }
  }
  void test_rough_run(std::size_t stop) {
    std::array<std::size_t, kBlock> bent;
    std::size_t count = 0;
    for (std::size_t i = tested_; i < stop; ++i) {
      bent[count] = i;
      count += orientation(shapes_[i]) != 0 ? 1 : 0;
    }
    const std::size_t from = failed_;
    for (std::size_t j = 0; j < count; ++j) test_rough(bent[j]);
    settle(from);
    tested_ = stop;
  }

  const Samples& samples_;
  std::span<const Shape> shapes_;
  std::span<const double> h_;
  std::span<const double> x_;
  std::span<const double> s_;
  const UnfilledDoubles& d_;
  const UnfilledDoubles& a_;
  QuinticPiece* pieces_;
  Vector<std::size_t>& failing_;
  std::size_t tested_;
  std::size_t failed_ = 0;
  bool preserved_ = true;
  std::array<Open, kBlock> open_;
  std::size_t opened_ = 0;
  std::array<bool, kBlock> passes_{};
};

}  // namespace

KnotValues knot_values(const Samples& samples, const Classes& classes,
                       std::span<const Shape> shapes, Estimates estimates, const Ends& ends,
                       bool write_pieces) {
  const std::size_t n = samples.size();
  const std::size_t m = n - 1;
  const std::span<const double> s = samples.secants();
  const Knots knots(samples, classes, shapes, ends);
  const bool periodic = ends.periodic();
  // The estimates are replaced knot by knot; each knot's own estimate is
  // read before its slope is written, and the end rule keeps the end
  // estimates apart.
  KnotValues out{std::move(estimates.slope), std::move(estimates.curvature), {}, {}, false, true};
  UnfilledDoubles& d = out.d;
  UnfilledDoubles& a = out.a;
  const double first_estimate = d[0];
  const double last_estimate = d[m];
  const bool end_rule = (ends.kind == Ends::Kind::boxed || ends.natural()) && n >= 3;
  const std::span<const double> h = samples.widths();
  const std::span<const double> x = samples.x();
  const bool write = write_pieces && !periodic;
  // Written in place, by every chunk on its own intervals; its elements are
  // left uninitialized, so that rough data, where an interval fails early
  // and the pieces are dropped, touch little of it.
  if (write) out.pieces.resize(m);
  QuinticPiece* const pieces = out.pieces.data();
  const std::vector<Chunk> chunks = plan_chunks(n);
  std::vector<Warmup> warmups(chunks.size());
  for (std::size_t c = 1; c < chunks.size(); ++c) {
    const std::size_t b = chunks[c].begin;
    warmups[c] = {d[b - 2], a[b - 2], d[b - 1], a[b - 1]};
  }
  std::vector<ChunkResult> results(chunks.size());

  const auto run = [&](const Chunk chunk, const Warmup& warmup, ChunkResult& result) {
    const bool first_chunk = chunk.begin == 0;
    const bool last_chunk = chunk.end == n;
    // Both inlined into the knot loop: a call per knot costs as much as
    // their work.
    const auto curvature = [&](std::size_t k, const Box& box, const Side& l, const Side& r)
                               __attribute__((always_inline)) {
      const bool free_end = ends.natural() && (k == 0 || k == m);
      a[k] = box.fixed == zero || free_end ? 0.0 : boxed_curvature(a[k], d[k], l, r);
    };
    IntervalTests tests(samples, shapes, d, a, write ? pieces : nullptr, result.failing,
                        first_chunk ? (periodic ? 1 : 0) : chunk.begin);
    const auto test_before = [&](std::size_t end) { tests.before(end); };

    // One pass, knot k at step k: its slope needs its neighbours' boxes, its
    // curvature its slope, and the budget of interval k - 1 both of its
    // knots' slopes and curvatures, after which knot k - 1 is final and
    // interval k - 2 could be tested (it is tested a step later). The end
    // knots' slopes wait for their neighbours' (the end rule), so knot 0 is
    // completed at step 1 and knot m at step m.
    // On periodic data the sides and boxes wrap, so that knot m is computed
    // from the same numbers as knot 0 and comes out the same; the two budgets
    // beside it are joined after the chunks.
    Side left = periodic ? knots.side(m - 1) : Side{};
    Side right = knots.side(0);
    Box before = periodic ? knots.box(m - 1, knots.side(m - 2), left) : Box{};
    Box here = knots.box(0, left, right);
    Box first;
    Budgets budgets(0);
    // Step k. Inner steps (4 <= k < m - 1) have both sides and the next one,
    // none of them wrapped, a next knot that is no end, and no end rule to
    // apply: compiled apart, with those tests decided.
    const auto step = [&]<bool Inner>(std::size_t k) __attribute__((always_inline)) {
      const Side next = Inner ? knots.inner_side(k + 1) : knots.side(k + 1);
      const Box after = Inner               ? knots.box<true>(k + 1, right, next)
                        : k < m || periodic ? knots.box(k + 1, right, next)
                                            : Box{};
      d[k] = limited_slope(d[k], here, left, right, before, after);
      if (Inner) {
        a[k] = here.fixed == zero ? 0.0 : boxed_curvature(a[k], d[k], left, right);
        budgets.interval(k - 1, left, before, here, d, a);
      } else if (k == 0) {
        first = here;
      } else {
        if (k == 1) {
          if (end_rule) {
            const int bending = orientation(shapes[0]);
            d[0] = end_slope(first_estimate, d[0], first, s[0], bending,
                             bending * (d[1] - s[0]), true, ends.natural());
          }
          curvature(0, first, periodic ? knots.side(m - 1) : Side{}, left);
          budgets = Budgets(d[0]);
        }
        if (k == m && end_rule) {
          const int bending = orientation(shapes[m - 1]);
          d[m] = end_slope(last_estimate, d[m], here, s[m - 1], bending,
                           bending * (s[m - 1] - d[m - 1]), false, ends.natural());
        }
        curvature(k, here, left, right);
        budgets.interval(k - 1, left, before, here, d, a);  // knot k - 1 is final
      }
      left = right;
      right = next;
      before = here;
      here = after;
    };
    std::size_t k = chunk.begin;
    if (first_chunk) {
      for (; k < n && k < 4; ++k) step.template operator()<false>(k);
      if (k == 4 && m >= 6) {
        // The same sides, known to exist.
        left = knots.inner_side(k - 1);
        right = knots.inner_side(k);
      }
    } else {
      // Knots k - 2 and k - 1 up to their budget, on their own: the state
      // the chunk before leaves at knot k.
      const Side s4 = knots.inner_side(k - 4);
      const Side s3 = knots.inner_side(k - 3);
      const Side s2 = knots.inner_side(k - 2);
      left = knots.inner_side(k - 1);
      right = knots.inner_side(k);
      const Box b3 = knots.box<true>(k - 3, s4, s3);
      const Box b2 = knots.box<true>(k - 2, s3, s2);
      before = knots.box<true>(k - 1, s2, left);
      here = knots.box<true>(k, left, right);
      const double d2 = limited_slope(warmup.d2, b2, s3, s2, b3, before);
      const double a2 = b2.fixed == zero ? 0.0 : boxed_curvature(warmup.a2, d2, s3, s2);
      const double d1 = limited_slope(warmup.d1, before, s2, left, b2, here);
      const double a1 = before.fixed == zero ? 0.0 : boxed_curvature(warmup.a1, d1, s2, left);
      Window wd{k - 2, {d2, d1}};
      Window wa{k - 2, {a2, a1}};
      budgets.interval(k - 2, s2, b2, before, wd, wa);
      // Step k, with knot k - 1's values from the window.
      const Side next = knots.inner_side(k + 1);
      const Box after = knots.box<true>(k + 1, right, next);
      d[k] = limited_slope(d[k], here, left, right, before, after);
      a[k] = here.fixed == zero ? 0.0 : boxed_curvature(a[k], d[k], left, right);
      Window wd1{k - 1, {d1, d[k]}};
      Window wa1{k - 1, {a1, a[k]}};
      budgets.interval(k - 1, left, before, here, wd1, wa1);
      result.d_first = wd1[k - 1];
      result.a_first = wa1[k - 1];
      left = right;
      right = next;
      before = here;
      here = after;
      ++k;
    }
    if (k >= 4 && m >= 6) {
      const std::size_t inner_end = last_chunk ? m - 1 : chunk.end;
      while (k < inner_end) {
        const std::size_t end = std::min(k + kBlock, inner_end);
        for (; k < end; ++k) step.template operator()<true>(k);
        test_before(k - 3);  // knots up to k - 2 are final
      }
    }
    if (last_chunk) {
      for (; k < n; ++k) step.template operator()<false>(k);
      test_before(m - 1);
      budgets.last(m, before, d, a);
      if (!periodic) test_before(m);
    } else {
      test_before(chunk.end - 2);
    }
    tests.finish(result);
  };
  parallel::for_chunks(chunks.size(),
                       [&](std::size_t c) { run(chunks[c], warmups[c], results[c]); });

  const Verdicts joined = join(samples, shapes, chunks, results, write, periodic, out);
  out.has_pieces = write && joined.clean && out.failing.empty();
  out.shape_preserved = joined.preserved;
  if (!out.has_pieces) out.pieces = {};
  return out;
}

void balance_failing(const Samples& samples, const Classes& classes,
                     std::span<const Shape> shapes, const Ends& ends, KnotValues& values) {
  // On periodic data every order of the sweeps depends on where the period
  // starts, and the fit must not: such fits keep the knot stage's slopes.
  if (values.failing.empty() || ends.periodic()) return;
  const std::size_t m = samples.intervals();
  const Knots knots(samples, classes, shapes, ends);
  std::vector<std::uint8_t> failed(m, 0);
  Balance balance(samples, shapes, knots, ends, values.d, values.a, failed);
  // The knots of the failing intervals far out of balance, in order: one
  // within kWorthBalancing of it bends, with a knot inserted, within a few
  // times kappa already.
  std::vector<std::size_t> movable;
  for (const std::size_t i : values.failing) {
    if (!(balance.level(i) > kWorthBalancing)) continue;
    failed[i] = 1;
    for (const std::size_t k : {i, i + 1}) {
      if ((movable.empty() || movable.back() < k) && balance.movable(k)) movable.push_back(k);
    }
  }
  std::vector<std::uint8_t> moved(m + 1, 0);
  bool any = false;
  std::vector<std::array<double, 2>> taus(movable.size());
  for (std::size_t j = 0; j < movable.size(); ++j) taus[j] = balance.taus(movable[j]);
  for (int sweep = 0; sweep < kBalanceSweeps; ++sweep) {
    bool changed = false;
    for (std::size_t n = 0; n < movable.size(); ++n) {
      const std::size_t j = sweep % 2 == 0 ? n : movable.size() - 1 - n;
      const std::size_t k = movable[j];
      // After the first sweep a knot can only move if a neighbour has.
      if (sweep > 0 && !(k > 0 && moved[k - 1] != 0) && !(k < m && moved[k + 1] != 0)) continue;
      if (balance.settle(k, taus[j])) {
        moved[k] = 1;
        changed = true;
      }
    }
    any = any || changed;
    if (!changed) break;
  }
  if (!any) return;
  // Every bending interval beside a moved knot is tested again; the others
  // keep their verdicts. Both lists are in knot order, and so is the merge.
  std::vector<std::size_t> retest;
  for (const std::size_t k : movable) {
    if (moved[k] == 0) continue;
    for (const std::size_t i : {k - 1, k}) {
      if (k == 0 && i == k - 1) continue;
      if (i >= m || orientation(shapes[i]) == 0) continue;
      if (retest.empty() || retest.back() < i) retest.push_back(i);
    }
  }
  const Vector<std::size_t> still = failing(samples, shapes, values.d, values.a, retest);
  Vector<std::size_t> merged;
  merged.reserve(values.failing.size() + still.size());
  std::size_t r = 0;
  std::size_t t = 0;
  for (const std::size_t i : values.failing) {
    // Retested intervals before i that fail now.
    for (; r < retest.size() && retest[r] <= i; ++r) {
      if (t < still.size() && still[t] == retest[r]) {
        merged.push_back(still[t++]);
      }
    }
    const bool retested = r > 0 && retest[r - 1] == i;
    if (!retested) merged.push_back(i);
  }
  for (; t < still.size(); ++t) merged.push_back(still[t]);
  values.failing = std::move(merged);
}

}  // namespace velarix::quintic
