// The saved state of RationalCubic and RationalCubicSpline.
#include "state.hpp"

namespace velarix::state {

using rational_cubic::solver::Method;

namespace {

constexpr auto config_fields = [](auto& io, auto& c) {
  io.field(c.u);
  io.field(c.v);
  io.field(c.boundary);
  io.field(c.margin);
  io.field(c.relaxation);
  io.field(c.tol);
  io.field(c.max_iter);
  io.field(c.w_cap);
};

}  // namespace

// The solver follows the fields as one tag byte (1: Newton), written only
// when it is not the default sweep: a default configuration keeps the bytes
// it has always had, and every state saved before the solver existed loads
// as the sweep. A tag 0 (the sweep written out) is never saved, and refused
// like any other byte this code cannot have written.
template <>
Bytes save(const RationalCubic& c) {
  Writer out(Kind::rational_cubic);
  config_fields(out, c);
  if (c.solver != Method::sweep) out.u8(static_cast<std::uint8_t>(c.solver));
  return std::move(out).finish();
}

template <>
Result<RationalCubic> load(std::span<const std::byte> bytes) {
  Reader in(bytes, Kind::rational_cubic);
  RationalCubic c;
  config_fields(in, c);
  if (!in.at_end()) {
    const std::size_t at = in.offset();  // where the fields end
    c.solver = static_cast<Method>(in.tag(2));
    if (in.ok() && c.solver == Method::sweep) return InvalidState{"tag out of range", at};
  }
  if (auto error = in.finish()) return *error;
  return c;
}

template <>
Bytes save(const RationalCubicSpline& s) {
  Writer out(Kind::rational_cubic_spline);
  out.curve(s.curve(), s.w());
  out.u64(s.iterations());
  out.u8(s.concave() ? 1 : 0);
  return std::move(out).finish();
}

template <>
Result<RationalCubicSpline> load(std::span<const std::byte> bytes) {
  Reader in(bytes, Kind::rational_cubic_spline);
  auto curve = in.curve<rational_cubic::RationalCubicPiece>(Results::per_interval);
  const std::uint64_t iterations = in.u64();
  const bool concave = in.flag();
  if (auto error = in.finish()) return *error;
  Doubles w = std::move(curve.results);
  return RationalCubicSpline(std::move(curve).piecewise(), std::move(w), iterations, concave);
}

}  // namespace velarix::state
