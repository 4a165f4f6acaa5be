// Finding the interval of an abscissa among sorted knots: the branch-free
// binary search, and the bucket index that narrows it to a few knots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "memory.hpp"

namespace velarix::piecewise {

// The number of knots k with knots[k] <= x, by binary search. A comparison
// with NaN counts as false, so a NaN x gives 0.
//
// The halving step is a select, not a branch: on random queries a branch on
// the comparison is mispredicted half the time, which costs more than the
// search itself. Both candidates of the next step are prefetched so that on a
// large knot array the loads of successive steps overlap.
inline std::size_t locate(std::span<const double> knots, double x) {
  const double* k = knots.data();
  std::size_t base = 0;
  std::size_t size = knots.size();
  while (size > 1) {
    const std::size_t half = size / 2;
    __builtin_prefetch(k + base + half / 2);
    __builtin_prefetch(k + base + half + half / 2);
    base = k[base + half] <= x ? base + half : base;
    size -= half;
  }
  return (size != 0 && k[base] <= x) ? base + 1 : base;
}

// The number of forward steps a sorted batch tries from the previous interval
// before it searches: queries denser than the knots mostly stay in one
// interval, and sparser ones skip a few.
inline constexpr std::size_t forward_steps = 4;

// Whether no element of xs is below its predecessor. Only chooses between two
// lookups that find the same interval, so a NaN may answer either way.
inline bool ascending(std::span<const double> xs) {
  for (std::size_t i = 1; i < xs.size(); ++i) {
    if (xs[i] < xs[i - 1]) return false;
  }
  return true;
}

// The bucket index narrows the binary search to the knots whose bucket is
// that of x, so a random query reads a few knots instead of log2(n) of
// them. The buckets split the domain evenly, one per interval; first_[b] is
// the number of knots whose bucket is below b. Because bucket() is
// monotone, every knot before first_[b] is below any x of bucket b and
// every knot from first_[b + 1] on is above it, so the count of knots <= x
// is first_[b] plus the count within that range: the same number locate
// gives over all knots, however the bucket boundaries are rounded.
class BucketIndex {
 public:
  BucketIndex() = default;
  explicit BucketIndex(std::span<const double> knots) : front_(knots.front()) {
    const double width = knots.back() - front_;
    const std::size_t buckets = knots.size() - 1;
    bucket_scale_ = static_cast<double>(buckets) / width;
    // Infinite or degenerate domains and more knots than a 32-bit count
    // holds keep the plain search.
    if (!(bucket_scale_ > 0 && bucket_scale_ < std::numeric_limits<double>::infinity()) ||
        knots.size() > std::numeric_limits<std::uint32_t>::max()) {
      return;
    }
    last_bucket_ = buckets - 1;
    last_bucket_limit_ = static_cast<double>(last_bucket_);
    first_.assign(buckets + 1, 0);
    for (const double knot : knots) {
      const std::size_t b = bucket(knot);
      if (b + 1 < first_.size()) ++first_[b + 1];
    }
    for (std::size_t b = 1; b < first_.size(); ++b) first_[b] += first_[b - 1];
  }

  // locate(knots, clamped), through the bucket index when there is one
  // (`knots` those the index was built on). NaN is decided first: it
  // compares false with every knot, so the count is 0, and it has no bucket.
  std::size_t count_at_most(std::span<const double> knots, double clamped) const {
    if (first_.empty()) return locate(knots, clamped);
    if (clamped != clamped) return 0;
    const std::size_t b = bucket(clamped);
    const std::size_t begin = first_[b];
    const std::size_t end = first_[b + 1];
    if (end - begin <= scanned && begin + scanned <= knots.size()) {
      return begin + count_scanned(knots.data() + begin, clamped);
    }
    return begin + locate(knots.subspan(begin, end - begin), clamped);
  }

 private:
  // min(floor((x - front) * scale), buckets - 1) for a clamped, non-NaN x.
  std::size_t bucket(double clamped) const {
    // t >= 0, and below the limit it fits a signed count, whose conversion
    // needs no range fix-up.
    const double t = (clamped - front_) * bucket_scale_;
    return t < last_bucket_limit_ ? static_cast<std::size_t>(static_cast<std::int64_t>(t))
                                  : last_bucket_;
  }

  // Most buckets hold at most a few knots. For those the first `scanned`
  // knots from the bucket's start are all compared, so that no branch
  // depends on the query (a search whose length varies from query to query
  // mispredicts its exit). The knots past the bucket are above x, so they
  // add nothing and the sum is the count the search gives.
  static constexpr std::size_t scanned = 4;

  static std::size_t count_scanned(const double* k, double clamped) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < scanned; ++i) count += static_cast<std::size_t>(k[i] <= clamped);
    return count;
  }

  double front_ = 0;
  double bucket_scale_ = 0;           // buckets per unit of x
  std::size_t last_bucket_ = 0;
  double last_bucket_limit_ = 0;      // last_bucket_ as a double
  Vector<std::uint32_t> first_;       // empty: no index
};

}  // namespace velarix::piecewise
