#include "smoothing/shape.hpp"

#include <array>

namespace velarix::smoothing {
namespace {

struct Traits {
  Shape shape;
  int direction;
  int curvature;
};

constexpr std::array<Traits, shape_count - 1> kTraits = {{
    {Shape::none, 0, 0},
    {Shape::increasing, 1, 0},
    {Shape::decreasing, -1, 0},
    {Shape::convex, 0, 1},
    {Shape::concave, 0, -1},
    {Shape::increasing_convex, 1, 1},
    {Shape::increasing_concave, 1, -1},
    {Shape::decreasing_convex, -1, 1},
    {Shape::decreasing_concave, -1, -1},
}};

const Traits* traits(Shape shape) {
  for (const Traits& t : kTraits) {
    if (t.shape == shape) return &t;
  }
  return nullptr;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

int direction(Shape shape) {
  const Traits* t = traits(shape);
  return t ? t->direction : 0;
}

int curvature(Shape shape) {
  const Traits* t = traits(shape);
  return t ? t->curvature : 0;
}

int requirement_count(Shape shape) {
  return (direction(shape) != 0 ? 1 : 0) + (curvature(shape) != 0 ? 1 : 0);
}

std::string name(Shape shape) {
  if (shape == Shape::automatic) return "auto";
  const int s = direction(shape);
  const int m = curvature(shape);
  if (s == 0 && m == 0) return "none";
  std::string text = s > 0 ? "increasing" : s < 0 ? "decreasing" : "";
  if (m != 0) text += std::string(text.empty() ? "" : " ") + (m > 0 ? "convex" : "concave");
  return text;
}

Result<Shape> parse_shape(std::string_view text) {
  int s = 0;
  int m = 0;
  int words = 0;
  bool special = false;  // "none" or "auto", which stand alone
  Shape chosen = Shape::none;
  std::size_t at = 0;
  while (at < text.size()) {
    if (is_space(text[at])) {
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < text.size() && !is_space(text[end])) ++end;
    const std::string_view word = text.substr(at, end - at);
    at = end;
    ++words;
    int* slot = nullptr;
    int value = 0;
    if (word == "increasing" || word == "decreasing") {
      slot = &s;
      value = word == "increasing" ? 1 : -1;
    } else if (word == "convex" || word == "concave") {
      slot = &m;
      value = word == "convex" ? 1 : -1;
    } else if (word == "none" || word == "auto") {
      special = true;
      chosen = word == "none" ? Shape::none : Shape::automatic;
      continue;
    } else {
      return UnknownShape{std::string(text)};
    }
    if (*slot != 0) return UnknownShape{std::string(text)};
    *slot = value;
  }
  if (words == 0 || (special && words > 1)) return UnknownShape{std::string(text)};
  if (special) return chosen;
  for (const Traits& t : kTraits) {
    if (t.direction == s && t.curvature == m) return t.shape;
  }
  return UnknownShape{std::string(text)};
}

}  // namespace velarix::smoothing
