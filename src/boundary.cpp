#include "boundary.hpp"

#include "format.hpp"

namespace velarix {

bool operator==(const EndSlopes& a, const EndSlopes& b) {
  if (a.kind_.index() != b.kind_.index()) return false;
  const EndSlopes::Clamped* ca = a.clamped_slopes();
  const EndSlopes::Clamped* cb = b.clamped_slopes();
  return ca == nullptr || (ca->left == cb->left && ca->right == cb->right);
}

std::optional<InvalidParameter> EndSlopes::check() const {
  const Clamped* c = clamped_slopes();
  if (c == nullptr) return std::nullopt;
  if (auto invalid = require_finite("left", c->left)) return invalid;
  return require_finite("right", c->right);
}

std::string EndSlopes::debug_text() const {
  if (is_limited()) return "Limited";
  if (is_natural()) return "Natural";
  if (is_periodic()) return "Periodic";
  const Clamped* c = clamped_slopes();
  if (c == nullptr) return "Estimated";
  return format::Record("Clamped")
      .field("left", format::debug(c->left))
      .field("right", format::debug(c->right))
      .str();
}

}  // namespace velarix
