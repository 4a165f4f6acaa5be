// The saved state of Tension and TensionSpline.
#include "state.hpp"

#include "memory.hpp"

namespace velarix::state {

using tension::Policy;

template <>
Bytes save(const Tension& c) {
  Writer out(Kind::tension);
  // The policy's tag: 0 ShapePreserving, 1 Uniform with its tension, 2 Strict.
  const Policy::Uniform* uniform = c.policy.uniform_tension();
  out.u8(uniform != nullptr ? 1 : c.policy.is_strict() ? 2 : 0);
  if (uniform != nullptr) out.f64(uniform->sigma);
  out.end_slopes(c.boundary);
  out.f64(c.tol);
  out.u64(c.max_iter);
  return std::move(out).finish();
}

template <>
Result<Tension> load(std::span<const std::byte> bytes) {
  Reader in(bytes, Kind::tension);
  Tension c;
  switch (in.tag(3)) {
    case 1:
      c.policy = Policy::uniform(in.f64());
      break;
    case 2:
      c.policy = Policy::strict();
      break;
    default:
      break;
  }
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
  void operator()(const TensionPiece::Steep& f) const {
    out.u8(3);
    out.f64(f.ems);
    out.f64(f.tm);
    out.f64(f.e);
    out.f64(f.x1);
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
    case 3: {
      const double ems = in.f64();
      const double tm = in.f64();
      const double e = in.f64();
      const double x1 = in.f64();
      return TensionPiece::Steep{ems, tm, e, x1};
    }
    default:
      return TensionPiece::Cubic{};
  }
}

}  // namespace

template <>
Bytes save(const TensionSpline& s) {
  Writer out(Kind::tension_spline);
  out.knots(s.curve().knots());
  for (std::size_t i = 0; i < s.intervals(); ++i) {
    const TensionPiece& piece = s.curve().pieces()[i];
    out.f64(s.tensions()[i]);
    std::visit(WriteForm{out}, piece.form());
    out.f64s(piece.fields());
  }
  out.u64(s.iterations());
  return std::move(out).finish();
}

template <>
Result<TensionSpline> load(std::span<const std::byte> bytes) {
  Reader in(bytes, Kind::tension_spline);
  Doubles knots = in.knots();
  const std::size_t intervals = knots.empty() ? 0 : knots.size() - 1;
  Doubles tensions;
  Vector<TensionPiece> pieces;
  for (std::size_t i = 0; i < intervals && in.ok(); ++i) {
    tensions.push_back(in.f64());
    const TensionPiece::Form form = read_form(in);
    std::array<double, TensionPiece::field_count> fields{};
    for (double& field : fields) field = in.f64();
    pieces.push_back(TensionPiece::from_fields(form, fields));
  }
  const std::uint64_t iterations = in.u64();
  if (auto error = in.finish()) return *error;
  return TensionSpline(Piecewise(std::move(knots), std::move(pieces)), std::move(tensions),
                       iterations);
}

}  // namespace velarix::state
