// The saved state of VariableDegree and VariableDegreeSpline.
#include "state.hpp"

namespace velarix::state {

namespace {

constexpr auto config_fields = [](auto& io, auto& c) {
  io.field(c.boundary);
  io.field(c.max_degree);
  io.field(c.max_iter);
};

}  // namespace

VELARIX_RECORD_STATE(VariableDegree, Kind::variable_degree, config_fields)

template <>
Bytes save(const VariableDegreeSpline& s) {
  Writer out(Kind::variable_degree_spline);
  out.curve(s.curve(), s.degrees());
  out.u8(s.shape_preserved() ? 1 : 0);
  out.u64(s.iterations());
  return std::move(out).finish();
}

template <>
Result<VariableDegreeSpline> load(std::span<const std::byte> bytes) {
  Reader in(bytes, Kind::variable_degree_spline);
  auto curve = in.curve<VariableDegreePiece>(Results::per_interval);
  const bool shape_preserved = in.flag();
  const std::uint64_t iterations = in.u64();
  if (auto error = in.finish()) return *error;
  Doubles degrees = std::move(curve.results);
  return VariableDegreeSpline(std::move(curve).piecewise(), std::move(degrees), shape_preserved,
                              iterations);
}

}  // namespace velarix::state
