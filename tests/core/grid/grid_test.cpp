// The grid interpolant: interpolation, smoothness across cell faces, the
// shape it keeps on random monotone grids, exact reproduction of tensor
// polynomials, agreement of its evaluation paths, integrals, independence of
// where the axes start, and its refusals.
#include "grid/grid.hpp"
#include "grid/state.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace velarix::grid {
namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

struct Table {
  std::vector<Doubles> axes;
  Doubles values;
  std::vector<std::size_t> shape() const {
    std::vector<std::size_t> s;
    for (const auto& x : axes) s.push_back(x.size());
    return s;
  }
  std::vector<std::span<const double>> spans() const {
    return std::vector<std::span<const double>>(axes.begin(), axes.end());
  }
};

GridSurface fitted(GridMethod method, const Table& t) {
  const auto spans = t.spans();
  Result<GridSurface> s = GridSurface::fit(method, spans, t.values);
  EXPECT_TRUE(s.ok()) << (s.ok() ? "" : message(s.error()));
  return std::move(s).value();
}

double at(const GridSurface& s, const Doubles& point, std::vector<int> orders = {},
          Extrapolation mode = Extrapolation::linear) {
  if (orders.empty()) orders.assign(point.size(), 0);
  double out = 0;
  s.evaluate(point, orders, mode, std::span(&out, 1));
  return out;
}

// Uneven increasing abscissae.
Doubles uneven_axis(std::mt19937_64& rng, std::size_t n) {
  std::uniform_real_distribution<> width(0.2, 1.8);
  Doubles x{0};
  for (std::size_t i = 1; i < n; ++i) x.push_back(x.back() + width(rng));
  return x;
}

// A random table monotone along every axis (rising or falling per axis):
// the N-fold running sum of nonnegative increments, whole slabs of which
// are 0 when `flats` (giving flat edges and cells with equal corners).
Table monotone_table(unsigned seed, std::size_t dims, std::size_t lo, std::size_t hi, bool flats) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<std::size_t> count(lo, hi);
  Table t;
  std::vector<std::vector<bool>> zero(dims);
  std::size_t total = 1;
  for (std::size_t a = 0; a < dims; ++a) {
    t.axes.push_back(uneven_axis(rng, count(rng)));
    total *= t.axes[a].size();
    for (std::size_t i = 0; i < t.axes[a].size(); ++i) {
      zero[a].push_back(flats && i > 0 && rng() % 3 == 0);
    }
  }
  const auto shape = t.shape();
  std::exponential_distribution<> increment(1.0);
  t.values.resize(total);
  for (std::size_t k = 0; k < total; ++k) {
    std::size_t rest = k;
    bool is_zero = false;
    for (std::size_t a = dims; a-- > 0;) {
      is_zero = is_zero || zero[a][rest % shape[a]];
      rest /= shape[a];
    }
    const double d = increment(rng);
    t.values[k] = is_zero ? 0.0 : d * d;  // heavy-tailed: steps next to gentle slopes
  }
  std::size_t stride = 1;
  for (std::size_t a = dims; a-- > 0;) {
    for (std::size_t k = 0; k < total; ++k) {
      if (k / stride % shape[a] > 0) t.values[k] += t.values[k - stride];
    }
    stride *= shape[a];
  }
  if (seed % 2 == 1) {  // falling along the first axis
    const std::size_t outer = total / shape[0];
    for (std::size_t k = 0; k < outer; ++k) {
      for (std::size_t i = 0; i < shape[0] / 2; ++i) {
        std::swap(t.values[i * outer + k], t.values[(shape[0] - 1 - i) * outer + k]);
      }
    }
  }
  return t;
}

std::size_t flat_index(const std::vector<std::size_t>& shape, const std::vector<std::size_t>& i) {
  std::size_t k = 0;
  for (std::size_t a = 0; a < shape.size(); ++a) k = k * shape[a] + i[a];
  return k;
}

// For the cells of a table: along each axis, the sign its data edges share
// (+1, -1, 0 when all flat, 2 when they disagree), and the corner range.
struct Cell {
  std::vector<std::size_t> index;
  std::vector<int> sign;
  double low = INFINITY, high = -INFINITY;
};

std::vector<Cell> cells(const Table& t) {
  const auto shape = t.shape();
  const std::size_t n = shape.size();
  std::size_t count = 1;
  for (auto s : shape) count *= s - 1;
  std::vector<Cell> out;
  for (std::size_t k = 0; k < count; ++k) {
    Cell c;
    std::size_t rest = k;
    c.index.resize(n);
    for (std::size_t a = n; a-- > 0;) c.index[a] = rest % (shape[a] - 1), rest /= shape[a] - 1;
    for (std::size_t a = 0; a < n; ++a) {
      bool up = true, down = true;
      for (std::size_t corner = 0; corner < (std::size_t{1} << n); ++corner) {
        std::vector<std::size_t> i = c.index;
        for (std::size_t b = 0; b < n; ++b) i[b] += (corner >> b) & 1;
        const double v = t.values[flat_index(shape, i)];
        c.low = std::min(c.low, v), c.high = std::max(c.high, v);
        if ((corner >> a) & 1) continue;
        i[a] += 1;
        const double edge = t.values[flat_index(shape, i)] - v;
        up = up && edge >= 0, down = down && edge <= 0;
      }
      c.sign.push_back(up && down ? 0 : up ? 1 : down ? -1 : 2);
    }
    out.push_back(c);
  }
  return out;
}

double range_of(const Doubles& v) {
  const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
  return *hi - *lo;
}

struct Shape {
  unsigned seed;
  std::size_t dims, lo, hi;
  bool flats;
};

class GridRandomMonotone : public ::testing::TestWithParam<Shape> {};

// Along every axis and cell whose edges agree: no turn-back on lines
// through the cell; no overshoot of the corners where every axis agrees;
// equal corners give the corner's bits; the data come back to rounding.
TEST_P(GridRandomMonotone, KeepsEveryShapeTheDataHave) {
  const Shape& p = GetParam();
  const Table t = monotone_table(p.seed, p.dims, p.lo, p.hi, p.flats);
  const GridSurface s = fitted(GridMethod::shape, t);
  EXPECT_TRUE(s.is_shape_preserving());
  const double range = range_of(t.values), tol = 1e-13 * range;
  std::mt19937_64 rng(p.seed + 1000);
  std::uniform_real_distribution<> unit(0, 1);
  const std::size_t lines = p.dims == 2 ? 2 : 1, steps = 24;
  std::size_t turn_backs = 0, overshoots = 0, flat_misses = 0;
  for (const Cell& c : cells(t)) {
    bool all_agree = true, all_flat = true;
    for (int sign : c.sign) all_agree = all_agree && sign != 2, all_flat = all_flat && sign == 0;
    for (std::size_t a = 0; a < p.dims; ++a) {
      if (c.sign[a] == 2) continue;
      for (std::size_t l = 0; l < lines; ++l) {
        Doubles point(p.dims);
        for (std::size_t b = 0; b < p.dims; ++b) {
          const Doubles& x = t.axes[b];
          point[b] = x[c.index[b]] + unit(rng) * (x[c.index[b] + 1] - x[c.index[b]]);
        }
        const Doubles& x = t.axes[a];
        double previous = NAN;
        for (std::size_t k = 0; k <= steps; ++k) {
          point[a] = k == steps ? x[c.index[a] + 1]
                                : x[c.index[a]] + (x[c.index[a] + 1] - x[c.index[a]]) * k / steps;
          const double v = at(s, point);
          if (k > 0) {
            const double step = v - previous;
            if (c.sign[a] >= 0 && step < -tol) ++turn_backs;
            if (c.sign[a] <= 0 && step > tol) ++turn_backs;
          }
          if (all_agree && (v < c.low - tol || v > c.high + tol)) ++overshoots;
          if (all_flat && bits(v) != bits(c.low)) ++flat_misses;
          previous = v;
        }
      }
    }
  }
  EXPECT_EQ(turn_backs, 0u);
  EXPECT_EQ(overshoots, 0u);
  EXPECT_EQ(flat_misses, 0u);
  // The nodes, each to 4 ulps of the largest value.
  const auto shape = t.shape();
  double largest = 0;
  for (double v : t.values) largest = std::max(largest, std::fabs(v));
  for (std::size_t k = 0; k < t.values.size(); ++k) {
    Doubles point(p.dims);
    std::size_t rest = k;
    for (std::size_t a = p.dims; a-- > 0;) point[a] = t.axes[a][rest % shape[a]], rest /= shape[a];
    ASSERT_LE(std::fabs(at(s, point) - t.values[k]), 4 * 0x1p-52 * largest) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Grid, GridRandomMonotone,
    ::testing::Values(Shape{1, 2, 4, 30, false}, Shape{2, 2, 4, 30, false},
                      Shape{3, 2, 4, 30, false}, Shape{4, 2, 4, 30, false},
                      Shape{5, 2, 4, 30, true}, Shape{6, 2, 4, 30, true}, Shape{7, 2, 4, 30, true},
                      Shape{8, 2, 4, 30, true}, Shape{9, 2, 4, 5, true}, Shape{10, 2, 2, 3, true},
                      Shape{11, 3, 4, 9, false}, Shape{12, 3, 4, 9, true},
                      Shape{13, 3, 4, 7, true}, Shape{14, 4, 4, 6, true}));

// Across every knot of an axis (the data and the thirds between them), the
// value, the first and the second partial derivatives along every axis
// agree from both sides.
TEST(Grid, SecondDerivativesAreContinuousAcrossKnots) {
  const Table t = monotone_table(21, 2, 6, 9, true);
  for (const GridMethod method : {GridMethod::shape, GridMethod::cubic}) {
    const GridSurface s = fitted(method, t);
    double largest = 0;
    std::vector<std::pair<Doubles, Doubles>> pairs;
    const Doubles& x = t.axes[0];
    const double y = 0.37 * t.axes[1].back();
    for (std::size_t i = 1; i + 1 < x.size(); ++i) {
      for (const double knot : {x[i], x[i] + (x[i + 1] - x[i]) / 3}) {
        pairs.push_back({{std::nextafter(knot, -INFINITY), y}, {knot, y}});
      }
    }
    std::vector<double> jumps;
    for (const std::vector<int>& orders :
         std::vector<std::vector<int>>{{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}, {0, 2}, {2, 2}}) {
      for (const auto& [left, right] : pairs) {
        const double a = at(s, left, orders), b = at(s, right, orders);
        largest = std::max({largest, std::fabs(a), std::fabs(b)});
        jumps.push_back(std::fabs(a - b));
      }
      const double worst = *std::max_element(jumps.begin(), jumps.end());
      EXPECT_LE(worst, 1e-8 * largest) << orders[0] << orders[1];
      jumps.clear();
      largest = 0;
    }
  }
}

double tensor_cubic(const Doubles& p) {
  const double x = p[0], y = p[1];
  return (1 + x - 0.5 * x * x + 0.25 * x * x * x) * (2 - y + 0.3 * y * y * y) + 0.7 * x * x * y;
}

double multilinear(const Doubles& p) {
  double v = 1;
  for (std::size_t a = 0; a < p.size(); ++a) v *= 1 + (a + 1) * p[a];
  return v + p[0] * p[1];
}

// The unconstrained spline reproduces a tensor cubic, with its partial
// derivatives; the multilinear one a multilinear polynomial (and a line
// beyond the box).
TEST(Grid, ReproducesPolynomialsOfItsDegree) {
  std::mt19937_64 rng(5);
  Table t;
  t.axes = {uneven_axis(rng, 7), uneven_axis(rng, 5)};
  for (double x : t.axes[0]) {
    for (double y : t.axes[1]) t.values.push_back(tensor_cubic({x, y}));
  }
  const GridSurface cubic = fitted(GridMethod::cubic, t);
  const double h = 1e-4;
  for (int k = 0; k < 50; ++k) {
    const Doubles p = {0.13 * k * t.axes[0].back() / 6.5, 0.19 * k * t.axes[1].back() / 9.5};
    EXPECT_NEAR(at(cubic, p), tensor_cubic(p), 1e-12 * 50);
    const double dx = (tensor_cubic({p[0] + h, p[1]}) - tensor_cubic({p[0] - h, p[1]})) / (2 * h);
    EXPECT_NEAR(at(cubic, p, {1, 0}), dx, 1e-6);
    const double dyy = (tensor_cubic({p[0], p[1] + h}) - 2 * tensor_cubic(p) +
                        tensor_cubic({p[0], p[1] - h})) / (h * h);
    EXPECT_NEAR(at(cubic, p, {0, 2}), dyy, 1e-4);
  }
  Table three;
  three.axes = {uneven_axis(rng, 4), uneven_axis(rng, 3), uneven_axis(rng, 2)};
  for (double x : three.axes[0]) {
    for (double y : three.axes[1]) {
      for (double z : three.axes[2]) three.values.push_back(multilinear({x, y, z}));
    }
  }
  const GridSurface linear = fitted(GridMethod::linear, three);
  for (int k = 0; k < 30; ++k) {
    const Doubles p = {0.1 * k, 0.05 * k, 0.03 * k};
    EXPECT_NEAR(at(linear, p), multilinear(p), 1e-12 * 100);
  }
  EXPECT_TRUE(std::isnan(at(linear, {-1.0, 0.0, 0.0}, {}, Extrapolation::nan)));
  EXPECT_EQ(at(linear, {-1.0, 0.0, 0.0}), multilinear({-1.0, 0.0, 0.0}));
}

// The product grid gives the pointwise bits, for every order and
// continuation, at points inside and outside the box.
TEST(Grid, ProductGridGivesThePointwiseBits) {
  const Table t = monotone_table(31, 3, 5, 7, true);
  const Doubles xs = {-0.5, 0.0, 0.7, 2.1, 100}, ys = {0.2, 1.3}, zs = {-2, 0.5, 3.3, 4.4};
  const std::vector<std::span<const double>> product = {xs, ys, zs};
  for (const GridMethod method : {GridMethod::shape, GridMethod::linear}) {
    const GridSurface s = fitted(method, t);
    for (const Extrapolation mode :
         {Extrapolation::linear, Extrapolation::constant, Extrapolation::nan}) {
      for (const std::vector<int>& orders : std::vector<std::vector<int>>{{0, 0, 0}, {1, 0, 2}}) {
        Doubles grid(xs.size() * ys.size() * zs.size()), points;
        s.evaluate_product(product, orders, mode, grid);
        for (double x : xs) {
          for (double y : ys) {
            for (double z : zs) points.insert(points.end(), {x, y, z});
          }
        }
        Doubles pointwise(grid.size());
        s.evaluate(points, orders, mode, pointwise);
        for (std::size_t k = 0; k < grid.size(); ++k) ASSERT_EQ(bits(grid[k]), bits(pointwise[k])) << k;
      }
    }
  }
}

// Integrals over boxes inside and beyond the data against the closed form.
TEST(Grid, IntegratesPolynomialsExactly) {
  std::mt19937_64 rng(9);
  Table t;
  t.axes = {uneven_axis(rng, 6), uneven_axis(rng, 4)};
  for (double x : t.axes[0]) {
    for (double y : t.axes[1]) t.values.push_back(tensor_cubic({x, y}));
  }
  const auto primitive = [](double x, double y) {  // of tensor_cubic, from (0, 0)
    const double fx = x + x * x / 2 - x * x * x / 6 + x * x * x * x / 16;
    const double fy = 2 * y - y * y / 2 + 0.3 * y * y * y * y / 4;
    return fx * fy + 0.7 * x * x * x / 3 * y * y / 2;
  };
  const GridSurface cubic = fitted(GridMethod::cubic, t);
  const double X = t.axes[0].back(), Y = t.axes[1].back();
  for (const auto& [lo, hi] : std::vector<std::pair<Doubles, Doubles>>{
           {{0, 0}, {X, Y}}, {{0.3, 0.1}, {0.6 * X, 0.9 * Y}}, {{0.6 * X, 0.2}, {0.1, 0.5 * Y}}}) {
    const double exact = primitive(hi[0], hi[1]) - primitive(lo[0], hi[1]) -
                         primitive(hi[0], lo[1]) + primitive(lo[0], lo[1]);
    EXPECT_NEAR(cubic.integral(lo, hi, Extrapolation::linear), exact, 1e-11 * std::fabs(primitive(X, Y)));
  }
  // Beyond the box the multilinear surface continues as the same bilinear
  // polynomial, so its integral is that polynomial's.
  Table bilinear;
  bilinear.axes = {{0, 1, 3}, {0, 2}};
  for (double x : bilinear.axes[0]) {
    for (double y : bilinear.axes[1]) bilinear.values.push_back(1 + 2 * x + 3 * y + x * y);
  }
  const GridSurface linear = fitted(GridMethod::linear, bilinear);
  const auto bl = [](double x, double y) { return x * y + x * x * y + 1.5 * x * y * y + x * x * y * y / 4; };
  const Doubles lo = {-1, -0.5}, hi = {4, 3};
  const double exact = bl(hi[0], hi[1]) - bl(lo[0], hi[1]) - bl(hi[0], lo[1]) + bl(lo[0], lo[1]);
  EXPECT_NEAR(linear.integral(lo, hi, Extrapolation::linear), exact, 1e-12 * 100);
  EXPECT_TRUE(std::isnan(linear.integral(lo, hi, Extrapolation::nan)));
}

// The same table on axes moved to 1e9, or to calendar years, gives the same
// values at the same relative points.
TEST(Grid, DoesNotDependOnWhereTheAxesStart) {
  Table base = monotone_table(41, 2, 8, 12, true);
  for (auto& x : base.axes) {
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::round(x[i] * 4) / 4 + i;  // exact steps
  }
  for (const double offset : {1e9, 1990.0}) {
    Table moved = base;
    for (auto& x : moved.axes) {
      for (double& v : x) v += offset;
    }
    for (const GridMethod method : {GridMethod::shape, GridMethod::cubic}) {
      const GridSurface a = fitted(method, base), b = fitted(method, moved);
      for (int k = -3; k < 40; ++k) {
        const Doubles p = {0.37 * k, 0.29 * k};
        const double va = at(a, p), vb = at(b, {p[0] + offset, p[1] + offset});
        EXPECT_NEAR(va, vb, 10 * offset * 0x1p-52 * range_of(base.values)) << k;
      }
      EXPECT_EQ(a.coefficients().size(), b.coefficients().size());
      EXPECT_TRUE(std::equal(a.coefficients().begin(), a.coefficients().end(),
                             b.coefficients().begin()));
    }
  }
}

TEST(Grid, DebugTextAndEquality) {
  const Table t = monotone_table(2, 2, 4, 4, false);
  const GridSurface s = fitted(GridMethod::shape, t);
  EXPECT_EQ(s.debug_text(), "GridSurface { method: shape, nodes: 4 x 4, shape_preserving: true }");
  EXPECT_TRUE(s == fitted(GridMethod::shape, t));
  EXPECT_FALSE(s == fitted(GridMethod::cubic, t));
}

// A saved state loads as the same surface for every method; a changed or
// cut byte is refused.
TEST(Grid, SavedStatesRoundTripExactly) {
  const Table t = monotone_table(61, 3, 4, 6, true);
  for (const GridMethod method : {GridMethod::shape, GridMethod::cubic, GridMethod::linear}) {
    const GridSurface s = fitted(method, t);
    const state::Bytes bytes = state::save(s);
    const Result<GridSurface> back = state::load<GridSurface>(bytes);
    ASSERT_TRUE(back.ok());
    EXPECT_TRUE(back.value() == s);
    EXPECT_EQ(bits(at(back.value(), {0.3, 1.1, 2.2}, {1, 0, 2})), bits(at(s, {0.3, 1.1, 2.2}, {1, 0, 2})));
    for (const std::size_t k : {std::size_t{1}, bytes.size() / 2, bytes.size() - 5}) {
      state::Bytes damaged = bytes;
      damaged[k] ^= std::byte{4};
      EXPECT_FALSE(state::load<GridSurface>(damaged).ok()) << k;
    }
    EXPECT_FALSE(state::load<GridSurface>(std::span(bytes).first(bytes.size() - 1)).ok());
  }
}

// States that pass the checksum but describe no surface: the loader's own
// checks name the field.
TEST(Grid, RefusesStatesThatDescribeNoSurface) {
  const Doubles x = {0, 1, 2};
  const auto crafted = [&](std::uint64_t dimensions, Doubles axis, std::uint64_t count) {
    state::Writer out(state::grid_surface_kind);
    out.u8(0);
    out.u64(dimensions);
    for (std::uint64_t a = 0; a < dimensions && dimensions <= 6; ++a) out.knots(a == 0 ? axis : x);
    out.u64(count);
    out.f64s(Doubles(count, 1.0));
    out.u8(1);
    return std::move(out).finish();
  };
  ASSERT_TRUE(state::load<GridSurface>(crafted(2, x, 81)).ok());
  for (const auto& [bytes, reason] : std::vector<std::pair<state::Bytes, std::string>>{
           {crafted(2, x, 80), "grid coefficient count"},
           {crafted(7, x, 81), "grid dimensions out of range"},
           {crafted(2, {0, 1e-310, 1}, 81), "grid axis unusable"}}) {
    const Result<GridSurface> s = state::load<GridSurface>(bytes);
    ASSERT_FALSE(s.ok()) << reason;
    EXPECT_EQ(std::string(std::get<InvalidState>(s.error()).reason), reason);
  }
}

// Data near the largest double: differences overflow and the surfaces
// cannot return the data, which every method's verdict says (the state still
// loads as the same surface, NaN coefficients included). NaN coordinates
// give NaN, infinite ones the continuation's limit.
TEST(Grid, SaysWhereOverflowBreaksTheDataAndContinuesToInfinity) {
  Table t;
  t.axes = {{0, 1, 2, 3}, {0, 1, 2}};
  t.values = {1e308, -1e308, 1e308, 0, 1e308, -1e308, -1e308, 1e308, 0, 5, 1e308, -1e308};
  for (const GridMethod method : {GridMethod::shape, GridMethod::cubic, GridMethod::linear}) {
    const GridSurface s = fitted(method, t);
    EXPECT_FALSE(s.is_shape_preserving());
    EXPECT_EQ(bits(at(s, {0.0, 0.0})), bits(1e308));  // a weight of 0 weighs nothing
    EXPECT_TRUE(state::load<GridSurface>(state::save(s)).value() == s);
  }
  const GridSurface linear = fitted(GridMethod::linear, monotone_table(3, 2, 4, 4, false));
  EXPECT_TRUE(std::isnan(at(linear, {NAN, 0.5})));
  const double corner = at(linear, {0.0, 0.0});
  EXPECT_EQ(at(linear, {-INFINITY, -INFINITY}, {}, Extrapolation::constant), corner);
  EXPECT_EQ(at(linear, {-INFINITY, 0.0}, {1, 0}, Extrapolation::constant), 0.0);
}

struct Refused {
  std::vector<Doubles> axes;
  Doubles values;
  const char* text;
};

class GridRefusals : public ::testing::TestWithParam<Refused> {};

TEST_P(GridRefusals, NameTheEntry) {
  const Refused& r = GetParam();
  const std::vector<std::span<const double>> spans(r.axes.begin(), r.axes.end());
  const Result<GridSurface> s = GridSurface::fit(GridMethod::shape, spans, r.values);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(message(s.error()), r.text);
}

INSTANTIATE_TEST_SUITE_P(
    Grid, GridRefusals,
    ::testing::Values(
        Refused{{{0, 1}}, {0, 1}, "a grid needs 2 to 6 axes, got 1"},
        Refused{{{0, 1}, {0}}, {0, 1}, "points[1] needs at least 2 values, got 1"},
        Refused{{{0, 1}, {0, NAN}}, {0, 1, 2, 3}, "points[1][1] must be finite, got NaN"},
        Refused{{{0, 2, 1}, {0, 1}},
                {0, 1, 2, 3, 4, 5},
                "points[0] must be strictly increasing; points[0][1] = 2 is not < points[0][2] = 1"},
        Refused{{{0, 1}, {0, 1e-310}},
                {0, 1, 2, 3},
                "points[1][0] = 0 and points[1][1] = 1e-310 are too close (or too far "
                "apart) for knots at the thirds between them"},
        Refused{{{0, 1}, {-1e308, 1e308}},
                {0, 1, 2, 3},
                "points[1][0] = -1e308 and points[1][1] = 1e308 are too close (or too far "
                "apart) for knots at the thirds between them"},
        Refused{{{0, 1}, {0, 1, 2}}, {0, 1, 2, 3, 4}, "values must have 2 x 3 = 6 entries for the grid, got 5"},
        Refused{{{0, 1}, {0, 1, 2}}, {0, 1, 2, 3, INFINITY, 5}, "values[1, 1] must be finite, got inf"}));

// The size is refused before the values are read.
TEST(Grid, RefusesATableBeyondMemory) {
  std::vector<Doubles> axes(6);
  for (auto& x : axes) {
    for (int i = 0; i < 100; ++i) x.push_back(i);
  }
  const std::vector<std::span<const double>> spans(axes.begin(), axes.end());
  const Result<GridSurface> s = GridSurface::fit(GridMethod::shape, spans, Doubles(1));
  ASSERT_FALSE(s.ok());
  const std::string text = message(s.error());
  const std::string head =
      "a shape grid interpolant of 100 x 100 x 100 x 100 x 100 x 100 nodes needs 729 "
      "coefficients per node, 12672000000000000 bytes in all, more than half of this machine's "
      "memory (";
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_EQ(text.back(), ')');
}

// The fit's cost on 4-D tables of 20^4 nodes, random with flats and smooth
// (reported, not bounded).
TEST(Grid, FitsA4DTable) {
  Table smooth = monotone_table(52, 4, 20, 20, false);
  for (std::size_t k = 0; k < smooth.values.size(); ++k) {
    std::size_t rest = k;
    double sum = 0;
    for (std::size_t a = 4; a-- > 0;) sum += smooth.axes[a][rest % 20] / 20, rest /= 20;
    smooth.values[k] = std::exp(sum);
  }
  for (const Table& t : {smooth, monotone_table(51, 4, 20, 20, true)}) {
    const auto start = std::chrono::steady_clock::now();
    const GridSurface s = fitted(GridMethod::shape, t);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(s.is_shape_preserving());
    std::printf("4-D 20^4 shape fit: %.3f s\n", took.count());
  }
}

}  // namespace
}  // namespace velarix::grid
