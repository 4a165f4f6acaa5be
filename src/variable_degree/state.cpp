// The saved state of VariableDegree and VariableDegreeSpline.
#include "state.hpp"

namespace velarix::state {

template <>
Bytes save(const VariableDegree& c) {
  Writer out(variable_degree_kind);
  out.end_slopes(c.boundary);
  out.f64(c.max_degree);
  out.u64(c.max_iter);
  return std::move(out).finish();
}

template <>
Result<VariableDegree> load(std::span<const std::byte> bytes) {
  Reader in(bytes, variable_degree_kind);
  VariableDegree c;
  c.boundary = in.end_slopes();
  c.max_degree = in.f64();
  c.max_iter = in.u64();
  if (auto error = in.finish()) return *error;
  return c;
}

template <>
Bytes save(const VariableDegreeSpline& s) {
  Writer out(variable_degree_spline_kind);
  out.curve(s.curve(), s.degrees());
  out.u8(s.shape_preserved() ? 1 : 0);
  out.u64(s.iterations());
  return std::move(out).finish();
}

template <>
Result<VariableDegreeSpline> load(std::span<const std::byte> bytes) {
  Reader in(bytes, variable_degree_spline_kind);
  auto curve = in.curve<VariableDegreePiece>();
  const bool shape_preserved = in.flag();
  const std::uint64_t iterations = in.u64();
  if (auto error = in.finish()) return *error;
  Doubles degrees = std::move(curve.results);
  return VariableDegreeSpline(std::move(curve).piecewise(), std::move(degrees), shape_preserved,
                              iterations);
}

}  // namespace velarix::state
