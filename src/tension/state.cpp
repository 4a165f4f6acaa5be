// The saved state of Tension and TensionSpline.
#include "state.hpp"

namespace velarix::state {

using tension::Policy;

namespace {

// The policy: a tag (0 Published, 1 Uniform, 2 Strict), then the uniform
// tension.
struct WritePolicy {
  Writer& out;
  void operator()(const tension::Published&) const { out.u8(0); }
  void operator()(const tension::Uniform& uniform) const {
    out.u8(1);
    out.f64(uniform.sigma);
  }
  void operator()(const tension::Strict&) const { out.u8(2); }
};

void policy_field(Writer& out, const Policy& policy) { policy.visit(WritePolicy{out}); }

void policy_field(Reader& in, Policy& policy) {
  switch (in.tag(3)) {
    case 1:
      policy = Policy::uniform(in.f64());
      break;
    case 2:
      policy = Policy::strict();
      break;
    default:
      break;
  }
}

constexpr auto config_fields = [](auto& io, auto& c) {
  policy_field(io, c.policy);
  io.field(c.boundary);
  io.field(c.tol);
  io.field(c.max_iter);
};

}  // namespace

VELARIX_RECORD_STATE(Tension, Kind::tension, config_fields)

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

void PieceState<TensionPiece>::write(Writer& out, const TensionPiece& piece) {
  std::visit(WriteForm{out}, piece.form());
  out.f64s(piece.fields());
}

TensionPiece PieceState<TensionPiece>::read(Reader& in) {
  const TensionPiece::Form form = read_form(in);
  return TensionPiece::from_fields(form, in.f64s<TensionPiece::field_count>());
}

// The end rows, after the counters, only where they are not given slopes
// (1 natural, 2 periodic): the states of earlier fits keep their bytes.
template <>
Bytes save(const TensionSpline& s) {
  Writer out(Kind::tension_spline);
  out.curve(s.curve(), s.tensions());
  out.u64(s.iterations());
  if (s.ends() != EndRows::Kind::slopes) out.u8(static_cast<std::uint8_t>(s.ends()));
  return std::move(out).finish();
}

template <>
Result<TensionSpline> load(std::span<const std::byte> bytes) {
  Reader in(bytes, Kind::tension_spline);
  auto curve = in.curve<TensionPiece>(Results::per_interval);
  const std::uint64_t iterations = in.u64();
  EndRows::Kind ends = EndRows::Kind::slopes;
  if (!in.at_end()) {
    const std::size_t at = in.offset();  // where the fields end
    ends = static_cast<EndRows::Kind>(in.tag(3));
    // Given slopes are never written: a 0 there is a byte too many.
    if (in.ok() && ends == EndRows::Kind::slopes) return InvalidState{"trailing bytes", at};
  }
  if (auto error = in.finish()) return *error;
  Doubles tensions = std::move(curve.results);
  return TensionSpline(std::move(curve).piecewise(), std::move(tensions), iterations, ends);
}

}  // namespace velarix::state
