// The saved state of RationalCubic and RationalCubicSpline.
#include "state.hpp"

#include "memory.hpp"

namespace velarix::state {

using rational_cubic::RationalCubicPiece;

template <>
Bytes save(const RationalCubic& c) {
  Writer out(Kind::rational_cubic);
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
  Reader in(bytes, Kind::rational_cubic);
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
  Writer out(Kind::rational_cubic_spline);
  out.knots(s.curve().knots());
  for (std::size_t i = 0; i < s.intervals(); ++i) {
    out.f64(s.w()[i]);
    out.f64s(s.curve().pieces()[i].fields());
  }
  out.u64(s.iterations());
  out.u8(s.concave() ? 1 : 0);
  return std::move(out).finish();
}

template <>
Result<RationalCubicSpline> load(std::span<const std::byte> bytes) {
  Reader in(bytes, Kind::rational_cubic_spline);
  Doubles knots = in.knots();
  const std::size_t intervals = knots.empty() ? 0 : knots.size() - 1;
  Doubles w;
  Vector<RationalCubicPiece> pieces;
  for (std::size_t i = 0; i < intervals && in.ok(); ++i) {
    w.push_back(in.f64());
    std::array<double, RationalCubicPiece::field_count> fields{};
    for (double& field : fields) field = in.f64();
    pieces.push_back(RationalCubicPiece::from_fields(fields));
  }
  const std::uint64_t iterations = in.u64();
  const bool concave = in.flag();
  if (auto error = in.finish()) return *error;
  return RationalCubicSpline(Piecewise(std::move(knots), std::move(pieces)), std::move(w),
                             iterations, concave);
}

}  // namespace velarix::state
