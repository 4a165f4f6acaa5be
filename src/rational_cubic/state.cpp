// The saved state of RationalCubic and RationalCubicSpline.
#include "state.hpp"

namespace velarix::state {

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

template <>
Bytes save(const RationalCubic& c) {
  return save_record(rational_cubic_kind, c, config_fields);
}

template <>
Result<RationalCubic> load(std::span<const std::byte> bytes) {
  return load_record<RationalCubic>(rational_cubic_kind, bytes, config_fields);
}

template <>
Bytes save(const RationalCubicSpline& s) {
  Writer out(rational_cubic_spline_kind);
  out.curve(s.curve(), s.w());
  out.u64(s.iterations());
  out.u8(s.concave() ? 1 : 0);
  return std::move(out).finish();
}

template <>
Result<RationalCubicSpline> load(std::span<const std::byte> bytes) {
  Reader in(bytes, rational_cubic_spline_kind);
  auto curve = in.curve<rational_cubic::RationalCubicPiece>();
  const std::uint64_t iterations = in.u64();
  const bool concave = in.flag();
  if (auto error = in.finish()) return *error;
  Doubles w = std::move(curve.results);
  return RationalCubicSpline(std::move(curve).piecewise(), std::move(w), iterations, concave);
}

}  // namespace velarix::state
