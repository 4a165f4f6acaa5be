// The quadratic programme of one smoothing fit at one lambda:
//   minimise 1/2 beta^T Q beta - q^T beta  subject to beta_j >= 0 for the
//   bounded j,
// with Q symmetric positive definite, by a primal active-set method. The
// free variables are solved for with a Cholesky factor of their block of Q,
// which is updated, not recomputed, when one variable joins or leaves them.
// A solution warm-starts the next solve at a nearby lambda: its free set is
// usually the new one, or a step or two away from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "memory.hpp"

namespace velarix::smoothing {

// The lower Cholesky factor of Q restricted to some of its variables, in the
// order they were added; row r holds entries 0..r at stride `capacity`.
class Factor {
 public:
  explicit Factor(std::size_t capacity) : capacity_(capacity), l_(capacity * capacity) {}

  std::size_t size() const { return index_.size(); }
  std::span<const std::size_t> index() const { return index_; }
  double at(std::size_t row, std::size_t col) const { return l_[row * capacity_ + col]; }

  // Factors Q on `variables` afresh. False if a pivot is not positive and
  // finite (Q not positive definite to working precision).
  bool factor(std::span<const double> q_matrix, std::span<const std::size_t> variables);
  // Adds variable j as the last one: one triangular solve.
  bool append(std::span<const double> q_matrix, std::size_t j);
  // Removes the variable at position p, restoring the triangle with Givens
  // rotations of neighbouring columns.
  void remove(std::size_t p);

  // x = (L L^T)^-1 b, both in factor order.
  void solve(std::span<double> x) const;

 private:
  double& entry(std::size_t row, std::size_t col) { return l_[row * capacity_ + col]; }

  std::size_t capacity_;
  Doubles l_;
  std::vector<std::size_t> index_;
};

struct ActiveSet {
  Doubles beta;
  // 1 for the variables that are solved for; the bounded ones outside are 0.
  Vector<std::uint8_t> free;
  // Steps the last solve took (joins and leaves).
  std::size_t steps = 0;
};

// Solves the programme, starting from `start` when it has a solution of a
// nearby problem (which is feasible here too: the bounds do not change), and
// from beta = 0 with every variable free otherwise. The factor is that of the
// final free set. False when a factorisation fails.
bool solve_bounded(std::span<const double> q_matrix, std::span<const double> q,
                   std::span<const std::uint8_t> bounded, ActiveSet& state, Factor& factor);

}  // namespace velarix::smoothing
