#include "quintic/shape.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "interpolator.hpp"
#include "parallel.hpp"

namespace velarix::quintic {
namespace {

// A change of secant slope within this fraction of the secants is rounding.
constexpr double kBendTolerance = 1e-12;
// A secant (y1 - y0) / h carries the rounding of both values: about two ulps
// of the larger one over the width.
constexpr double kSecantUlps = 2;
// and that of its width: knots given in calendar years or timestamps hold
// their positions to an ulp of |x|, so a width, exact as the difference of
// the two doubles, is the intended one only to two ulps of the larger knot.
// The secant then carries that share of itself.
constexpr double kKnotUlps = 2;

using Lanes = std::uint64_t __attribute__((vector_size(16)));

// |v| in each lane.
Pair magnitude(Pair v) {
  constexpr std::uint64_t all_but_sign = 0x7fffffffffffffff;
  return std::bit_cast<Pair>(std::bit_cast<Lanes>(v) & Lanes{all_but_sign, all_but_sign});
}

// The spacing of the doubles at |v| (the power of two of its exponent times
// 2^-52), at least the smallest subnormal; infinite for infinities and NaN.
Pair ulp_of(Pair v) {
  constexpr std::uint64_t exponent_bits = 0x7ff0000000000000;
  const Pair power = std::bit_cast<Pair>(std::bit_cast<Lanes>(v) & Lanes{exponent_bits, exponent_bits});
  const Pair spacing = power * 0x1p-52;
  constexpr double least = std::numeric_limits<double>::denorm_min();
  return spacing > 0 ? spacing : Pair{least, least};
}

// The bends at two knots, one a lane: lane j's knot lies between intervals
// l[j] and r[j] (r = l + 1, or on periodic data l = m - 1 and r = 0 about
// the knot that closes the period). Two neighbouring knots at once halve the
// arithmetic of the pass over the data; a single knot takes both lanes.
[[gnu::always_inline]] inline std::array<int, 2> bends(const Samples& samples,
                                                       std::array<std::size_t, 2> l,
                                                       std::array<std::size_t, 2> r) {
  const std::span<const double> s = samples.secants();
  const std::span<const double> h = samples.widths();
  const std::span<const double> y = samples.y();
  const auto lanes = [](std::span<const double> v, std::array<std::size_t, 2> at,
                        std::size_t after = 0) { return Pair{v[at[0] + after], v[at[1] + after]}; };
  const Pair change = lanes(s, r) - lanes(s, l);
  const Pair size = magnitude(change);
  const Pair secants = kBendTolerance * (magnitude(lanes(s, l)) + magnitude(lanes(s, r)));
  // The largest |v| at the knot and its two neighbours, lane by lane.
  const auto largest = [&](std::span<const double> v) {
    Pair out = magnitude(lanes(v, l));
    const Pair middle = magnitude(lanes(v, r));
    out = middle > out ? middle : out;
    const Pair next = magnitude(lanes(v, r, 1));
    return next > out ? next : out;
  };
  const Pair rounding = kSecantUlps * ulp_of(largest(y));
  const Pair hl = lanes(h, l);
  const Pair hr = lanes(h, r);
  const Pair placed = kKnotUlps * ulp_of(largest(samples.x()));
  // tolerance = secants + rounding (1 / h[l] + 1 / h[r])
  //             + placed (|s[l]| / h[l] + |s[r]| / h[r]),
  // compared after multiplying through by both widths, which saves the
  // divisions. The last term is negligible for knots near 0 and makes the test
  // the same for the data shifted anywhere: a bend below the rounding the
  // shifted knots carry is none.
  const Pair product = hl * hr;
  const Pair moved = placed * (magnitude(lanes(s, l)) * hr + magnitude(lanes(s, r)) * hl);
  const auto bent = size * product > secants * product + rounding * (hl + hr) + moved;
  const auto up = change > 0;
  std::array<int, 2> out;
  for (std::size_t j = 0; j < 2; ++j) out[j] = bent[j] == 0 ? 0 : up[j] != 0 ? 1 : -1;
  return out;
}

int bend_of(const Samples& samples, std::size_t l, std::size_t r) {
  return bends(samples, {l, l}, {r, r})[0];
}

// Marks the intervals beside the collinear knots [k, end) straight, unless
// they are flat.
void mark_straight(Classes& c, std::size_t k, std::size_t end) {
  const std::size_t m = c.shape.size();
  for (std::size_t j = k; j < end; ++j) {
    if (j > 0 && c.shape[j - 1] != Shape::flat) c.straight[j - 1] = 1;
    if (j < m && c.shape[j] != Shape::flat) c.straight[j] = 1;
  }
}

}  // namespace

int bend_at(const Samples& samples, std::size_t k) { return bend_of(samples, k - 1, k); }

Classes classify(const Samples& samples, bool periodic_data) {
  const std::size_t n = samples.size();
  // Two points of periodic data are one flat interval, with no knot between.
  const bool periodic = periodic_data && n >= 3;
  const std::size_t m = n - 1;
  const std::span<const double> y = samples.y();
  Classes c{Vector<std::int8_t>(n, 0), Vector<Shape>(m, Shape::monotone),
            Vector<std::uint8_t>(m, 0)};
  // The bends and the shapes are each a pass of their own over chunks of
  // the knots, one thread each (a knot's bend and an interval's shape
  // depend on the data beside it alone).
  const std::size_t threads = parallel::threads_for(n);
  const auto chunk = [&](std::size_t c, std::size_t count) {
    return std::pair{parallel::chunk_begin(count, threads, c),
                     parallel::chunk_begin(count, threads, c + 1)};
  };
  if (n >= 3) {
    parallel::for_chunks(threads, [&](std::size_t part) {
      const auto [from, to] = chunk(part, n - 1);
      std::size_t k = std::max<std::size_t>(from, 1);
      for (; k + 1 < to; k += 2) {
        const std::array<int, 2> two = bends(samples, {k - 1, k}, {k, k + 1});
        c.bend[k] = static_cast<std::int8_t>(two[0]);
        c.bend[k + 1] = static_cast<std::int8_t>(two[1]);
      }
      for (; k < to; ++k) c.bend[k] = static_cast<std::int8_t>(bend_of(samples, k - 1, k));
    });
    if (periodic) {
      c.bend[0] = c.bend[n - 1] = static_cast<std::int8_t>(bend_of(samples, m - 1, 0));
    } else {
      c.bend[0] = c.bend[1];
      c.bend[n - 1] = c.bend[n - 2];
    }
  }
  // In arithmetic, without branches, which on rough data go either way.
  parallel::for_chunks(threads, [&](std::size_t part) {
    const auto [from, to] = chunk(part, m);
    for (std::size_t i = from; i < to; ++i) {
      const int bend = c.bend[i];
      const int same = -static_cast<int>(bend == c.bend[i + 1]);  // all ones, or 0
      const int bent = bend & same;                                // the bend, or 0
      // A rise of exactly 0 (equal finite values; infinities give NaN).
      const int flat = static_cast<int>(y[i + 1] - y[i] == 0);
      c.shape[i] = static_cast<Shape>(bent + flat * (static_cast<int>(Shape::flat) - bent));
    }
  });
  // A run of collinear knots lies on a straight stretch when it reaches an
  // end of the data or the knots flanking it bend the same way: the curve
  // bends one way across it, so it must be straight along it. (Between knots
  // bending opposite ways the run is an inflection, which needs no line.)
  // The runs are found left to right, each one's right flank looked up once.
  // On periodic data a run through the closing knot is the one run
  // [first, m] + [0, last), flanked by knots first - 1 and last; runs that
  // reach no end are the others.
  std::size_t k = 0;
  std::size_t stop = n;
  if (periodic && c.bend[0] == 0) {
    std::size_t last = 0;
    while (last < n && c.bend[last] == 0) ++last;
    if (last == n) {  // every knot collinear: one straight closed line
      mark_straight(c, 0, n);
      return c;
    }
    std::size_t first = m;
    while (c.bend[first - 1] == 0) --first;
    if (c.bend[first - 1] == c.bend[last]) {
      mark_straight(c, first, n);
      mark_straight(c, 0, last);
    }
    k = last;
    stop = first;
  }
  while (k < stop) {
    if (c.bend[k] != 0) {
      ++k;
      continue;
    }
    std::size_t end = k;
    while (end < n && c.bend[end] == 0) ++end;
    const bool at_end = !periodic && (k == 0 || end == n);
    if (at_end || c.bend[k - 1] == c.bend[end]) mark_straight(c, k, end);
    k = end;
  }
  return c;
}

}  // namespace velarix::quintic
