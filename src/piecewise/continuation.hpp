// What a curve gives outside its knots under each extrapolation mode, and
// its periodic continuation, from the curve's plain evaluation (`held`, the
// value clamped to the knots), its end pieces' own formulas (`extended`)
// and its domain. The curve derives from Continuation<Curve> and befriends
// it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "error.hpp"
#include "extrapolation.hpp"
#include "period.hpp"

namespace velarix::piecewise {

inline bool overlap(std::span<const double> xs, std::span<double> out) {
  const auto* first = xs.data();
  return out.data() < first + xs.size() && first < out.data() + out.size();
}

// Whether `out` starts inside `xs` after its first element. Element j is
// then written before some later element of xs is read, so the block loop,
// which reads a block ahead, would read a result instead of an input.
inline bool writes_ahead_of_reads(std::span<const double> xs, std::span<double> out) {
  const auto first = reinterpret_cast<std::uintptr_t>(xs.data());
  const auto last = first + xs.size() * sizeof(double);
  const auto target = reinterpret_cast<std::uintptr_t>(out.data());
  return target > first && target < last;
}

template <class Curve>
class Continuation {
 protected:
  template <int Order>
  double extrapolated(double x, Extrapolation mode) const {
    if (mode == Extrapolation::hold || inside(x)) return curve().template held<Order>(x);
    // Some pieces' third derivative does not depend on x at all; every mode
    // but hold (kept as it was) gives NaN for NaN.
    if (x != x) return x;
    if (mode == Extrapolation::periodic) return periodic<Order>(x);
    const int side = x < curve().domain().first ? 0 : 1;
    if (!from_ends(mode)) return beyond<Order>(x, mode, {}, {});
    const EndValues end = end_values<Order>(side);
    return beyond<Order>(x, mode, end, end);
  }

  // The batch runs in blocks: a block's abscissas are kept, evaluated as the
  // plain batch does (periodic ones first mapped into the period), and the
  // results of those outside the knots replaced while the block is in cache.
  template <int Order>
  void extrapolated(std::span<const double> xs, std::span<double> out,
                    Extrapolation mode) const {
    if (out.size() != xs.size()) throw InternalError("batch output of the wrong length");
    if (mode == Extrapolation::hold) return curve().template held<Order>(xs, out);
    if (writes_ahead_of_reads(xs, out)) {
      for (std::size_t j = 0; j < xs.size(); ++j) out[j] = extrapolated<Order>(xs[j], mode);
      return;
    }
    const bool ends = from_ends(mode);
    const EndValues front = ends ? end_values<Order>(0) : EndValues{};
    const EndValues back = ends ? end_values<Order>(1) : EndValues{};
    const bool periodic = mode == Extrapolation::periodic;
    const Period period = periodic ? this->template period<Order>() : Period{};
    const auto [lo, hi] = curve().domain();
    // A block is copied only when `out` overlaps `xs`: its abscissas are
    // still needed after the held results overwrite them.
    const bool copy = overlap(xs, out);
    double kept[extrapolated_block];
    double at[extrapolated_block];
    for (std::size_t j = 0; j < xs.size(); j += extrapolated_block) {
      const std::size_t size = std::min(extrapolated_block, xs.size() - j);
      const double* original = xs.data() + j;
      if (copy) original = std::copy_n(original, size, kept) - size;
      if (periodic) {
        for (std::size_t k = 0; k < size; ++k) {
          const double x = original[k];
          at[k] = lo <= x && x <= hi ? x : wrap_into_period(x, lo, hi);
        }
      }
      curve().template held<Order>({periodic ? at : original, size}, out.subspan(j, size));
      for (std::size_t k = 0; k < size; ++k) {
        const double x = original[k];
        if (lo <= x && x <= hi) continue;
        double& result = out[j + k];
        if (x != x) {
          result = x;
        } else {
          result = periodic ? whole_periods<Order>(period, x, at[k], result)
                            : beyond<Order>(x, mode, front, back);
        }
      }
    }
  }

 private:
  const Curve& curve() const { return static_cast<const Curve&>(*this); }

  static constexpr std::size_t extrapolated_block = 256;

  // Whether x lies within the knots, compared in the caller's units; NaN
  // does not.
  bool inside(double x) const {
    const auto [front, back] = curve().domain();
    return front <= x && x <= back;
  }

  // What linear and constant continue from at one end (0 the first knot):
  // the antiderivative is 0 at the first knot by definition.
  template <int Order>
  EndValues end_values(int side) const {
    const double knot = side == 0 ? curve().domain().first : curve().domain().second;
    double integral = 0;
    if constexpr (Order < 0) {
      if (side == 1) integral = curve().template held<-1>(knot);
    }
    return {knot, integral, curve().template held<0>(knot), curve().template held<1>(knot)};
  }

  static bool from_ends(Extrapolation mode) {
    return mode == Extrapolation::linear || mode == Extrapolation::constant;
  }

  // x outside the knots under a mode other than hold and periodic.
  template <int Order>
  double beyond(double x, Extrapolation mode, const EndValues& front,
                const EndValues& back) const {
    if (mode == Extrapolation::extend) return curve().template extended<Order>(x);
    return continued<Order>(mode, x < front.knot ? front : back, x);
  }


  // The knots in the caller's units and, for the antiderivative, the
  // integral over one period.
  struct Period {
    double front = 0;
    double back = 0;
    double whole = 0;
  };

  template <int Order>
  Period period() const {
    const auto [front, back] = curve().domain();
    if constexpr (Order < 0) {
      return {front, back, curve().template held<-1>(back)};
    } else {
      return {front, back, 0};
    }
  }

  template <int Order>
  double periodic(double x) const {
    const Period p = period<Order>();
    const double inside = wrap_into_period(x, p.front, p.back);
    return whole_periods<Order>(p, x, inside, curve().template held<Order>(inside));
  }

  // The quantity at x from that at its image in the period: the same, but
  // for the antiderivative, which adds the whole periods between, each the
  // integral over the knots, as one product (not a running sum, whose
  // rounding would grow with their number).
  template <int Order>
  static double whole_periods(const Period& p, double x, double inside, double at_inside) {
    if constexpr (Order >= 0) {
      return at_inside;
    } else {
      const double periods = std::nearbyint((x - inside) / (p.back - p.front));
      return periods == 0 ? at_inside : periods * p.whole + at_inside;
    }
  }

};

}  // namespace velarix::piecewise
