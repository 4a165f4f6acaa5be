#include "grid/limiter.hpp"

#include <algorithm>
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
    for (std::size_t a = 0; a < n_; ++a) cell_signs(a, cells);
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

  // What the cells met by the difference along `a` from block position
  // `alpha` (digit r along a) of node i ask.
  Sign ask(const Index& i, std::size_t a, std::size_t alpha) const {
    std::array<CellRange, most_axes> range{};
    std::size_t rest = alpha;
    for (std::size_t b = n_; b-- > 0;) {
      const std::size_t digit = rest % 3;
      rest /= 3;
      const std::size_t c = 3 * i[b] + digit;
      range[b] = b == a ? axes_[b].difference_cells(c) : axes_[b].value_cells(c);
    }
    std::uint8_t sign = 0;
    const std::uint8_t* signs = &signs_[a * signs_.size() / n_];
    for (std::size_t corner = 0; corner < (std::size_t{1} << n_); ++corner) {
      std::size_t cell = 0;
      for (std::size_t b = 0; b < n_; ++b) {
        cell += ((corner >> b) & 1 ? range[b].last : range[b].first) * cell_stride_[b];
      }
      sign |= signs[cell];
    }
    return static_cast<Sign>(sign);
  }

 private:
  // Per cell: whether all its data edges along a rise (>= 0), fall (<= 0).
  void cell_signs(std::size_t a, std::size_t cells) {
    std::uint8_t* signs = &signs_[a * cells];
    for (std::size_t cell = 0; cell < cells; ++cell) {
      std::size_t corner_node = 0;
      for (std::size_t b = 0; b < n_; ++b) {
        corner_node += cell / cell_stride_[b] % (axes_[b].nodes() - 1) * node_stride_[b];
      }
      bool up = true, down = true;
      for (std::size_t corner = 0; corner < (std::size_t{1} << n_); ++corner) {
        if ((corner >> a) & 1) continue;
        std::size_t node = corner_node;
        for (std::size_t b = 0; b < n_; ++b) node += ((corner >> b) & 1) * node_stride_[b];
        const double edge = values_[node + node_stride_[a]] - values_[node];
        up = up && edge >= 0;
        down = down && edge <= 0;
      }
      signs[cell] = static_cast<std::uint8_t>((up ? rising : 0) | (down ? falling : 0));
    }
  }

  std::span<const Axis> axes_;
  std::span<const double> values_;
  std::size_t n_;
  std::size_t nodes_ = 1, coefficients_ = 1, block_ = 1;
  Index node_stride_{}, coefficient_stride_{}, cell_stride_{};
  std::vector<std::size_t> block_offset_;
  std::vector<std::uint8_t> signs_;
};

// One node's block: its offset from the staircase split into parts, and
// the coefficients the current mu give.
struct Block {
  std::vector<double> parts;  // parts() x block(), part p for the axis set p + 1
  std::vector<double> coefficients;
};

class Limiter {
 public:
  Limiter(const Net& net, std::span<double> coefficients)
      : net_(net),
        c_(coefficients),
        mu_(net.parts() * net.nodes(), 1.0),
        factor_(mu_.size(), 1.0),
        touched_at_(net.nodes(), 0) {}

  void run() {
    std::vector<std::size_t> owners(net_.nodes());
    for (std::size_t node = 0; node < owners.size(); ++node) owners[node] = node;
    std::vector<std::uint32_t> stamp(net_.nodes(), 0);
    for (std::uint32_t round = 1; !owners.empty(); ++round) {
      round_ = round;
      touched_.clear();
      for (const std::size_t owner : owners) check_rows(owner, round > soft_rounds);
      std::sort(touched_.begin(), touched_.end());
      owners.clear();
      for (const std::size_t node : touched_) {
        if (!apply(node)) continue;
        const Index i = net_.node_index(node);
        mark(node, round, stamp, owners);
        for (std::size_t a = 0; a < net_.axes(); ++a) {
          if (i[a] > 0) mark(node - net_.node_stride(a), round, stamp, owners);
        }
      }
      std::sort(owners.begin(), owners.end());
    }
  }

  // The limited coefficients, in place of the unconstrained ones.
  void write() {
    for (std::size_t node = 0; node < net_.nodes(); ++node) {
      const Block b = block(node);
      const std::size_t base = net_.coefficient_base(net_.node_index(node));
      for (std::size_t alpha = 0; alpha < net_.block(); ++alpha) {
        c_[base + net_.block_offset(alpha)] = b.coefficients[alpha];
      }
    }
  }

 private:
  static void mark(std::size_t node, std::uint32_t round, std::vector<std::uint32_t>& stamp,
                   std::vector<std::size_t>& owners) {
    if (stamp[node] == round) return;
    stamp[node] = round;
    owners.push_back(node);
  }

  // The parts of the node's offset: per axis, R = 1 w^T (the weighted mean
  // along it, broadcast) and Q = I - R split each tensor in two; the part
  // of the axis set A has Q on the axes of A and R on the others. The set
  // of no axis is the interpolation residual, 0 up to rounding, and is
  // dropped.
  Block block(std::size_t node) const {
    const Index i = net_.node_index(node);
    const std::size_t base = net_.coefficient_base(i);
    const std::size_t size = net_.block();
    const double z = net_.value(node);
    std::vector<std::vector<double>> tensors(1, std::vector<double>(size));
    for (std::size_t alpha = 0; alpha < size; ++alpha) {
      tensors[0][alpha] = c_[base + net_.block_offset(alpha)] - z;
    }
    std::vector<std::vector<double>> split;
    for (std::size_t a = 0; a < net_.axes(); ++a) {
      const std::array<double, 3> w = net_.axis(a).node_weights(i[a]);
      const std::size_t step = net_.alpha_step(a);
      split.assign(2 * tensors.size(), std::vector<double>(size));
      for (std::size_t m = 0; m < tensors.size(); ++m) {
        const std::vector<double>& t = tensors[m];
        for (std::size_t alpha = 0; alpha < size; ++alpha) {
          const std::size_t first = alpha - (alpha / step % 3) * step;
          const double mean = w[0] * t[first] + w[1] * t[first + step] + w[2] * t[first + 2 * step];
          split[m][alpha] = mean;
          split[m | (std::size_t{1} << a)][alpha] = t[alpha] - mean;
        }
      }
      tensors.swap(split);
    }
    Block b;
    b.parts.resize(net_.parts() * size);
    for (std::size_t p = 0; p < net_.parts(); ++p) {
      std::copy(tensors[p + 1].begin(), tensors[p + 1].end(), b.parts.begin() + p * size);
    }
    b.coefficients.assign(size, z);
    for (std::size_t p = 0; p < net_.parts(); ++p) {
      const double mu = mu_[p * net_.nodes() + node];
      for (std::size_t alpha = 0; alpha < size; ++alpha) {
        b.coefficients[alpha] += mu * b.parts[p * size + alpha];
      }
    }
    return b;
  }

  // Every row the node owns; a violated one lowers the variables that pull
  // it the wrong way.
  void check_rows(std::size_t owner, bool hard) {
    const Index i = net_.node_index(owner);
    const Block own = block(owner);
    for (std::size_t a = 0; a < net_.axes(); ++a) {
      const bool has_next = i[a] + 1 < net_.axis(a).nodes();
      const std::size_t next_node = owner + net_.node_stride(a);
      Block next;
      if (has_next) next = block(next_node);
      const std::size_t step = net_.alpha_step(a);
      for (std::size_t alpha = 0; alpha < net_.block(); ++alpha) {
        const std::size_t r = alpha / step % 3;
        if (r == 2 && !has_next) continue;
        const Sign sign = net_.ask(i, a, alpha);
        if (sign == free) continue;
        const bool same = r < 2;
        const Row row{same ? owner : next_node, same ? own : next, same ? alpha + step : alpha - 2 * step,
                      owner, own, alpha};
        if (met(sign, row.b0.coefficients[row.alpha0], row.b1.coefficients[row.alpha1])) continue;
        const double sigma = sign == falling ? -1.0 : 1.0;
        const double g0 = same ? 0.0 : sigma * (net_.value(next_node) - net_.value(owner));
        shrink(row, sign == flat, hard, g0, sigma);
      }
    }
  }

  struct Row {
    std::size_t n1;
    const Block& b1;
    std::size_t alpha1;
    std::size_t n0;
    const Block& b0;
    std::size_t alpha0;
  };

  static bool met(Sign sign, double c0, double c1) {
    return sign == flat ? c1 == c0 : sign == rising ? c1 >= c0 : c1 <= c0;
  }

  // The shrink step: the negative terms scaled so that the row's positive
  // side meets them (with a margin), or, for a flat row, in the hard phase
  // and for a row missed by rounding alone, the variables set to 0.
  void shrink(const Row& row, bool flat_row, bool hard, double g0, double sigma) {
    const std::size_t size = net_.block(), nodes = net_.nodes();
    const auto term = [&](std::size_t p, bool second) {
      return second ? sigma * mu_[p * nodes + row.n1] * row.b1.parts[p * size + row.alpha1]
                    : -sigma * mu_[p * nodes + row.n0] * row.b0.parts[p * size + row.alpha0];
    };
    double positive = g0, negative = 0;
    for (std::size_t p = 0; p < net_.parts(); ++p) {
      for (const bool second : {false, true}) {
        const double t = term(p, second);
        if (t > 0) positive += t;
        if (t < 0) negative -= t;
      }
    }
    const bool every = flat_row || !(negative > 0);
    double scale = 0;
    if (!every && !hard) {
      scale = std::clamp(positive / negative, 0.0, 1.0) * (1 - 1e-9);
      if (scale < 1e-6) scale = 0;
    }
    for (std::size_t p = 0; p < net_.parts(); ++p) {
      for (const bool second : {false, true}) {
        const double t = term(p, second);
        if (every ? t != 0 : t < 0) lower(p, second ? row.n1 : row.n0, scale);
      }
    }
  }

  void lower(std::size_t part, std::size_t node, double to) {
    double& f = factor_[part * net_.nodes() + node];
    f = std::min(f, to);
    if (touched_at_[node] != round_) {
      touched_at_[node] = round_;
      touched_.push_back(node);
    }
  }

  // Applies and resets the node's factors; whether a mu changed.
  bool apply(std::size_t node) {
    bool changed = false;
    for (std::size_t p = 0; p < net_.parts(); ++p) {
      const std::size_t v = p * net_.nodes() + node;
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
};

}  // namespace

void limit_shape(std::span<const Axis> axes, std::span<const double> values,
                 std::span<double> coefficients) {
  const Net net(axes, values);
  Limiter limiter(net, coefficients);
  limiter.run();
  limiter.write();
}

bool coefficient_signs_hold(std::span<const Axis> axes, std::span<const double> values,
                            std::span<const double> coefficients) {
  const Net net(axes, values);
  for (std::size_t node = 0; node < net.nodes(); ++node) {
    const Index i = net.node_index(node);
    const std::size_t base = net.coefficient_base(i);
    for (std::size_t a = 0; a < net.axes(); ++a) {
      const bool has_next = i[a] + 1 < axes[a].nodes();
      const std::size_t step = net.alpha_step(a);
      for (std::size_t alpha = 0; alpha < net.block(); ++alpha) {
        const std::size_t r = alpha / step % 3;
        if (r == 2 && !has_next) continue;
        const Sign sign = net.ask(i, a, alpha);
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
