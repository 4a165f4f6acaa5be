#include "smoothing/robust.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace velarix::smoothing {
namespace {

// The usual tuning constant (95 % efficiency for normal errors), on
// residuals scaled by the normal-consistent median absolute deviation.
constexpr double kHuberConstant = 1.345;
constexpr double kMadToSigma = 1.4826;
// The pilot's median spans this many neighbours on each side.
constexpr std::size_t kPilotHalfWidth = 2;

// The upper median (the lower half's largest for an even count), which is
// all a scale estimate needs.
double median(Doubles& values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// Huber factors min(1, k sigma / |e_i|) for e_i = sqrt(w_i) r_i, sigma from
// the median absolute deviation of the e_i.
bool huber(const Data& data, const Units& units, Doubles& r, RobustWeights& weights) {
  const std::size_t n = data.size();
  Doubles scaled;
  for (std::size_t i = 0; i < n; ++i) {
    const double omega = units.omega(data.weight(i));
    r[i] *= std::sqrt(omega);
    if (omega > 0) scaled.push_back(r[i]);
  }
  const double centre = median(scaled);
  for (double& e : scaled) e = std::fabs(e - centre);
  const double sigma = kMadToSigma * median(scaled);
  if (!(sigma > 0)) return false;
  weights.fit.resize(n);
  weights.score.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double omega = units.omega(data.weight(i));
    const double size = std::fabs(r[i]);
    const double factor = size > kHuberConstant * sigma ? kHuberConstant * sigma / size : 1.0;
    weights.fit[i] = omega * factor;
    weights.score[i] = omega * (factor * factor);
  }
  return true;
}

}  // namespace

bool pilot_weights(const Data& data, const Units& units, RobustWeights& weights) {
  const std::size_t n = data.size();
  const std::size_t span = std::min<std::size_t>(2 * kPilotHalfWidth + 1, n);
  Doubles r(n);
  double window[2 * kPilotHalfWidth];
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t first = std::min(i > kPilotHalfWidth ? i - kPilotHalfWidth : 0, n - span);
    std::size_t count = 0;
    for (std::size_t j = first; j < first + span; ++j) {
      if (j != i) window[count++] = units.v(data.y[j]);
    }
    for (std::size_t a = 1; a < count; ++a) {  // insertion sort of a handful
      for (std::size_t b = a; b > 0 && window[b] < window[b - 1]; --b) {
        std::swap(window[b], window[b - 1]);
      }
    }
    r[i] = units.v(data.y[i]) - 0.5 * (window[(count - 1) / 2] + window[count / 2]);
  }
  return huber(data, units, r, weights);
}

bool residual_weights(const Basis& basis, const Data& data, const Units& units,
                      std::span<const double> c, RobustWeights& weights) {
  Doubles r(data.size());
  residuals(basis, data, units, c, r);
  return huber(data, units, r, weights);
}

}  // namespace velarix::smoothing
