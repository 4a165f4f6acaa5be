// The saved state of VariableDegree and VariableDegreeSpline.
#include "state.hpp"

#include "memory.hpp"

namespace velarix::state {

template <>
Bytes save(const VariableDegree& c) {
  Writer out(Kind::variable_degree);
  out.end_slopes(c.boundary);
  out.f64(c.max_degree);
  out.u64(c.max_iter);
  return std::move(out).finish();
}

template <>
Result<VariableDegree> load(std::span<const std::byte> bytes) {
  Reader in(bytes, Kind::variable_degree);
  VariableDegree c;
  c.boundary = in.end_slopes();
  c.max_degree = in.f64();
  c.max_iter = in.u64();
  if (auto error = in.finish()) return *error;
  return c;
}

template <>
Bytes save(const VariableDegreeSpline& s) {
  Writer out(Kind::variable_degree_spline);
  out.knots(s.curve().knots());
  for (std::size_t i = 0; i < s.intervals(); ++i) {
    out.f64(s.degrees()[i]);
    out.f64s(s.curve().pieces()[i].fields());
  }
  out.u8(s.shape_preserved() ? 1 : 0);
  out.u64(s.iterations());
  return std::move(out).finish();
}

template <>
Result<VariableDegreeSpline> load(std::span<const std::byte> bytes) {
  Reader in(bytes, Kind::variable_degree_spline);
  Doubles knots = in.knots();
  const std::size_t intervals = knots.empty() ? 0 : knots.size() - 1;
  Doubles degrees;
  Vector<VariableDegreePiece> pieces;
  for (std::size_t i = 0; i < intervals && in.ok(); ++i) {
    degrees.push_back(in.f64());
    std::array<double, VariableDegreePiece::field_count> fields{};
    for (double& field : fields) field = in.f64();
    pieces.push_back(VariableDegreePiece::from_fields(fields));
  }
  const bool shape_preserved = in.flag();
  const std::uint64_t iterations = in.u64();
  if (auto error = in.finish()) return *error;
  return VariableDegreeSpline(Piecewise(std::move(knots), std::move(pieces)), std::move(degrees),
                              shape_preserved, iterations);
}

}  // namespace velarix::state
