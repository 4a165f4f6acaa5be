// The saved state of RationalCubic and RationalCubicSpline.
#include "state.hpp"

namespace velarix::state {

template <>
Bytes save(const RationalCubic& c) {
  Writer out(rational_cubic_kind);
  out.f64(c.u);
  out.f64(c.v);
  out.end_slopes(c.boundary);
  out.f64(c.margin);
  out.f64(c.relaxation);
  out.f64(c.tol);
  out.u64(c.max_iter);
  out.f64(c.w_cap);
  return std::move(out).finish();
}

template <>
Result<RationalCubic> load(std::span<const std::byte> bytes) {
  Reader in(bytes, rational_cubic_kind);
  RationalCubic c;
  c.u = in.f64();
  c.v = in.f64();
  c.boundary = in.end_slopes();
  c.margin = in.f64();
  c.relaxation = in.f64();
  c.tol = in.f64();
  c.max_iter = in.u64();
  c.w_cap = in.f64();
  if (auto error = in.finish()) return *error;
  return c;
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
