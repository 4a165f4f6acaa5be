// What a curve keeps for its integrals: the per-piece table of primitives
// and running sums, the repeated integrals' values at the knots, and the
// lazily built, atomically published holder of each.
#pragma once

#include <array>
#include <atomic>
#include <memory>

#include "interpolator.hpp"
#include "memory.hpp"
#include "repeated.hpp"

namespace velarix::piecewise {

// A sum carried as its rounded value and the sum of the rounding errors of
// every addition (Knuth's two-sum). The difference of two such partial sums
// keeps the accuracy of the terms between them to within eps^2 of the sums,
// where plain running sums would lose eps of them.
struct CarriedSum {
  double hi = 0;
  double lo = 0;

  void add(double x) {
    const double s = hi + x;
    const double back = s - hi;
    lo += (hi - (s - back)) + (x - back);
    hi = s;
  }
};

template <class P>
struct PrimitiveOf {
  struct type {};
};
template <IntegrablePiece P>
struct PrimitiveOf<P> {
  using type = typename P::Primitive;
};

// What the integral of a curve needs, per piece: its primitive and the
// integral from the first knot to the piece's left knot; and the integral over
// the whole curve.
template <class P>
struct IntegralTable {
  struct Entry {
    [[no_unique_address]] typename PrimitiveOf<P>::type primitive;
    CarriedSum before;
  };
  Vector<Entry> entries;
  CarriedSum total;
  // The antiderivative at the last knot, as antiderivative_in gives it: the
  // integral over one period of a periodic curve.
  double whole = 0;
};

// What the repeated integrals need beyond the integral table: the
// antiderivatives F_1 .. F_highest at every knot (at[k][m - 1] = F_m(x_k)),
// from which F_n continues across each piece by Taylor's formula.
struct RepeatedTable {
  Vector<std::array<double, highest_antiderivative>> at;
};

// The integral table of a curve, built when it is first asked for and kept.
// It is derived from the pieces, so a copy starts without one and a saved
// curve carries none: a copy or a restored curve builds the same table, in the
// same order, to the same bits. The table is published with one atomic
// exchange, so that concurrent first calls (a caller that releases the
// interpreter lock) build at most one table each and all use the first.
template <class P, class T = IntegralTable<P>>
class LazyIntegrals {
 public:
  using Table = T;

  LazyIntegrals() = default;
  LazyIntegrals(const LazyIntegrals&) {}
  LazyIntegrals(LazyIntegrals&& other) noexcept
      : table_(other.table_.exchange(nullptr, std::memory_order_acq_rel)) {}
  LazyIntegrals& operator=(const LazyIntegrals&) {
    reset(nullptr);
    return *this;
  }
  LazyIntegrals& operator=(LazyIntegrals&& other) noexcept {
    reset(other.table_.exchange(nullptr, std::memory_order_acq_rel));
    return *this;
  }
  ~LazyIntegrals() { delete table_.load(std::memory_order_acquire); }

  template <class Build>
  const Table& get(Build&& build) const {
    if (const Table* ready = table_.load(std::memory_order_acquire)) return *ready;
    auto fresh = std::make_unique<Table>(build());
    const Table* expected = nullptr;
    if (table_.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel)) {
      return *fresh.release();
    }
    return *expected;
  }

 private:
  void reset(const Table* table) { delete table_.exchange(table, std::memory_order_acq_rel); }

  mutable std::atomic<const Table*> table_{nullptr};
};

}  // namespace velarix::piecewise
