// The saved state of Tension and TensionSpline (the layout is described in
// the shared state.hpp). A tension piece is saved as its form's tag (its
// index in TensionPiece::Form) and coefficients, then its field list.
#pragma once

#include "../state.hpp"  // the shared layout ("state.hpp" would be this file)
#include "tension/tension.hpp"

namespace velarix::state {

template <>
struct PieceState<TensionPiece> {
  static void write(Writer& out, const TensionPiece& piece);
  static TensionPiece read(Reader& in);
};

VELARIX_DECLARE_STATES(Tension)

}  // namespace velarix::state
