#include "grid/limiter.hpp"

#include "cancel.hpp"

#include <algorithm>
#include <cmath>
#include <array>
#include <cstdint>
#include <vector>

namespace velarix::grid {
namespace {

constexpr std::size_t most_axes = 6;
constexpr int soft_rounds = 400;

using Index = std::array<std::size_t, most_axes>;

// What the cells met by a coefficient difference ask of it.
enum Sign : std::uint8_t { free = 0, rising = 1, falling = 2, flat = 3 };

using Dims = std::array<std::size_t, most_axes>;

// Along axis b of a row-major byte array of dims `dims`: neighbours paired,
// out[.., i, ..] = op(in[.., i, ..], in[.., i + 1, ..]) (dims[b] - 1 entries
// along b), or, `around`, each node's two cells, clamped to the axis:
// out[.., i, ..] = op(in[.., i - 1, ..], in[.., i, ..]) (dims[b] + 1).
template <class Op>
std::vector<std::uint8_t> along(const std::vector<std::uint8_t>& in, Dims& dims, std::size_t n,
                                std::size_t b, bool around, Op op) {
  std::size_t outer = 1, inner = 1;
  for (std::size_t c = 0; c < b; ++c) outer *= dims[c];
  for (std::size_t c = b + 1; c < n; ++c) inner *= dims[c];
  const std::size_t from = dims[b], to = around ? from + 1 : from - 1;
  std::vector<std::uint8_t> out(outer * to * inner);
  for (std::size_t o = 0; o < outer; ++o) {
    for (std::size_t i = 0; i < to; ++i) {
      const std::size_t lo = around ? (i == 0 ? 0 : std::min(i - 1, from - 1)) : i;
      const std::size_t hi = around ? std::min(i, from - 1) : i + 1;
      const std::uint8_t* x = &in[(o * from + lo) * inner];
      const std::uint8_t* y = &in[(o * from + hi) * inner];
      std::uint8_t* z = &out[(o * to + i) * inner];
      for (std::size_t k = 0; k < inner; ++k) z[k] = op(x[k], y[k]);
    }
  }
  dims[b] = to;
  return out;
}

// The node and coefficient layout of a grid, its cells' signs along each
// axis, and the rows: one per coefficient difference along an axis, owned by
// the node of its first coefficient.
class Net {
 public:
  Net(std::span<const Axis> axes, std::span<const double> values)
      : axes_(axes), values_(values), n_(axes.size()) {
    std::size_t cells = 1;
    for (std::size_t a = n_; a-- > 0;) {
      node_stride_[a] = nodes_;
      coefficient_stride_[a] = coefficients_;
      cell_stride_[a] = cells;
      nodes_ *= axes[a].nodes();
      coefficients_ *= 3 * axes[a].nodes();
      cells *= axes[a].nodes() - 1;
    }
    block_ = 1;
    for (std::size_t a = 0; a < n_; ++a) block_ *= 3;
    block_offset_.resize(block_);
    for (std::size_t alpha = 0; alpha < block_; ++alpha) {
      std::size_t rest = alpha, offset = 0;
      for (std::size_t a = n_; a-- > 0;) {
        offset += (rest % 3) * coefficient_stride_[a];
        rest /= 3;
      }
      block_offset_[alpha] = offset;
    }
    signs_.resize(n_ * cells);
    around_.resize(n_ * nodes_);
    for (std::size_t a = 0; a < n_; ++a) cell_signs(a);
  }

  std::size_t axes() const { return n_; }
  const Axis& axis(std::size_t a) const { return axes_[a]; }
  std::size_t nodes() const { return nodes_; }
  std::size_t block() const { return block_; }
  std::size_t parts() const { return (std::size_t{1} << n_) - 1; }
  std::size_t node_stride(std::size_t a) const { return node_stride_[a]; }
  double value(std::size_t node) const { return values_[node]; }

  Index node_index(std::size_t node) const {
    Index i{};
    for (std::size_t a = 0; a < n_; ++a) i[a] = node / node_stride_[a] % axes_[a].nodes();
    return i;
  }
  std::size_t coefficient_base(const Index& i) const {
    std::size_t base = 0;
    for (std::size_t a = 0; a < n_; ++a) base += 3 * i[a] * coefficient_stride_[a];
    return base;
  }
  std::size_t block_offset(std::size_t alpha) const { return block_offset_[alpha]; }
  // 3^(N-1-a): the step of alpha along axis a within a block.
  std::size_t alpha_step(std::size_t a) const {
    std::size_t step = 1;
    for (std::size_t b = a + 1; b < n_; ++b) step *= 3;
    return step;
  }

  // What the cells met by each difference along `a` from the block of node
  // i ask, into asks[alpha] for every block position alpha. The cells met
  // lie among the 2^N around the node (per axis the cells i - 1 and i,
  // clamped to the axis), and the cells met by a block position are a
  // product of per-axis ranges, so the signs are gathered from those 2^N
  // cells one axis at a time: `work` needs 2 * 3^N bytes.
  void asks(const Index& i, std::size_t a, std::uint8_t* asks, std::uint8_t* work) const {
    std::size_t node = 0;
    for (std::size_t b = 0; b < n_; ++b) node += i[b] * node_stride_[b];
    // One sign in every cell around the node (the usual case): every
    // position asks it.
    if (around_[a * nodes_ + node] < 4) {
      std::fill(asks, asks + block_, around_[a * nodes_ + node]);
      return;
    }
    const std::uint8_t* signs = &signs_[a * signs_.size() / n_];
    Index base{};
    std::size_t size = std::size_t{1} << n_;
    std::uint8_t* from = work;
    std::uint8_t* to = work + block_;
    for (std::size_t b = 0; b < n_; ++b) {
      const std::size_t cells = axes_[b].nodes() - 1;
      base[b] = std::min(i[b] == 0 ? 0 : i[b] - 1, cells - 1);
    }
    for (std::size_t local = 0; local < size; ++local) {
      std::size_t cell = 0;
      bool inside = true;
      for (std::size_t b = 0; b < n_; ++b) {
        const std::size_t l = (local >> (n_ - 1 - b)) & 1;
        inside = inside && base[b] + l < axes_[b].nodes() - 1;
        cell += (base[b] + l) * cell_stride_[b];
      }
      from[local] = inside ? signs[cell] : 0;
    }
    std::size_t outer = 1;
    for (std::size_t b = 0; b < n_; ++b) {
      const std::size_t inner = size / (outer * 2);
      std::uint8_t* out = b + 1 == n_ ? asks : to;
      for (std::size_t o = 0; o < outer; ++o) {
        for (std::size_t d = 0; d < 3; ++d) {
          const std::size_t c = 3 * i[b] + d;
          // (The last coefficient of an axis starts no difference along it.)
          const bool last = b == a && c + 1 == 3 * axes_[b].nodes();
          const CellRange range = last                ? CellRange{static_cast<std::uint32_t>(base[b]), static_cast<std::uint32_t>(base[b])}
                                  : b == a ? axes_[b].difference_cells(c)
                                           : axes_[b].value_cells(c);
          const std::size_t lo = range.first - base[b], hi = range.last - base[b];
          for (std::size_t in = 0; in < inner; ++in) {
            std::uint8_t sign = 0;
            for (std::size_t l = lo; l <= hi; ++l) sign |= from[(o * 2 + l) * inner + in];
            out[(o * 3 + d) * inner + in] = sign;
          }
        }
      }
      outer *= 3;
      size = outer * inner;
      std::swap(from, to);
    }
  }

 private:
  // Per cell: whether all its data edges along a rise (>= 0), fall (<= 0):
  // the edges' signs, then each cell's 2^(N-1) of them met one axis at a
  // time. And per node, the one sign of the cells around it, or 4 where
  // they differ: their union and intersection, gathered the same way.
  void cell_signs(std::size_t a) {
    Dims dims{};
    for (std::size_t b = 0; b < n_; ++b) dims[b] = axes_[b].nodes();
    dims[a] -= 1;
    std::size_t edges = 1;
    for (std::size_t b = 0; b < n_; ++b) edges *= dims[b];
    std::vector<std::uint8_t> sign(edges);
    Index i{};
    for (std::size_t e = 0; e < edges; ++e) {
      std::size_t node = 0;
      for (std::size_t b = 0; b < n_; ++b) node += i[b] * node_stride_[b];
      const double edge = values_[node + node_stride_[a]] - values_[node];
      sign[e] = static_cast<std::uint8_t>((edge >= 0 ? rising : 0) | (edge <= 0 ? falling : 0));
      for (std::size_t b = n_; b-- > 0;) {
        if (++i[b] < dims[b]) break;
        i[b] = 0;
      }
    }
    const auto both = [](std::uint8_t x, std::uint8_t y) { return static_cast<std::uint8_t>(x & y); };
    const auto either = [](std::uint8_t x, std::uint8_t y) { return static_cast<std::uint8_t>(x | y); };
    for (std::size_t b = 0; b < n_; ++b) {
      if (b != a) sign = along(sign, dims, n_, b, false, both);
    }
    std::copy(sign.begin(), sign.end(), signs_.begin() + static_cast<std::ptrdiff_t>(a * sign.size()));
    std::vector<std::uint8_t> all = sign, any = sign;
    Dims all_dims = dims, any_dims = dims;
    for (std::size_t b = 0; b < n_; ++b) {
      all = along(all, all_dims, n_, b, true, both);
      any = along(any, any_dims, n_, b, true, either);
    }
    for (std::size_t node = 0; node < nodes_; ++node) {
      around_[a * nodes_ + node] = all[node] == any[node] ? all[node] : 4;
    }
  }

  std::span<const Axis> axes_;
  std::span<const double> values_;
  std::size_t n_;
  std::size_t nodes_ = 1, coefficients_ = 1, block_ = 1;
  Index node_stride_{}, coefficient_stride_{}, cell_stride_{};
  std::vector<std::size_t> block_offset_;
  std::vector<std::uint8_t> signs_;
  std::vector<std::uint8_t> around_;
};

// The limiter works on the coefficients in place: a node keeps the
// unconstrained spline's block until one of its mu is lowered, and from then
// on holds its value plus the mu-weighted parts of its offset, recomputed
// from the unconstrained block it saved when first lowered. After the first
// pass over every row, a round checks only the rows of nodes whose mu
// changed (a row belongs to the node of its first coefficient, and meets
// that node's block and the next one's along its axis).
class Limiter {
 public:
  Limiter(const Net& net, std::span<double> coefficients)
      : net_(net),
        c_(coefficients),
        mu_(net.parts() * net.nodes(), 1.0),
        factor_(mu_.size(), 1.0),
        touched_at_(net.nodes(), 0),
        slot_(net.nodes(), unsaved),
        forced_(net.nodes(), 0),
        scratch_(std::size_t{2} << net.axes(), std::vector<double>(net.block())),
        split_(scratch_.size(), std::vector<double>(net.block())),
        own_(net.parts() * net.block()),
        next_(own_.size()),
        rebuilt_(own_.size()),
        terms_(2 * net.parts()),
        asks_(net.block()),
        work_(2 * net.block()) {}

  void run() {
    std::vector<std::size_t> owners(net_.nodes());
    for (std::size_t node = 0; node < owners.size(); ++node) owners[node] = node;
    std::vector<std::uint32_t> stamp(net_.nodes(), 0);
    for (std::uint32_t round = 1; !owners.empty(); ++round) {
      round_ = round;
      touched_.clear();
      // A caller's stop (see cancel.hpp) ends the rounds; the fit discards them.
      for (std::size_t k = 0; k < owners.size(); ++k) {
        if (k % 4096 == 0 && cancel::requested()) return;
        check_rows(owners[k], round > soft_rounds);
      }
      std::sort(touched_.begin(), touched_.end());
      owners.clear();
      for (const std::size_t node : touched_) {
        const bool changed = apply(node);
        if (!changed && !forced_[node]) continue;
        forced_[node] = 0;
        rebuild(node);
        const Index i = net_.node_index(node);
        mark(node, round, stamp, owners);
        for (std::size_t a = 0; a < net_.axes(); ++a) {
          if (i[a] > 0) mark(node - net_.node_stride(a), round, stamp, owners);
        }
      }
      std::sort(owners.begin(), owners.end());
    }
  }

 private:
  static constexpr std::uint32_t unsaved = ~std::uint32_t{0};

  static void mark(std::size_t node, std::uint32_t round, std::vector<std::uint32_t>& stamp,
                   std::vector<std::size_t>& owners) {
    if (stamp[node] == round) return;
    stamp[node] = round;
    owners.push_back(node);
  }

  std::size_t base(std::size_t node) const { return net_.coefficient_base(net_.node_index(node)); }

  // The unconstrained spline's block of the node.
  const double* unconstrained(std::size_t node, std::vector<double>& into) const {
    if (slot_[node] != unsaved) return &saved_[std::size_t{slot_[node]} * net_.block()];
    const std::size_t at = base(node);
    for (std::size_t alpha = 0; alpha < net_.block(); ++alpha) {
      into[alpha] = c_[at + net_.block_offset(alpha)];
    }
    return into.data();
  }

  // The parts of the node's offset into `parts` (part p for the axis set
  // p + 1, then block position): per axis, R = 1 w^T (the weighted mean
  // along it, broadcast) and Q = I - R split each tensor in two; the part
  // of the axis set A has Q on the axes of A and R on the others. The set
  // of no axis is the interpolation residual, 0 up to rounding, and is
  // dropped.
  void parts_of(std::size_t node, std::vector<double>& parts) {
    const Index i = net_.node_index(node);
    const std::size_t size = net_.block();
    const double z = net_.value(node);
    const double* u = unconstrained(node, split_[0]);
    std::vector<double>& first = scratch_[0];
    for (std::size_t alpha = 0; alpha < size; ++alpha) first[alpha] = u[alpha] - z;
    std::size_t tensors = 1;
    for (std::size_t a = 0; a < net_.axes(); ++a) {
      const std::array<double, 3> w = net_.axis(a).node_weights(i[a]);
      const std::size_t step = net_.alpha_step(a);
      for (std::size_t m = 0; m < tensors; ++m) {
        const std::vector<double>& t = scratch_[m];
        std::vector<double>& mean_part = split_[m];
        std::vector<double>& rest_part = split_[m | (std::size_t{1} << a)];
        for (std::size_t line = 0; line < size; line += 3 * step) {
          for (std::size_t start = line; start < line + step; ++start) {
            const double mean =
                w[0] * t[start] + w[1] * t[start + step] + w[2] * t[start + 2 * step];
            for (std::size_t d = 0; d < 3; ++d) {
              mean_part[start + d * step] = mean;
              rest_part[start + d * step] = t[start + d * step] - mean;
            }
          }
        }
      }
      tensors *= 2;
      for (std::size_t m = 0; m < tensors; ++m) scratch_[m].swap(split_[m]);
    }
    for (std::size_t p = 0; p < net_.parts(); ++p) {
      std::copy(scratch_[p + 1].begin(), scratch_[p + 1].end(), parts.begin() + p * size);
    }
  }

  // The node's block from its value, parts and mu (its unconstrained block
  // saved first).
  void rebuild(std::size_t node) {
    const std::size_t size = net_.block(), at = base(node);
    if (slot_[node] == unsaved) {
      slot_[node] = static_cast<std::uint32_t>(saved_.size() / size);
      for (std::size_t alpha = 0; alpha < size; ++alpha) {
        saved_.push_back(c_[at + net_.block_offset(alpha)]);
      }
    }
    parts_of(node, rebuilt_);
    const double z = net_.value(node);
    for (std::size_t alpha = 0; alpha < size; ++alpha) {
      double c = z;
      for (std::size_t p = 0; p < net_.parts(); ++p) {
        c += mu_[node * net_.parts() + p] * rebuilt_[p * size + alpha];
      }
      c_[at + net_.block_offset(alpha)] = c;
    }
  }

  // Every row the node owns; a violated one lowers the variables that pull
  // it the wrong way.
  void check_rows(std::size_t owner, bool hard) {
    const Index i = net_.node_index(owner);
    const std::size_t at = net_.coefficient_base(i);
    bool own_ready = false;
    for (std::size_t a = 0; a < net_.axes(); ++a) {
      const bool has_next = i[a] + 1 < net_.axis(a).nodes();
      const std::size_t next_node = owner + net_.node_stride(a);
      bool next_ready = false, asks_ready = false;
      const std::size_t step = net_.alpha_step(a);
      const std::size_t across = net_.block_offset(step);
      for (std::size_t alpha = 0, r = 0, lo = 0; alpha < net_.block(); ++alpha) {
        // r, the digit of alpha along a, advances every `step` positions.
        if (alpha > 0 && ++lo == step) lo = 0, r = r == 2 ? 0 : r + 1;
        if (r == 2 && !has_next) continue;
        const std::size_t from = at + net_.block_offset(alpha);
        const double c0 = c_[from], c1 = c_[from + across];
        if (c0 == c1) continue;  // meets every sign
        if (!asks_ready) net_.asks(i, a, asks_.data(), work_.data()), asks_ready = true;
        const auto sign = static_cast<Sign>(asks_[alpha]);
        if (sign == free || met(sign, c0, c1)) continue;
        const bool same = r < 2;
        if (!own_ready) parts_of(owner, own_), own_ready = true;
        if (!same && !next_ready) parts_of(next_node, next_), next_ready = true;
        const Row row{same ? owner : next_node,
                      same ? &own_[alpha + step] : &next_[alpha - 2 * step], owner, &own_[alpha]};
        const double sigma = sign == falling ? -1.0 : 1.0;
        const double g0 = same ? 0.0 : sigma * (net_.value(next_node) - net_.value(owner));
        shrink(row, sign == flat, hard, g0, sigma);
      }
    }
  }

  // A violated row: its two nodes and their parts' entries at its two
  // coefficients.
  struct Row {
    std::size_t n1;
    const double* parts1;  // part p's entry at parts1[p * block]
    std::size_t n0;
    const double* parts0;
  };

  static bool met(Sign sign, double c0, double c1) {
    return sign == flat ? c1 == c0 : sign == rising ? c1 >= c0 : c1 <= c0;
  }

  // The shrink step: the negative terms scaled so that the row's positive
  // side meets them (with a margin), or, for a flat row, in the hard phase
  // and for a row missed by rounding alone, the variables set to 0.
  // A row is g0 plus one term per variable (node and part) it meets: a
  // row within one block meets each of the node's variables once, with the
  // difference of the part's two entries.
  void shrink(const Row& row, bool flat_row, bool hard, double g0, double sigma) {
    const std::size_t size = net_.block(), parts = net_.parts();
    const bool one_block = row.n0 == row.n1;
    const double* mu0 = &mu_[row.n0 * parts];
    const double* mu1 = &mu_[row.n1 * parts];
    if (flat_row) {
      // Exactly 0: every variable with an entry that is not 0 goes to 0.
      // (Variables already set to 0 this round are passed over.)
      const double* f0 = &factor_[row.n0 * parts];
      const double* f1 = &factor_[row.n1 * parts];
      bool lowered = false;
      for (std::size_t p = 0; p < parts; ++p) {
        if (mu0[p] != 0 &&
            (row.parts0[p * size] != 0 || (one_block && row.parts1[p * size] != 0))) {
          if (f0[p] != 0) lower(p, row.n0, 0.0);
          lowered = true;
        }
        if (!one_block && mu1[p] != 0 && row.parts1[p * size] != 0) {
          if (f1[p] != 0) lower(p, row.n1, 0.0);
          lowered = true;
        }
      }
      if (!lowered) rebuild_later(row);
      return;
    }
    // The row's terms per variable: node n0's, then n1's (none of its own
    // when the row lies within one block).
    double* term = terms_.data();
    for (std::size_t p = 0; p < parts; ++p) {
      term[p] = one_block ? sigma * mu0[p] * (row.parts1[p * size] - row.parts0[p * size])
                          : -sigma * mu0[p] * row.parts0[p * size];
      term[parts + p] = one_block ? 0.0 : sigma * mu1[p] * row.parts1[p * size];
    }
    double positive = g0, negative = 0;
    for (std::size_t v = 0; v < 2 * parts; ++v) {
      if (term[v] > 0) positive += term[v];
      if (term[v] < 0) negative -= term[v];
    }
    const bool every = !(negative > 0);
    double scale = 0;
    if (!every && !hard) {
      // A margin beyond the rounding of the two coefficients (each the
      // node's value plus up to 2^N - 1 terms), so that a scaled row is met
      // as computed, not only in exact arithmetic.
      const double rounding = (4 + 2 * static_cast<double>(parts)) * 0x1p-52 *
                              (std::fabs(net_.value(row.n0)) + std::fabs(net_.value(row.n1)) +
                               positive + negative);
      scale = std::clamp((positive - rounding) / negative, 0.0, 1.0) * (1 - 1e-9);
      if (scale < 1e-6) scale = 0;
    }
    bool lowered = false;
    for (std::size_t v = 0; v < 2 * parts; ++v) {
      if (every ? term[v] != 0 : term[v] < 0) {
        lower(v % parts, v < parts ? row.n0 : row.n1, scale);
        lowered = true;
      }
    }
    if (!lowered) rebuild_later(row);
  }

  // A row missed by the rounding of an unconstrained block alone: the two
  // blocks are rebuilt from their parts, where mu = 0 gives the
  // staircase's coefficient exactly.
  void rebuild_later(const Row& row) {
    for (const std::size_t node : {row.n0, row.n1}) {
      if (slot_[node] != unsaved) continue;
      forced_[node] = 1;
      touch(node);
    }
  }

  void lower(std::size_t part, std::size_t node, double to) {
    double& f = factor_[node * net_.parts() + part];
    f = std::min(f, to);
    touch(node);
  }

  void touch(std::size_t node) {
    if (touched_at_[node] != round_) {
      touched_at_[node] = round_;
      touched_.push_back(node);
    }
  }

  // Applies and resets the node's factors; whether a mu changed.
  bool apply(std::size_t node) {
    bool changed = false;
    for (std::size_t p = 0; p < net_.parts(); ++p) {
      const std::size_t v = node * net_.parts() + p;
      double mu = mu_[v] * factor_[v];
      factor_[v] = 1.0;
      if (mu < 1e-9) mu = 0;
      changed = changed || mu != mu_[v];
      mu_[v] = mu;
    }
    return changed;
  }

  const Net& net_;
  std::span<double> c_;
  std::vector<double> mu_;
  std::vector<double> factor_;
  std::vector<std::uint32_t> touched_at_;
  std::vector<std::size_t> touched_;
  std::uint32_t round_ = 0;
  std::vector<std::uint32_t> slot_;  // where a lowered node's unconstrained block is saved
  std::vector<double> saved_;
  std::vector<std::uint8_t> forced_;
  std::vector<std::vector<double>> scratch_, split_;
  std::vector<double> own_, next_, rebuilt_, terms_;
  std::vector<std::uint8_t> asks_, work_;
};

}  // namespace

void limit_shape(std::span<const Axis> axes, std::span<const double> values,
                 std::span<double> coefficients) {
  const Net net(axes, values);
  Limiter limiter(net, coefficients);
  limiter.run();
}

bool coefficient_signs_hold(std::span<const Axis> axes, std::span<const double> values,
                            std::span<const double> coefficients) {
  const Net net(axes, values);
  std::vector<std::uint8_t> asks(net.block()), work(2 * net.block());
  for (std::size_t node = 0; node < net.nodes(); ++node) {
    const Index i = net.node_index(node);
    const std::size_t base = net.coefficient_base(i);
    for (std::size_t a = 0; a < net.axes(); ++a) {
      const bool has_next = i[a] + 1 < axes[a].nodes();
      const std::size_t step = net.alpha_step(a);
      net.asks(i, a, asks.data(), work.data());
      for (std::size_t alpha = 0; alpha < net.block(); ++alpha) {
        const std::size_t r = alpha / step % 3;
        if (r == 2 && !has_next) continue;
        const auto sign = static_cast<Sign>(asks[alpha]);
        if (sign == free) continue;
        const std::size_t at = base + net.block_offset(alpha);
        const double c0 = coefficients[at];
        const double c1 = coefficients[at + net.block_offset(step)];
        const bool met = sign == flat ? c1 == c0 : sign == rising ? c1 >= c0 : c1 <= c0;
        if (!met) return false;
      }
    }
  }
  return true;
}

}  // namespace velarix::grid
