#include "smoothing/data.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

namespace velarix::smoothing {
namespace {

// Abscissae closer than this share of the range of x count as one for the
// knots: a spline cannot tell them apart, and a tighter knot gap would make
// the penalty (which grows with gap^-3) lose its precision.
constexpr double kTieShare = 1e-10;

// Calls take(x) for the first abscissa of each cluster of ties (gaps of at
// most `tie`), skipping points of weight 0 when `weighted_only`.
template <class Take>
void for_each_distinct(const Data& data, double tie, bool weighted_only, Take&& take) {
  bool started = false;
  double last = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (weighted_only && !(data.weight(i) > 0)) continue;
    if (started && !(data.x[i] - last > tie)) continue;
    started = true;
    last = data.x[i];
    take(last);
  }
}

}  // namespace

std::optional<Error> check_data(std::span<const double> x, std::span<const double> y,
                                std::span<const double> w, bool weighted) {
  if (x.size() != y.size()) return LengthMismatch{x.size(), y.size()};
  if (weighted && w.size() != x.size()) return WeightCount{x.size(), w.size()};
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!std::isfinite(x[i])) return InvalidValue{"x", i, "finite", x[i]};
  }
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (!std::isfinite(y[i])) return InvalidValue{"y", i, "finite", y[i]};
  }
  for (std::size_t i = 0; i < w.size(); ++i) {
    if (!std::isfinite(w[i])) return InvalidValue{"weights", i, "finite", w[i]};
    if (w[i] < 0) return InvalidValue{"weights", i, ">= 0", w[i]};
  }
  return std::nullopt;
}

SortedData::SortedData(std::span<const double> x, std::span<const double> y,
                       std::span<const double> w) {
  data_ = Data{x, y, w};
  if (std::is_sorted(x.begin(), x.end())) return;
  std::vector<std::size_t> order(x.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  // Ties keep their input order (the index breaks them), as a stable sort
  // would, without the temporary buffer stable_sort allocates.
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return x[a] < x[b] || (x[a] == x[b] && a < b);
  });
  auto gather = [&](std::span<const double> from, Doubles& to) {
    to.resize(from.size());
    for (std::size_t i = 0; i < from.size(); ++i) to[i] = from[order[i]];
  };
  gather(x, x_);
  gather(y, y_);
  gather(w, w_);
  data_ = Data{x_, y_, w_};
}

std::size_t weighted_distinct(const Data& data, double tie) {
  std::size_t count = 0;
  for_each_distinct(data, tie, true, [&](double) { ++count; });
  return count;
}

// The breakpoints in the caller's units: every distinct x when `segments` is
// 0 or they make at most that many segments, otherwise the distinct x at
// evenly spaced ranks,
// rounded to the nearest rank (so that every breakpoint is a data value and
// scales exactly with x). The last breakpoint is the largest x itself.
Doubles chosen_breakpoints(const Data& data, double tie, std::uint64_t segments) {
  std::size_t distinct = 0;
  for_each_distinct(data, tie, false, [&](double) { ++distinct; });
  Doubles breakpoints;
  if (segments == 0 || distinct - 1 <= segments) {
    breakpoints.reserve(distinct);
    for_each_distinct(data, tie, false, [&](double x) { breakpoints.push_back(x); });
  } else {
    // Ranks k (distinct - 1) / segments; their spacing exceeds 1, so the
    // rounded ranks are distinct.
    const double spacing = static_cast<double>(distinct - 1) / static_cast<double>(segments);
    std::uint64_t k = 0;
    std::size_t rank = 0;
    std::size_t wanted = 0;
    breakpoints.reserve(segments + 1);
    for_each_distinct(data, tie, false, [&](double x) {
      if (k <= segments && rank == wanted) {
        breakpoints.push_back(x);
        ++k;
        wanted = static_cast<std::size_t>(std::llround(static_cast<double>(k) * spacing));
      }
      ++rank;
    });
  }
  breakpoints.back() = data.x[data.size() - 1];
  return breakpoints;
}

double tie_gap(double range) { return kTieShare * range; }

std::optional<Error> given_breakpoints(const Data& data, double tie, const Doubles& knots,
                                       Doubles& breakpoints) {
  const double first = data.x[0];
  const double last = data.x[data.size() - 1];
  breakpoints.assign(1, first);
  for (std::size_t i = 0; i < knots.size(); ++i) {
    if (!(knots[i] - breakpoints.back() > tie && last - knots[i] > tie)) {
      return InvalidValue{"knots", i, "strictly inside the range of x and apart from its "
                                      "neighbours by more than 1e-10 of that range", knots[i]};
    }
    breakpoints.push_back(knots[i]);
  }
  breakpoints.push_back(last);
  return std::nullopt;
}

}  // namespace velarix::smoothing
