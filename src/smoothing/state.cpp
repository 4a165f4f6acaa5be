// The saved state of Smoother and SmoothingSpline.
#include "smoothing/state.hpp"

namespace velarix::state {

using cubic::CubicPiece;
using smoothing::Shape;

template <>
Bytes save(const Smoother& c) {
  Writer out(smoother_kind);
  out.u8(static_cast<std::uint8_t>(c.shape));
  out.u8(c.lam ? 1 : 0);
  out.f64(c.lam.value_or(0.0));
  out.u64(c.segments);
  out.u8(c.knots ? 1 : 0);
  if (c.knots) {
    out.u64(c.knots->size());
    out.f64s(*c.knots);
  }
  out.u8(c.robust ? 1 : 0);
  return std::move(out).finish();
}

template <>
Result<Smoother> load(std::span<const std::byte> bytes) {
  Reader in(bytes, smoother_kind);
  Smoother c;
  c.shape = static_cast<Shape>(in.tag(smoothing::shape_count));
  const bool has_lam = in.flag();
  const double lam = in.f64();
  if (has_lam) c.lam = lam;
  c.segments = in.u64();
  if (in.flag()) c.knots = in.f64s(in.u64());
  c.robust = in.flag();
  if (auto error = in.finish()) return *error;
  return c;
}

template <>
Bytes save(const SmoothingSpline& s) {
  Writer out(smoothing_spline_kind);
  out.knots(s.curve().knots());
  for (const CubicPiece& piece : s.curve().pieces()) PieceState<CubicPiece>::write(out, piece);
  const smoothing::Choice& choice = s.choice();
  out.f64(choice.lam);
  out.f64(choice.edf);
  out.f64(choice.gcv);
  out.u8(static_cast<std::uint8_t>(choice.shape));
  out.u64(choice.active_constraints);
  return std::move(out).finish();
}

template <>
Result<SmoothingSpline> load(std::span<const std::byte> bytes) {
  Reader in(bytes, smoothing_spline_kind);
  Doubles knots = in.knots();
  Vector<CubicPiece> pieces;
  for (std::size_t i = 0; i + 1 < knots.size() && in.ok(); ++i) {
    pieces.push_back(PieceState<CubicPiece>::read(in));
  }
  smoothing::Choice choice;
  choice.lam = in.f64();
  choice.edf = in.f64();
  choice.gcv = in.f64();
  // A fitted spline has a shape, never the automatic choice itself.
  choice.shape = static_cast<Shape>(in.tag(smoothing::shape_count - 1));
  choice.active_constraints = in.u64();
  if (auto error = in.finish()) return *error;
  return SmoothingSpline(Piecewise<CubicPiece>(std::move(knots), std::move(pieces)), choice);
}

}  // namespace velarix::state
