// How a tension spline chooses its tensions. Each policy is one object that
// owns its whole rule: how it takes estimated end slopes (natural and
// periodic ends pass through every policy as they are), the largest tension
// it may put on the widest interval (checked before any solve), and how it
// selects the tensions and solves for the knot derivatives. A fit tells the
// policies apart once, by visiting the Policy it holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "boundary.hpp"
#include "error.hpp"
#include "memory.hpp"
#include "samples.hpp"

namespace velarix::tension {

// What the selecting policies read besides the data: a search may stop once
// its target lies in [0, tol]; at most max_iter select-and-solve passes.
struct Passes {
  double tol;
  std::uint64_t max_iter;
};

// What a policy hands back to the fit: one tension per interval, one knot
// derivative per knot, the passes performed and, for a policy that checks
// the shape requirements while fitting, whether they held.
struct Selection {
  Doubles tensions;
  Doubles yp;
  std::uint64_t iterations = 0;
  std::optional<bool> shape_preserving;
};

// The rule every policy `Name` owns, declared alike: the end rows it takes
// from the ends given, the check of the data's scale before any solve, and
// the selection; and the comparison of its fields, doubles as IEEE values.
#define VELARIX_POLICY_MEMBERS(Name)                                                    \
  EndRows end_rows(const Samples& samples, const EndSlopes& boundary) const;            \
  std::optional<Error> check_scale(const Samples& samples) const;                       \
  Selection select(const Samples& samples, const EndRows& ends, Passes passes) const;   \
  friend bool operator==(const Name&, const Name&) = default

// The published selection: every interval gets the smallest tension, at most
// 85, that keeps the local monotonicity or convexity of the data for the
// current derivatives, alternated with the derivative solve until the
// derivatives settle. It aims at the shape without verifying it. Estimated
// end slopes are taken as estimated. With natural ends the end intervals
// keep tension 0: their S'' vanishes at the end knot and keeps one sign
// beside it at any tension, which is all the convexity test asks of them.
struct Published {
  VELARIX_POLICY_MEMBERS(Published);
  // The name it carries outside the code.
  std::string debug_text() const { return "ShapePreserving"; }
};

// One given tension on every interval (its sign is kept; only |sigma| shapes
// a piece), no passes. Estimated end slopes are taken as estimated.
struct Uniform {
  double sigma;

  VELARIX_POLICY_MEMBERS(Uniform);
  // "Uniform(2.5)"
  std::string debug_text() const;
};

// Tensions raised until every shape requirement of the data holds after the
// last solve (tension/strict.hpp). Estimated end slopes are limited: an
// estimate that points against its end secant or bends the end interval
// against the data is a shape no tension can cure.
struct Strict {
  VELARIX_POLICY_MEMBERS(Strict);
  std::string debug_text() const { return "Strict"; }
};

// The policy a configuration holds: the published selection by default.
class Policy {
 public:
  using Uniform = tension::Uniform;

  Policy() = default;  // Published
  static Policy uniform(double sigma) { return Policy(Uniform{sigma}); }
  static Policy published() { return Policy(Published{}); }
  static Policy strict() { return Policy(Strict{}); }

  // The uniform tension's policy, or nullptr for the selecting ones.
  const Uniform* uniform_tension() const { return std::get_if<Uniform>(&rule_); }

  // `f(policy)` on the policy object itself.
  template <class F>
  decltype(auto) visit(F&& f) const {
    return std::visit(std::forward<F>(f), rule_);
  }

  // The same policy and, for Uniform, tensions equal as IEEE doubles.
  friend bool operator==(const Policy&, const Policy&) = default;

  // "ShapePreserving", "Strict" or "Uniform(2.5)".
  std::string debug_text() const {
    return visit([](const auto& policy) { return policy.debug_text(); });
  }

 private:
  using Rule = std::variant<Published, Uniform, Strict>;
  explicit Policy(Rule rule) : rule_(rule) {}

  Rule rule_;
};

}  // namespace velarix::tension
