// The third derivative of every piece type against the second: across each
// piece it integrates to the change of S'' (by composite Gauss-Legendre,
// fine enough for the layers of tension 200 and of a rational cubic with a
// small u), and it is the limit of S'' differences. The closed forms are checked against mpmath in
// tests/python/test_calculus.py; batches against single calls by
// batch_agreement.hpp and the fuzzers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "rational_cubic/rational_cubic.hpp"
#include "tension/tension.hpp"
#include "variable_degree/variable_degree.hpp"

namespace velarix {
namespace {

struct Case {
  std::string name;
  // Checks every piece of the fitted spline (see check_pieces).
  std::function<void()> check;
};

template <class Spline>
void check_pieces(const Spline& spline) {
  const auto& curve = spline.curve();
  const auto knots = curve.knots();
  // 5-point Gauss-Legendre nodes and weights on [-1, 1].
  constexpr double node[] = {0, 0.5384693101056831, -0.5384693101056831, 0.9061798459386640,
                             -0.9061798459386640};
  constexpr double weight[] = {0.5688888888888889, 0.4786286704993665, 0.4786286704993665,
                               0.2369268850561891, 0.2369268850561891};
  constexpr int parts = 8192;
  for (std::size_t i = 0; i + 1 < knots.size(); ++i) {
    const auto& piece = curve.pieces()[i];
    const double x0 = knots[i];
    const double h = knots[i + 1] - x0;
    double integral = 0;
    double size = 0;  // the largest |S''| and h |S'''| seen
    for (int k = 0; k < parts; ++k) {
      const double mid = x0 + h * (k + 0.5) / parts;
      for (int j = 0; j < 5; ++j) {
        const double x = mid + node[j] * h / (2 * parts);
        const double third = piece.third_derivative(x);
        integral += weight[j] * third * h / (2 * parts);
        size = std::max({size, std::fabs(piece.second_derivative(x)), h * std::fabs(third)});
      }
    }
    const double jump = piece.second_derivative(knots[i + 1]) - piece.second_derivative(x0);
    EXPECT_NEAR(integral, jump, 1e-11 * size) << "piece " << i;
    // Richardson's extrapolation of central differences, error O(d^4).
    for (const double t : {0.2, 0.5, 0.8}) {
      const double x = x0 + t * h;
      const double d = 1e-3 * h;
      const auto central = [&](double step) {
        return (piece.second_derivative(x + step) - piece.second_derivative(x - step)) / (2 * step);
      };
      const double limit = (4 * central(d / 2) - central(d)) / 3;
      EXPECT_NEAR(piece.third_derivative(x), limit, 1e-6 * size / h) << "piece " << i << " t " << t;
    }
  }
}

Doubles knots() {
  Doubles x;
  for (int i = 0; i < 14; ++i) x.push_back(i * 0.7 + 0.05 * (i % 3) + 0.002 * i * i);
  return x;
}

Doubles data(double (*f)(double)) {
  Doubles y;
  for (const double x : knots()) y.push_back(f(x));
  return y;
}

double wavy(double x) { return std::sin(x) + 0.3 * x + (x > 5 ? 1.0 : 0.0); }
double convex(double x) { return std::exp(0.4 * x) + 3 * std::max(0.0, x - 5); }

std::string named(const char* method, double parameter) {
  char text[64];
  std::snprintf(text, sizeof text, "%s_%g", method, parameter);
  return text;
}

Case tension(double sigma) {
  return {named("tension", sigma), [sigma] {
            Tension config;
            config.policy = tension::Policy::uniform(sigma);
            check_pieces(config.fit(knots(), data(wavy)).value());
          }};
}

std::vector<Case> cases() {
  std::vector<Case> all;
  // The forms of the tension piece and the odd part's switch at 1.
  for (const double sigma : {0.0, 1e-9, 0.3, 0.5, 0.7, 1.0, 1.5, 8.0, 85.0, 200.0}) {
    all.push_back(tension(sigma));
  }
  all.push_back({"tension_shape", [] { check_pieces(Tension{}.fit(knots(), data(wavy)).value()); }});
  // Power and chord forms: convex data with kinks give some w above 32.
  for (const double u : {1.0, 4.0, 0.05}) {
    all.push_back({named("rational_cubic", u), [u] {
                     RationalCubic config;
                     config.u = u;
                     check_pieces(config.fit(knots(), data(convex)).value());
                   }});
  }
  all.push_back({"variable_degree", [] {
                   check_pieces(VariableDegree{}.fit(knots(), data(wavy)).value());
                 }});
  return all;
}

class ThirdDerivative : public ::testing::TestWithParam<Case> {};

TEST_P(ThirdDerivative, IsTheDerivativeOfTheSecond) { GetParam().check(); }

INSTANTIATE_TEST_SUITE_P(EveryPieceType, ThirdDerivative, ::testing::ValuesIn(cases()),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           std::replace_if(name.begin(), name.end(),
                                           [](char c) { return !std::isalnum(c); }, '_');
                           return name;
                         });

}  // namespace
}  // namespace velarix
