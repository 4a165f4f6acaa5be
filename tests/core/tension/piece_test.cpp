#include "tension/piece.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <variant>
#include <vector>

#include "batch_agreement.hpp"
#include "piecewise.hpp"
#include "series.hpp"

namespace velarix::tension {
namespace {

using reference::tail;

double ulp(double v) { return std::nextafter(std::fabs(v), 1e308) - std::fabs(v); }

class ModifiedHyperbolicsAt : public ::testing::TestWithParam<double> {};

TEST_P(ModifiedHyperbolicsAt, MatchesSeriesAndParity) {
  const double x = GetParam();
  const ModifiedHyperbolics mh = modified_hyperbolics(x);
  const ModifiedHyperbolics neg = modified_hyperbolics(-x);
  EXPECT_EQ(neg.sinhm, -mh.sinhm);
  EXPECT_EQ(neg.coshm, mh.coshm);
  EXPECT_EQ(neg.coshmm, mh.coshmm);
  // The rational approximation is good to a few ulps of each result; the
  // exponential branch to a few ulps of exp(x), its largest operand.
  const auto bound = [&](double result) { return 4 * (x <= 0.5 ? ulp(result) : ulp(std::exp(x))); };
  EXPECT_NEAR(mh.sinhm, static_cast<double>(tail(x, 3)), bound(mh.sinhm));
  EXPECT_NEAR(mh.coshm, static_cast<double>(tail(x, 2)), bound(mh.coshm));
  EXPECT_NEAR(mh.coshmm, static_cast<double>(tail(x, 4)), bound(mh.coshmm));
}

INSTANTIATE_TEST_SUITE_P(AcrossBranches, ModifiedHyperbolicsAt,
                         ::testing::Values(1e-300, 1e-8, 1e-4, 0.01, 0.1, 0.25, 0.3, 0.49, 0.5,
                                           std::nextafter(0.5, 1.0), 0.55, 0.7, 1.0, 2.0, 5.0, 20.0,
                                           85.0));

// The scaled coshm is 2 exp(-sigma) coshm(sigma) without overflow, also far
// beyond the tensions where coshm itself overflows.
TEST(ScaledHyperbolics, ScaledCoshmIsTwiceExpMinusSigmaTimesCoshm) {
  for (const double sigma : {0.5, 0.7, 2.0, 20.0, 85.0}) {
    const ScaledHyperbolics sh = scaled_hyperbolics(sigma);
    EXPECT_EQ(sh.ems, std::exp(-sigma));
    EXPECT_NEAR(sh.scm, 2 * sh.ems * modified_hyperbolics(sigma).coshm, 1e-15 * sh.scm) << sigma;
  }
  const ScaledHyperbolics huge = scaled_hyperbolics(1e6);
  EXPECT_EQ(huge.tm, 1.0);
  EXPECT_EQ(huge.scm, 1.0);
}

TEST(ModifiedHyperbolics, ZeroAtZeroAndBranchAtHalf) {
  const ModifiedHyperbolics zero = modified_hyperbolics(0.0);
  EXPECT_EQ(zero.sinhm, 0.0);
  EXPECT_EQ(zero.coshm, 0.0);
  EXPECT_EQ(zero.coshmm, 0.0);
  // coshmm = coshm - x^2/2 exactly only in the exponential branch.
  const double above = std::nextafter(0.5, 1.0);
  const ModifiedHyperbolics up = modified_hyperbolics(above);
  EXPECT_EQ(up.coshmm, up.coshm - above * above / 2);
  const ModifiedHyperbolics at = modified_hyperbolics(0.5);
  EXPECT_EQ(at.coshm, 0.125 + at.coshmm);
}

// Hermite data on one interval.
struct Data {
  double x0, h, y0, y1, yp0, yp1;
};
constexpr std::array<Data, 3> datasets{{
    {1.5, 0.75, -0.3, 1.1, 2.5, -0.4},
    {-2.0, 3.0, 4.0, 4.5, -1.0, 6.0},
    {0.0, 1e-3, 1e3, 1e3 + 2e-3, 0.0, 7.0},
}};

struct Evaluation {
  long double value, first, second;
};

// The same curve from its definition, S'''' = k^2 S'' with k = sigma / h,
// fitted to the Hermite data by Gaussian elimination in long double. The
// basis is a + b u + c coshm(k u) + d sinhm(k u) for moderate tension (the
// cubic for sigma = 0), and a + b u + c exp(-k u) + d exp(-k (h - u)) for a
// large one, where the first would need cancellation of terms near e^sigma.
Evaluation definition(const Data& data, double sigma, double x) {
  const long double k = static_cast<long double>(sigma) / data.h;
  struct Basis {
    long double f[4], d1[4], d2[4];
  };
  const auto basis = [&](long double u) {
    Basis b{};
    b.f[0] = 1;
    b.f[1] = u;
    b.d1[1] = 1;
    if (sigma == 0) {
      b.f[2] = u * u, b.d1[2] = 2 * u, b.d2[2] = 2;
      b.f[3] = u * u * u, b.d1[3] = 3 * u * u, b.d2[3] = 6 * u;
    } else if (sigma <= 1) {
      const long double z = k * u;
      const long double sm = tail(z, 3), cm = tail(z, 2);
      b.f[2] = cm, b.d1[2] = k * (sm + z), b.d2[2] = k * k * (cm + 1);
      b.f[3] = sm, b.d1[3] = k * cm, b.d2[3] = k * k * (sm + z);
    } else {
      const long double e1 = std::exp(-k * u), e2 = std::exp(-k * (data.h - u));
      b.f[2] = e1, b.d1[2] = -k * e1, b.d2[2] = k * k * e1;
      b.f[3] = e2, b.d1[3] = k * e2, b.d2[3] = k * k * e2;
    }
    return b;
  };
  const Basis left = basis(0), right = basis(data.h);
  long double m[4][5];
  for (int j = 0; j < 4; ++j) {
    m[0][j] = left.f[j], m[1][j] = left.d1[j], m[2][j] = right.f[j], m[3][j] = right.d1[j];
  }
  m[0][4] = data.y0, m[1][4] = data.yp0, m[2][4] = data.y1, m[3][4] = data.yp1;
  for (int c = 0; c < 4; ++c) {
    int pivot = c;
    for (int r = c + 1; r < 4; ++r)
      if (std::fabs(m[r][c]) > std::fabs(m[pivot][c])) pivot = r;
    std::swap(m[c], m[pivot]);
    for (int r = 0; r < 4; ++r) {
      if (r == c) continue;
      const long double factor = m[r][c] / m[c][c];
      for (int j = c; j < 5; ++j) m[r][j] -= factor * m[c][j];
    }
  }
  const Basis at = basis(static_cast<long double>(x) - data.x0);
  Evaluation e{0, 0, 0};
  for (int j = 0; j < 4; ++j) {
    const long double coef = m[j][4] / m[j][j];
    e.value += coef * at.f[j], e.first += coef * at.d1[j], e.second += coef * at.d2[j];
  }
  return e;
}

TensionPiece make(const Data& d, double sigma) {
  return TensionPiece(d.x0, d.h, d.y0, d.y1, d.yp0, d.yp1, sigma);
}

// Magnitudes of value, slope and curvature on the interval, for tolerances.
struct Scale {
  double value, first, second;
};
Scale scale_of(const Data& d, double sigma) {
  const double slope = std::max({std::fabs(d.yp0), std::fabs(d.yp1), std::fabs(d.y1 - d.y0) / d.h});
  const double value = std::max(std::fabs(d.y0), std::fabs(d.y1)) + d.h * slope;
  const double curvature = slope / d.h * (6 + sigma * sigma);
  return {value, slope, curvature};
}

class PieceForm : public ::testing::TestWithParam<double> {};

TEST_P(PieceForm, IsTheHermiteTensionCurve) {
  const double sigma = GetParam();
  for (const Data& d : datasets) {
    const TensionPiece piece = make(d, sigma);
    const Scale scale = scale_of(d, sigma);
    for (int j = 0; j <= 16; ++j) {
      const double x = j == 16 ? d.x0 + d.h : d.x0 + d.h * j / 16;
      const Evaluation ref = definition(d, sigma, x);
      EXPECT_NEAR(piece.value(x), static_cast<double>(ref.value), 1e-13 * scale.value) << x;
      EXPECT_NEAR(piece.first_derivative(x), static_cast<double>(ref.first), 1e-12 * scale.first);
      EXPECT_NEAR(piece.second_derivative(x), static_cast<double>(ref.second),
                  1e-11 * scale.second);
    }
    // Ends: interpolation of the Hermite data.
    EXPECT_NEAR(piece.value(d.x0 + d.h), d.y1, 1e-14 * scale.value);
    EXPECT_NEAR(piece.first_derivative(d.x0), d.yp0, 1e-13 * scale.first);
    EXPECT_NEAR(piece.first_derivative(d.x0 + d.h), d.yp1, 1e-12 * scale.first);
  }
}

TEST_P(PieceForm, NegativeTensionIsItsMagnitude) {
  const double sigma = GetParam();
  const Data& d = datasets[0];
  const TensionPiece a = make(d, sigma), b = make(d, -sigma);
  EXPECT_EQ(a.form().index(), b.form().index());
  for (double x : {1.5, 1.6, 1.9, 2.25}) {
    EXPECT_EQ(a.value(x), b.value(x));
    EXPECT_EQ(a.first_derivative(x), b.first_derivative(x));
    EXPECT_EQ(a.second_derivative(x), b.second_derivative(x));
  }
}

TEST_P(PieceForm, SecantSlopesGiveTheChord) {
  const TensionPiece piece(1.0, 2.0, 3.0, 4.0, 0.5, 0.5, GetParam());
  for (double x : {1.0, 1.3, 2.0, 2.9, 3.0}) {
    EXPECT_NEAR(piece.value(x), 3.0 + 0.5 * (x - 1.0), 1e-15 * 4);
    EXPECT_NEAR(piece.first_derivative(x), 0.5, 1e-15);
    EXPECT_NEAR(piece.second_derivative(x), 0.0, 1e-15);
  }
}

INSTANTIATE_TEST_SUITE_P(AllForms, PieceForm,
                         ::testing::Values(0.0, 1e-10, 1e-9, 0.01, 0.3, 0.5, 0.51, 3.0, 20.0,
                                           85.0));

TEST(PieceForm, LeftValueIsExactBelowTheExponentialForm) {
  for (double sigma : {0.0, 1e-9, 0.2, 0.5}) {
    EXPECT_EQ(make(datasets[0], sigma).value(datasets[0].x0), datasets[0].y0) << sigma;
  }
}

struct Threshold {
  double below, above;
  std::size_t form_below, form_above;
  // Agreement in units of 2^-52 of the magnitudes: just above 0.5 the
  // exponential form cancels in e = tm (sigma (ems + 1) - 2 tm) by a factor
  // near 50, and its results carry that rounding.
  double eps;
};

class FormThreshold : public ::testing::TestWithParam<Threshold> {};

// On either side of a threshold the two formulas describe the same curve.
TEST_P(FormThreshold, NeighbouringFormsAgree) {
  const auto [below, above, form_below, form_above, eps] = GetParam();
  const double tol = eps * std::numeric_limits<double>::epsilon();
  for (const Data& d : datasets) {
    const TensionPiece a = make(d, below), b = make(d, above);
    ASSERT_EQ(a.form().index(), form_below);
    ASSERT_EQ(b.form().index(), form_above);
    const Scale scale = scale_of(d, above);
    for (int j = 0; j <= 20; ++j) {
      const double x = d.x0 + d.h * j / 20;
      EXPECT_NEAR(a.value(x), b.value(x), tol * scale.value);
      EXPECT_NEAR(a.first_derivative(x), b.first_derivative(x), tol * scale.first);
      EXPECT_NEAR(a.second_derivative(x), b.second_derivative(x), tol * scale.second);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(CubicHyperbolicExponential, FormThreshold,
                         ::testing::Values(Threshold{std::nextafter(1e-9, 0.0), 1e-9, 0, 1, 16},
                                           Threshold{0.5, std::nextafter(0.5, 1.0), 1, 2, 256}));

TEST(PieceForm, InfiniteTensionStaysFiniteAndBendsOnlyAtTheKnots) {
  const Data& d = datasets[1];
  const TensionPiece piece = make(d, 85.0);
  double largest = 0;
  for (int j = 0; j <= 1000; ++j) {
    const double x = d.x0 + d.h * j / 1000;
    ASSERT_TRUE(std::isfinite(piece.value(x)));
    ASSERT_TRUE(std::isfinite(piece.first_derivative(x)));
    ASSERT_TRUE(std::isfinite(piece.second_derivative(x)));
    largest = std::max(largest, std::fabs(piece.second_derivative(x)));
  }
  const double at_knots = std::max(std::fabs(piece.second_derivative(d.x0)),
                                   std::fabs(piece.second_derivative(d.x0 + d.h)));
  EXPECT_EQ(largest, at_knots);
  EXPECT_LT(std::fabs(piece.second_derivative(d.x0 + d.h / 2)), 1e-15 * at_knots);
}

TEST(PieceForm, NanTensionTakesTheExponentialFormAndGivesNan) {
  const TensionPiece piece = make(datasets[0], std::nan(""));
  EXPECT_TRUE(std::holds_alternative<TensionPiece::Exponential>(piece.form()));
  EXPECT_TRUE(std::isnan(piece.value(1.8)));
  EXPECT_TRUE(std::isnan(piece.first_derivative(1.8)));
  EXPECT_TRUE(std::isnan(piece.second_derivative(1.8)));
}

// Batches evaluate pieces of the exponential form two at a time. Over a
// curve whose neighbouring pieces mix the three forms, and pieces whose
// fields are NaN of both signs (which NaN an operation returns depends on
// its operand order), every batch result is the single evaluation's bits.
TEST(PieceForm, BatchesAgreeWithSingleEvaluationAcrossFormsAndNan) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double tensions[] = {2, 0.3, 0, 5, 85, 1e-10, 0.5, 0.6, 3, 3, -nan, nan, 2};
  Doubles knots{0};
  Vector<TensionPiece> pieces;
  for (std::size_t i = 0; i < std::size(tensions); ++i) {
    const double x0 = knots.back();
    const double h = 0.25 + 0.125 * static_cast<double>(i % 3);
    const double y0 = i == 11 ? -nan : std::sin(x0);
    const double y1 = i == 10 ? nan : std::sin(x0 + h);
    pieces.emplace_back(x0, h, y0, y1, std::cos(x0), i == 12 ? -nan : std::cos(x0 + h),
                        tensions[i]);
    knots.push_back(x0 + h);
  }
  // Two pieces whose fields are NaN of both signs, as a saved spline may hold.
  for (const double sign : {1.0, -1.0}) {
    const double x0 = knots.back();
    pieces.push_back(TensionPiece::from_fields(
        TensionPiece::form_for(2), {x0, 0.5, -nan, nan, sign * nan, nan, -sign * nan, 2}));
    knots.push_back(x0 + 0.5);
  }
  const Piecewise<TensionPiece> curve(knots, std::move(pieces));
  std::vector<double> xs;
  for (std::size_t i = 0; i + 1 < knots.size(); ++i) {
    for (const double t : {0.0, 0.1, 0.5, 0.9})
      xs.push_back(knots[i] + t * (knots[i + 1] - knots[i]));
  }
  xs.insert(xs.end(), {knots.back(), -1, 100, nan, -nan});
  std::vector<double> shuffled = xs;
  std::reverse(shuffled.begin(), shuffled.end());
  std::swap(shuffled[3], shuffled[30]);
  testing::expect_batch_agrees_with_single(curve, xs);
  testing::expect_batch_agrees_with_single(curve, shuffled);
}

}  // namespace
}  // namespace velarix::tension
