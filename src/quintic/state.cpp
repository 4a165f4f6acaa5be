// The saved state of Quintic and QuinticSpline.
#include "state.hpp"

#include <cstdint>

namespace velarix::state {

namespace {

void flag_field(Writer& out, const bool& flag) { out.u8(flag ? 1 : 0); }
void flag_field(Reader& in, bool& flag) { flag = in.flag(); }

constexpr auto config_fields = [](auto& io, auto& c) {
  io.field(c.boundary);
  io.field(c.stencil);
  flag_field(io, c.knot_insertion);
};

// Where piece i's result starts: the version and kind bytes, the two scale
// exponents of a scaled curve, the knot count and the knots, then per piece
// its result and its fields.
std::size_t result_offset(bool scaled, std::size_t breakpoints, std::size_t i) {
  return 2 + (scaled ? 16 : 0) + 8 + 8 * breakpoints +
         i * 8 * (1 + quintic::QuinticPiece::field_count);
}

}  // namespace

VELARIX_RECORD_STATE(Quintic, Kind::quintic, config_fields)

// The curve over the breakpoints, each piece's result 1 where its left
// breakpoint is an inserted knot and 0 where it is a data knot (the data's
// knots are those and the last breakpoint), then the shape flag.
template <>
Bytes save(const QuinticSpline& s) {
  const std::span<const double> breakpoints = s.breakpoints();
  const std::span<const double> knots = s.knots();
  Doubles inserted(breakpoints.size() - 1, 0.0);
  for (std::size_t i = 0, k = 0; i + 1 < breakpoints.size(); ++i) {
    if (breakpoints[i] == knots[k]) {
      ++k;
    } else {
      inserted[i] = 1;
    }
  }
  Writer out(Kind::quintic_spline);
  out.curve(s.curve(), inserted);
  out.u8(s.shape_preserved() ? 1 : 0);
  return std::move(out).finish();
}

template <>
Result<QuinticSpline> load(std::span<const std::byte> bytes) {
  Reader in(bytes, Kind::quintic_spline);
  auto curve = in.curve<quintic::QuinticPiece>(Results::per_interval);
  const bool shape_preserved = in.flag();
  if (auto error = in.finish()) return *error;
  Doubles knots;
  for (std::size_t i = 0; i < curve.results.size(); ++i) {
    const double mark = curve.results[i];
    // The first breakpoint is the first data knot.
    if (!(mark == 0 || (mark == 1 && i > 0))) {
      return InvalidState{"inserted-knot mark out of range", result_offset(!curve.scale.identity(), curve.knots.size(), i)};
    }
    if (mark == 0) knots.push_back(curve.knots[i]);
  }
  knots.push_back(curve.knots.back());
  if (knots.size() == curve.knots.size()) knots.clear();
  return QuinticSpline(std::move(curve).piecewise(), std::move(knots), shape_preserved);
}

}  // namespace velarix::state
