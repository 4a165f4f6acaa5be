#include "quintic/estimates.hpp"

#include <algorithm>
#include <array>

#include "interpolator.hpp"
#include "parallel.hpp"

namespace velarix::quintic {
namespace {

// The Newton form of the polynomial through the p points ending at node i,
// taken from node i backwards:
//   P(z) = y_i + sum_{j=1}^{p-1} f[x_i .. x_{i-j}] prod_{l<j} (z - x_{i-l}),
// whose divided differences are the anti-diagonal of the table at node i.
// Only differences of knots and the secants (differences of values) enter,
// so a large offset in x or y costs nothing: the polynomial is in effect
// taken in coordinates shifted to the knot.
template <std::size_t P>
struct Diagonal {
  std::array<double, P> f{};  // f[j] = f[x_{i-j} .. x_i]; f[0] unused

  // The next node's anti-diagonal, from this one:
  //   f[x_{i-j} .. x_i] = (f[x_{i-j+1} .. x_i] - f[x_{i-j} .. x_{i-1}]) / (x_i - x_{i-j}),
  // for orders up to `depth` (the nodes there are so far). The reciprocals
  // of the widths do not depend on each other, so the chain from one order
  // to the next is a subtraction and a product.
  template <bool Full>
  Diagonal next(std::span<const double> x, double secant, std::size_t i, std::size_t depth) const {
    Diagonal d;
    d.f[1] = secant;
    std::array<double, P> reciprocal{};
#pragma GCC unroll 8
    for (std::size_t j = 2; j < P; ++j) {
      if (Full || j <= depth) reciprocal[j] = 1 / (x[i] - x[i - j]);
    }
#pragma GCC unroll 8
    for (std::size_t j = 2; j < P; ++j) {
      if (Full || j <= depth) d.f[j] = (d.f[j - 1] - f[j - 1]) * reciprocal[j];
    }
    return d;
  }

  // P'(x_k) and P''(x_k): the products prod_{l<j} (z - x_{i-l}) and their
  // first two derivatives at z = x_k, one factor u = x_k - x_{i-l} at a time.
  template <bool Full>
  void derivatives(std::span<const double> x, std::size_t i, std::size_t k, std::size_t points,
                   Estimates& out) const {
    double product = 1;
    double first = 0;
    double second = 0;
    double d = 0;
    double a = 0;
#pragma GCC unroll 8
    for (std::size_t j = 1; j < P; ++j) {
      if (!Full && j >= points) break;
      const double u = x[k] - x[i - (j - 1)];
      second = second * u + 2 * first;
      first = first * u + product;
      product *= u;
      d += f[j] * first;
      a += f[j] * second;
    }
    out.slope[k] = d;
    out.curvature[k] = a;
  }

  // Nodes i and i + 1 at once, lane by lane, with the knots k and k + 1
  // they serve (full windows only): this node's diagonal is node i - 1's,
  // and the result is node i + 1's. Each lane does the arithmetic of next()
  // and derivatives() for its node in the same order, so it holds the same
  // bits; node i + 1's differences take node i's from the other lane.
  Diagonal next_two(std::span<const double> x, std::span<const double> s, std::size_t i,
                    std::size_t k, Estimates& out) const {
    std::array<Pair, P> f2{};
    f2[1] = Pair{s[i - 1], s[i]};
    const Pair here = load(x, i);
    std::array<Pair, P> reciprocal{};
#pragma GCC unroll 8
    for (std::size_t j = 2; j < P; ++j) reciprocal[j] = 1 / (here - load(x, i - j));
#pragma GCC unroll 8
    for (std::size_t j = 2; j < P; ++j) {
      const Pair before = {f[j - 1], f2[j - 1][0]};
      f2[j] = (f2[j - 1] - before) * reciprocal[j];
    }
    const Pair at = load(x, k);
    Pair product = {1, 1};
    Pair first = {0, 0};
    Pair second = {0, 0};
    Pair d = {0, 0};
    Pair a = {0, 0};
#pragma GCC unroll 8
    for (std::size_t j = 1; j < P; ++j) {
      const Pair u = at - load(x, i - (j - 1));
      second = second * u + 2 * first;
      first = first * u + product;
      product *= u;
      d += f2[j] * first;
      a += f2[j] * second;
    }
    out.slope[k] = d[0];
    out.slope[k + 1] = d[1];
    out.curvature[k] = a[0];
    out.curvature[k + 1] = a[1];
    Diagonal after;
    for (std::size_t j = 1; j < P; ++j) after.f[j] = f2[j][1];
    return after;
  }

 private:
  static Pair load(std::span<const double> x, std::size_t i) { return Pair{x[i], x[i + 1]}; }
};

// Every knot's estimates from the polynomial through the `points` <= P
// nearest data points: left to right, the window ending at node i serves
// the knot points / 2 nodes back, and at the ends every knot nearer to its
// end than that, so the knots come in order. Full windows (points == P)
// come in chunks of nodes [begin, end): the first chunk starts with the
// windows still filling, the last ends with the right end's knots, and a
// chunk after the first starts P - 1 nodes early without serving their
// knots (a difference of order j at a node is made of the j nodes before
// it, so by its first node the diagonal holds the same bits as the chunk
// before computes there).
template <std::size_t P>
void estimate_with(std::span<const double> x, std::span<const double> s, std::size_t points,
                   Estimates& out, std::size_t begin, std::size_t end) {
  const std::size_t n = x.size();
  Diagonal<P> diagonal;
  // Until the window is full, and at the right end, every knot nearer to
  // the end than the window's centre; in between the window ending at node
  // i serves the knot points / 2 nodes back alone.
  const auto serve = [&](std::size_t i) {
    const std::size_t start = i + 1 - points;
    const std::size_t centre = start + points / 2;
    const std::size_t first = start == 0 ? 0 : centre;
    const std::size_t last = i == n - 1 ? n - 1 : centre;
    for (std::size_t k = first; k <= last; ++k) {
      diagonal.template derivatives<false>(x, i, k, points, out);
    }
  };
  std::size_t i = 1;
  if (begin == 0) {
    for (; i < n && i < points; ++i) {
      diagonal = diagonal.template next<false>(x, s[i - 1], i, std::min(i, points - 1));
      if (i + 1 >= points) serve(i);
    }
  } else {
    for (i = begin - (P - 1); i < begin; ++i) {
      diagonal = diagonal.template next<true>(x, s[i - 1], i, P - 1);
    }
  }
  if (points == P) {
    const std::size_t offset = P - 1 - P / 2;
    const std::size_t stop = std::min(end, n - 1);
    // Two nodes a step: the pairs halve the arithmetic, which bounds this
    // loop.
    for (; i + 1 < stop; i += 2) diagonal = diagonal.next_two(x, s, i, i - offset, out);
    for (; i < stop; ++i) {
      diagonal = diagonal.template next<true>(x, s[i - 1], i, P - 1);
      const std::size_t k = i - offset;
      diagonal.template derivatives<true>(x, i, k, P, out);
    }
  }
  if (end < n) return;
  for (; i < n; ++i) {
    diagonal = diagonal.template next<false>(x, s[i - 1], i, points - 1);
    serve(i);
  }
}

// All knots' estimates, long data in chunks of nodes, one thread each.
template <std::size_t P>
void estimate_in_chunks(std::span<const double> x, std::span<const double> s,
                        std::size_t points, Estimates& out) {
  const std::size_t n = x.size();
  const std::size_t threads = points == P ? parallel::threads_for(n) : 1;
  parallel::for_chunks(threads, [&](std::size_t c) {
    estimate_with<P>(x, s, points, out, parallel::chunk_begin(n, threads, c),
                     parallel::chunk_begin(n, threads, c + 1));
  });
}

// The estimates at the knots of the points x (with the secants s between
// them) from `stencil` points (the first or last ones at the ends).
Estimates estimate_points(std::span<const double> x, std::span<const double> s,
                          std::size_t stencil) {
  const std::size_t n = x.size();
  const std::size_t points = std::min(stencil, n);
  // Written by index: appended, each write would go through the arrays'
  // ends in memory, one after the other.
  Estimates out{UnfilledDoubles(n), UnfilledDoubles(n)};
  // The table's size fixed at compile time, so that its loops unroll.
  if (points <= 3) {
    estimate_in_chunks<3>(x, s, points, out);
  } else if (points <= 5) {
    estimate_in_chunks<5>(x, s, points, out);
  } else {
    estimate_in_chunks<7>(x, s, std::min<std::size_t>(points, 7), out);
  }
  return out;
}

// The knots within stencil / 2 of the closing knot of periodic data, from
// the window of points j = -2 w .. 2 w about it (w = stencil / 2; point j is
// knot j mod m, a period earlier for j < 0, possibly more on few knots), in
// which each of them has its stencil centred. The abscissas are offsets
// from the closing knot, made of the data's own differences (so that the
// window is increasing however far the data lie from 0), and the secants
// are the data's.
void wrap_estimates(const Samples& samples, std::size_t stencil, Estimates& out) {
  const std::span<const double> x = samples.x();
  const std::span<const double> s = samples.secants();
  const std::size_t m = samples.intervals();
  const std::size_t w = stencil / 2;
  const double period = x[m] - x[0];
  Doubles u(4 * w + 1);
  Doubles secants(4 * w);
  const auto knot = [&](std::ptrdiff_t j) {
    const std::ptrdiff_t r = j % static_cast<std::ptrdiff_t>(m);
    return static_cast<std::size_t>(r < 0 ? r + static_cast<std::ptrdiff_t>(m) : r);
  };
  for (std::size_t p = 0; p < u.size(); ++p) {
    const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(p) - static_cast<std::ptrdiff_t>(2 * w);
    // j = q m + r with 0 <= r < m: x[r] + q P, as (x[r] - x[0]) + q P, and
    // a period earlier as -(x[m] - x[r]) + (q + 1) P.
    const std::size_t r = knot(j);
    const std::ptrdiff_t q = (j - static_cast<std::ptrdiff_t>(r)) / static_cast<std::ptrdiff_t>(m);
    u[p] = q < 0 ? -(x[m] - x[r]) + static_cast<double>(q + 1) * period
                 : (x[r] - x[0]) + static_cast<double>(q) * period;
    if (p + 1 < u.size()) secants[p] = s[r];
  }
  const Estimates near = estimate_points(u, secants, stencil);
  for (std::size_t p = w; p <= 3 * w; ++p) {
    const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(p) - static_cast<std::ptrdiff_t>(2 * w);
    // Knots [0, w] take j >= 0 and the others near the end j < 0 (on few
    // knots j >= 0 comes later and wins); a j a whole period or more away
    // repeats a knot of j nearer 0, and knot m is knot 0.
    if (j <= -static_cast<std::ptrdiff_t>(m) || j >= static_cast<std::ptrdiff_t>(m)) continue;
    const std::size_t k = knot(j);
    out.slope[k] = near.slope[p];
    out.curvature[k] = near.curvature[p];
  }
  out.slope[m] = out.slope[0];
  out.curvature[m] = out.curvature[0];
}

}  // namespace

Estimates estimate(const Samples& samples, std::size_t stencil, bool periodic) {
  Estimates out = estimate_points(samples.x(), samples.secants(), stencil);
  if (periodic && samples.size() >= 3) wrap_estimates(samples, stencil, out);
  return out;
}

}  // namespace velarix::quintic
