// The saved state of Tension and TensionSpline.
#include "state.hpp"

namespace velarix::state {

using tension::Policy;

template <>
Bytes save(const Tension& c) {
  Writer out(tension_kind);
  const Policy::Uniform* uniform = c.policy.uniform_tension();
  out.u8(uniform == nullptr ? 0 : 1);
  if (uniform != nullptr) out.f64(uniform->sigma);
  out.end_slopes(c.boundary);
  out.f64(c.tol);
  out.u64(c.max_iter);
  return std::move(out).finish();
}

template <>
Result<Tension> load(std::span<const std::byte> bytes) {
  Reader in(bytes, tension_kind);
  Tension c;
  if (in.tag(2) == 1) c.policy = Policy::uniform(in.f64());
  c.boundary = in.end_slopes();
  c.tol = in.f64();
  c.max_iter = in.u64();
  if (auto error = in.finish()) return *error;
  return c;
}

namespace {

// The form's tag (its index in TensionPiece::Form) and its coefficients.
struct WriteForm {
  Writer& out;
  void operator()(const TensionPiece::Cubic&) const { out.u8(0); }
  void operator()(const TensionPiece::Hyperbolic& f) const {
    out.u8(1);
    out.f64(f.sinhm);
    out.f64(f.coshm);
    out.f64(f.e);
  }
  void operator()(const TensionPiece::Exponential& f) const {
    out.u8(2);
    out.f64(f.ems);
    out.f64(f.tm);
    out.f64(f.e);
  }
};

TensionPiece::Form read_form(Reader& in) {
  switch (in.tag(std::variant_size_v<TensionPiece::Form>)) {
    case 1: {
      const double sinhm = in.f64();
      const double coshm = in.f64();
      const double e = in.f64();
      return TensionPiece::Hyperbolic{sinhm, coshm, e};
    }
    case 2: {
      const double ems = in.f64();
      const double tm = in.f64();
      const double e = in.f64();
      return TensionPiece::Exponential{ems, tm, e};
    }
    default:
      return TensionPiece::Cubic{};
  }
}

}  // namespace

void PieceState<TensionPiece>::write(Writer& out, const TensionPiece& piece) {
  std::visit(WriteForm{out}, piece.form());
  out.f64s(piece.fields());
}

TensionPiece PieceState<TensionPiece>::read(Reader& in) {
  const TensionPiece::Form form = read_form(in);
  return TensionPiece::from_fields(form, in.f64s<TensionPiece::field_count>());
}

template <>
Bytes save(const TensionSpline& s) {
  Writer out(tension_spline_kind);
  out.curve(s.curve(), s.tensions());
  out.u64(s.iterations());
  return std::move(out).finish();
}

template <>
Result<TensionSpline> load(std::span<const std::byte> bytes) {
  Reader in(bytes, tension_spline_kind);
  auto curve = in.curve<TensionPiece>();
  const std::uint64_t iterations = in.u64();
  if (auto error = in.finish()) return *error;
  Doubles tensions = std::move(curve.results);
  return TensionSpline(std::move(curve).piecewise(), std::move(tensions), iterations);
}

}  // namespace velarix::state
