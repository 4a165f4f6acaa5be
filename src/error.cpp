#include "error.hpp"

#include <cmath>

#include "format.hpp"

namespace velarix {
namespace {

std::string count(std::size_t n) { return std::to_string(n); }

struct Describe {
  std::string operator()(const LengthMismatch& e) const {
    return "x and y must have the same length (got " + count(e.x_len) + " and " +
           count(e.y_len) + ")";
  }
  std::string operator()(const TooFewPoints& e) const {
    return "need at least 2 data points, got " + count(e.got);
  }
  std::string operator()(const NotIncreasing& e) const {
    return "x must be strictly increasing; x[" + count(e.index) +
           "] = " + format::message(e.left) + " is not < x[" + count(e.index + 1) +
           "] = " + format::message(e.right);
  }
  std::string operator()(const InvalidParameter& e) const {
    return std::string("shape parameter `") + e.name + "` must be " + e.constraint +
           ", got " + format::message(e.value);
  }
  std::string operator()(const MixedCurvature& e) const {
    return "data change curvature at knot " + count(e.knot) + " (x = " + format::message(e.at) +
           "): secant slopes " +
           format::message(e.before) + " then " + format::message(e.after) +
           " turn against the earlier knots; this method needs data that is "
           "concave throughout or convex throughout";
  }
  std::string operator()(const NoConvergence& e) const {
    return "convexity solve did not converge in " + count(e.iterations) +
           " iterations (last change " + format::exponent(e.last_change) +
           "); try raising max_iterations or relaxation";
  }
  std::string operator()(const NonFiniteKnot& e) const {
    return "x must be finite; x[" + count(e.index) + "] = " + format::message(e.value) + " is not";
  }
  std::string operator()(const NonFiniteValue& e) const {
    return "y[" + count(e.index) + "] must be finite, got " + format::message(e.value);
  }
  std::string operator()(const UnusableWidth& e) const {
    return "x[" + count(e.index) + "] = " + format::message(e.left) + " and x[" +
           count(e.index + 1) + "] = " + format::message(e.right) + " are " + e.reason;
  }
  std::string operator()(const OutOfScale& e) const {
    return std::string("shape parameter `") + e.name + "` = " + format::message(e.value) +
           " is out of scale with interval " + count(e.interval) + " of width " +
           format::message(e.width) + ": " + e.effect;
  }
  std::string operator()(const NotPeriodic& e) const {
    return "periodic end conditions need equal first and last values; y[0] = " +
           format::message(e.first_value) + " and y[" + count(e.last) +
           "] = " + format::message(e.last_value) + " differ";
  }
  std::string operator()(const UnsupportedEnds& e) const {
    return std::string("the ") + e.method + " cannot have " + e.ends + " ends: " + e.reason;
  }
  std::string operator()(const InvalidSetting& e) const {
    return std::string("smoothing setting `") + e.name + "` must be " + e.constraint + ", got " +
           format::message(e.value);
  }
  std::string operator()(const InvalidValue& e) const {
    return std::string(e.name) + "[" + count(e.index) + "] must be " + e.constraint + ", got " +
           format::message(e.value);
  }
  std::string operator()(const WeightCount& e) const {
    return "weights must have one entry per data point (got " + count(e.weights) + " for " +
           count(e.points) + " points)";
  }
  std::string operator()(const TooFewDistinct& e) const {
    return "smoothing needs at least " + count(e.needed) +
           " distinct x with positive weight, got " + count(e.got);
  }
  std::string operator()(const UnknownShape& e) const {
    return "shape must be 'none', 'increasing', 'decreasing', 'convex', 'concave', a direction "
           "and a curvature such as 'increasing convex', or 'auto'; got '" + e.text + "'";
  }
  std::string operator()(const Unrepresentable& e) const {
    return std::string("the smoothing fit cannot be carried out in doubles: ") + e.what;
  }
  std::string operator()(const GridRefusal& e) const { return e.text; }
  std::string operator()(const Cancelled&) const { return "stopped at the caller's request"; }
  std::string operator()(const InvalidState& e) const {
    return std::string("invalid saved state: ") + e.reason + " at byte " + count(e.offset);
  }
};

}  // namespace

std::string message(const Error& error) { return std::visit(Describe{}, error); }

std::optional<InvalidParameter> require_finite(const char* name, double value) {
  if (std::isfinite(value)) return std::nullopt;
  return InvalidParameter{name, "finite", value};
}

}  // namespace velarix
